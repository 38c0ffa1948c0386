// The program's identity on the desktop: the window icon (theme first, built-in copy otherwise)
// and the names that tie its windows to the desktop entry.
#include <gtest/gtest.h>

#include <QColor>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QIcon>
#include <QImage>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/ui/Ui.h"

namespace {

constexpr const char* kAppId = "dsp-updater";
constexpr int kThemeIconSize = 48;

// An Application over the given icon theme directories (they must be set before it starts).
class WindowIconTest : public testing::Test {
protected:
    void startApplication(const QStringList& themePaths) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        QIcon::setThemeSearchPaths(themePaths);
        QIcon::setThemeName("hicolor");
        application_ = std::make_unique<ui::Application>(argc_, argv_, kAppId);
    }

    // A hicolor theme holding one icon of the program's name, filled with colour.
    QString writeTheme(const QColor& colour) {
        const QString icons = themeDir_.path() + "/icons";
        const QString theme = icons + "/hicolor";
        const QString apps = theme + "/48x48/apps";
        EXPECT_TRUE(QDir().mkpath(apps));
        QFile index(theme + "/index.theme");
        EXPECT_TRUE(index.open(QIODevice::WriteOnly));
        index.write("[Icon Theme]\nName=Hicolor\nDirectories=48x48/apps\n\n"
                    "[48x48/apps]\nSize=48\nType=Fixed\n");
        index.close();
        QImage image(kThemeIconSize, kThemeIconSize, QImage::Format_ARGB32);
        image.fill(colour);
        EXPECT_TRUE(image.save(apps + "/" + kAppId + ".png"));
        return icons;
    }

    QTemporaryDir themeDir_;

private:
    char name_[16] = "desktop_tests";
    char* argv_[2] = {name_, nullptr};
    int argc_ = 1;
    std::unique_ptr<ui::Application> application_;
};

TEST_F(WindowIconTest, WithoutAThemeIconTheBuiltInOneServesEverySizeTheDesktopInstalls) {
    startApplication({themeDir_.path()});  // an empty theme directory

    const QIcon icon = QGuiApplication::windowIcon();
    ASSERT_FALSE(icon.isNull());
    const QList<QSize> sizes = icon.availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(48, 48)));
    EXPECT_TRUE(sizes.contains(QSize(128, 128)));
    // A drawn icon, not an empty or transparent stand-in.
    const QImage drawn = icon.pixmap(QSize(48, 48)).toImage();
    EXPECT_GT(qAlpha(drawn.pixel(24, 24)), 0);
}

TEST_F(WindowIconTest, TheThemeIconNamedAfterTheProgramIsPreferred) {
    const QColor themeColour(255, 0, 0);
    startApplication({writeTheme(themeColour)});

    const QImage shown =
        QGuiApplication::windowIcon().pixmap(QSize(kThemeIconSize, kThemeIconSize)).toImage();
    ASSERT_FALSE(shown.isNull());
    EXPECT_EQ(QColor(shown.pixel(kThemeIconSize / 2, kThemeIconSize / 2)), themeColour);
}

TEST_F(WindowIconTest, WindowsCarryTheDesktopEntryName) {
    startApplication({themeDir_.path()});
    EXPECT_EQ(QGuiApplication::desktopFileName().toStdString(), kAppId);
    EXPECT_EQ(QGuiApplication::applicationName().toStdString(), kAppId);  // the X window class
}

}  // namespace
