#!/usr/bin/env python3
"""Generate the stand-in firmware images in images/data/.

    python3 images/tools/make_images.py [output-dir]      (default: images/data)

Writes two files, byte-identical on every run (a fixed xorshift32 sequence, no
dependence on Python's own random module or on the clock):

mcu.hex         Intel HEX text, upper-case digits, '\n' line ends, 3,608 lines:
                  line 1        type 04, upper address 0x0000
                  lines 2-3604  3,603 type 00 records of 16 bytes, 0x00000-0x0E12F
                  line 3605     type 04, upper address 0x0001
                  line 3606     one type 00 record of 8 bytes at 0x10DF8
                  line 3607     type 05, start linear address (the reset handler)
                  line 3608     type 01, end of file
                The 57,648 program bytes look like a Cortex-M flash image: a
                vector table, Thumb-style functions with literal pools, and a
                string table at the end. The 8 bytes at 0x10DF8 hold the
                program length and its CRC-32, little-endian.

dsp_words.txt   6,106 lines "0xXXXXXXXX": 32-bit words shaped like DSP
                instruction words (opcode byte, register fields, immediates).

These are placeholders with the right structure. A maker replaces both files with
the real images (or points the DSP_MCU_HEX / DSP_DSP_WORDS cache variables at
them) and rebuilds; the build checks the files and embeds them. The build never
runs this script: the generated files are committed.

Python 3 standard library only.
"""

import os
import sys
import zlib

PROGRAM_BYTES = 0xE130          # 3,603 records of 16 bytes
RECORD_BYTES = 16
TRAILER_ADDRESS = 0x10DF8       # the 8-byte record in the second 64 KiB page
DSP_WORD_COUNT = 6106

STACK_TOP = 0x20004000
VECTOR_COUNT = 48               # 16 system vectors + 32 interrupts
STRING_TABLE = [
    b"DSP CONTROLLER FIRMWARE\0",
    b"VERSION 1.0.2\0",
    b"BUILD 0417\0",
    b"USB HID\0",
    b"BOOT\0",
    b"PARAM TABLE\0",
    b"DSP LOAD\0",
    b"CHECKSUM\0",
    b"TIMEOUT\0",
    b"OVERRUN\0",
    b"READY\0",
]


class XorShift32:
    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF or 1

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def below(self, n):
        return self.next() % n


def put16(buf, value):
    buf += (value & 0xFFFF).to_bytes(2, "little")


def put32(buf, value):
    buf += (value & 0xFFFFFFFF).to_bytes(4, "little")


def thumb_body_instruction(rng):
    """One 16-bit Thumb-style instruction of a function body."""
    rd, rn, rm = rng.below(8), rng.below(8), rng.below(8)
    kind = rng.below(10)
    if kind == 0:
        return 0x2000 | rd << 8 | rng.below(256)            # movs rd, #imm8
    if kind == 1:
        return 0x2800 | rd << 8 | rng.below(256)            # cmp rd, #imm8
    if kind == 2:
        return 0x1800 | rm << 6 | rn << 3 | rd              # adds rd, rn, rm
    if kind == 3:
        return 0x6800 | rng.below(32) << 6 | rn << 3 | rd   # ldr rd, [rn, #imm]
    if kind == 4:
        return 0x6000 | rng.below(32) << 6 | rn << 3 | rd   # str rd, [rn, #imm]
    if kind == 5:
        return 0x4800 | rd << 8 | rng.below(64)             # ldr rd, [pc, #imm]
    if kind == 6:
        return 0xD000 | rng.below(14) << 8 | rng.below(256)  # b<cond> label
    if kind == 7:
        return 0x0000 | rng.below(32) << 6 | rn << 3 | rd   # lsls rd, rn, #imm
    if kind == 8:
        return 0x4000 | rng.below(16) << 6 | rn << 3 | rd   # data processing
    return 0xBF00                                           # nop


