#!/usr/bin/env python3
"""Reference reader for the loader cross-check, built on the intelhex package.

    intelhex_image.py <file.hex> <out.bin> <capacity>

Writes bytes 0..capacity-1 of the image (holes as 0) to out.bin and prints the
number of data bytes in the file's data records. Fails when data lie at or beyond
capacity.

intelhex refuses a file whose records overlap (some shipped boot loaders patch a
version word that way). Such a file is read one data record at a time, each under
the extension record in force, and merged with the later record winning; every
record's bytes are counted.
"""
import io
import sys

from intelhex import AddressOverlapError, IntelHex

EXTENSION_TYPES = ("02", "04")
DATA_TYPE = "00"


def read_record_by_record(path):
    image, count, extension = IntelHex(), 0, ""
    with open(path) as source:
        for line in source:
            line = line.strip()
            record_type = line[7:9]
            if record_type in EXTENSION_TYPES:
                extension = line + "\n"
            elif record_type == DATA_TYPE:
                record = IntelHex(io.StringIO(extension + line + "\n:00000001FF\n"))
                count += len(record)
                image.merge(record, overlap="replace")
    return image, count


def main():
    hex_file, out_file, capacity = sys.argv[1], sys.argv[2], int(sys.argv[3], 0)
    try:
        image = IntelHex(hex_file)
        count = len(image)
    except AddressOverlapError:
        image, count = read_record_by_record(hex_file)
    if len(image) and image.maxaddr() >= capacity:
        sys.exit("%s: data at 0x%X, beyond the capacity 0x%X" % (hex_file, image.maxaddr(), capacity))
    image.padding = 0
    image.tobinfile(out_file, start=0, size=capacity)
    print(count)


main()