def thumb_function(rng, code, literal_pool_words):
    put16(code, 0xB500 | rng.below(256))                    # push {..., lr}
    for _ in range(8 + rng.below(40)):
        if rng.below(12) == 0:
            offset = rng.below(1 << 22)                     # bl <function>
            put16(code, 0xF000 | offset >> 11)
            put16(code, 0xF800 | offset & 0x7FF)
        else:
            put16(code, thumb_body_instruction(rng))
    put16(code, 0xBD00 | rng.below(256))                    # pop {..., pc}
    if len(code) % 4:
        put16(code, 0xBF00)
    for _ in range(literal_pool_words):
        if rng.below(2):
            put32(code, 0x40000000 | rng.below(0x30000) & ~3)  # peripheral register
        else:
            put32(code, 0x20000000 | rng.below(STACK_TOP - 0x20000000) & ~3)


def mcu_program(rng):
    strings = b"".join(STRING_TABLE)
    code_end = PROGRAM_BYTES - len(strings)
    code = bytearray()
    handler_area = VECTOR_COUNT * 4
    put32(code, STACK_TOP)
    reset_handler = handler_area | 1
    put32(code, reset_handler)
    for index in range(2, VECTOR_COUNT):
        reserved = 7 <= index <= 10 or index == 13
        put32(code, 0 if reserved else (handler_area + 0x40 + 4 * index) | 1)
    while len(code) < code_end:
        thumb_function(rng, code, rng.below(5))
    del code[code_end:]
    code += strings
    assert len(code) == PROGRAM_BYTES
    return bytes(code), reset_handler


def hex_record(address, record_type, data):
    body = bytes([len(data), address >> 8 & 0xFF, address & 0xFF, record_type]) + data
    checksum = -sum(body) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper()


def mcu_hex_lines(rng):
    program, reset_handler = mcu_program(rng)
    lines = [hex_record(0, 0x04, (0).to_bytes(2, "big"))]
    for offset in range(0, PROGRAM_BYTES, RECORD_BYTES):
        lines.append(hex_record(offset, 0x00, program[offset:offset + RECORD_BYTES]))
    lines.append(hex_record(0, 0x04, (TRAILER_ADDRESS >> 16).to_bytes(2, "big")))
    trailer = PROGRAM_BYTES.to_bytes(4, "little") + zlib.crc32(program).to_bytes(4, "little")
    lines.append(hex_record(TRAILER_ADDRESS & 0xFFFF, 0x00, trailer))
    lines.append(hex_record(0, 0x05, reset_handler.to_bytes(4, "big")))
    lines.append(hex_record(0, 0x01, b""))
    return lines


DSP_OPCODES = [0x01, 0x02, 0x04, 0x06, 0x0A, 0x0C, 0x10, 0x14, 0x18, 0x1E, 0x20, 0x24,
               0x28, 0x2C, 0x30, 0x38, 0x3F, 0x40, 0x48, 0x60, 0x80, 0x8C, 0xA0, 0xC0]
DSP_RETURN = 0x0A3E0000


def dsp_word(rng):
    opcode = DSP_OPCODES[rng.below(len(DSP_OPCODES))]
    kind = rng.below(4)
    if kind == 0:        # register to register: dst, src1, src2 and a small shift
        return opcode << 24 | rng.below(16) << 20 | rng.below(16) << 16 | rng.below(16) << 12 | rng.below(64)
    if kind == 1:        # register and 16-bit immediate
        return opcode << 24 | rng.below(16) << 16 | rng.below(0x10000)
    if kind == 2:        # data memory access: index register, modifier, 12-bit offset
        return opcode << 24 | 0x00800000 | rng.below(8) << 19 | rng.below(8) << 16 | rng.below(0x1000)
    return opcode << 24 | rng.below(1 << 20)   # jump or loop with a program address


def dsp_words(rng):
    words = []
    while len(words) < DSP_WORD_COUNT - 1:
        block = [dsp_word(rng) for _ in range(4 + rng.below(28))]
        words += block + [DSP_RETURN]
    del words[DSP_WORD_COUNT - 1:]
    words.append(DSP_RETURN | 0x1C5)       # final idle instruction
    return words


def write_lines(path, lines):
    with open(path, "w", newline="\n") as out:
        out.write("\n".join(lines) + "\n")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "data")
    os.makedirs(out_dir, exist_ok=True)
    write_lines(os.path.join(out_dir, "mcu.hex"), mcu_hex_lines(XorShift32(0x4D435531)))
    write_lines(os.path.join(out_dir, "dsp_words.txt"),
                ["0x%08X" % word for word in dsp_words(XorShift32(0x44535031))])


if __name__ == "__main__":
    main()
