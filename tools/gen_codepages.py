#!/usr/bin/env python3
"""Writes src/encoding/CodePageTables.cpp: the built-in code-page tables.

Sources, all on the build machine:
  * Python's codecs for the single-byte code pages and for EBCDIC 1140
    (they are generated from the vendors' published mapping files);
  * the C library's iconv tables (glibc gconv modules IBM1141..IBM1149) for
    the EBCDIC code pages Python has no codec for.

Where the sources disagree the choice is fixed in DECISIONS below and every
other disagreement found by the cross-check is reported on stderr.

Usage: tools/gen_codepages.py [output file]   (default: src/encoding/CodePageTables.cpp)
Prints nothing to stdout; a one-line summary goes to stderr.
"""

import codecs
import ctypes
import ctypes.util
import os
import sys

REPLACEMENT = 0xFFFD

# (code page, Python codec, glibc charset for the cross-check or None, description)
SINGLE_BYTE = [
    (1252, "cp1252", "CP1252", "Windows Latin 1"),
    (1250, "cp1250", "CP1250", "Windows Central European"),
    (1251, "cp1251", "CP1251", "Windows Cyrillic"),
    (1253, "cp1253", "CP1253", "Windows Greek"),
    (1254, "cp1254", "CP1254", "Windows Turkish"),
    (1255, "cp1255", "CP1255", "Windows Hebrew"),
    (1256, "cp1256", "CP1256", "Windows Arabic"),
    (1257, "cp1257", "CP1257", "Windows Baltic"),
    (1258, "cp1258", "CP1258", "Windows Vietnamese"),
    (437, "cp437", "IBM437", "OEM United States"),
    (720, "cp720", None, "OEM Arabic (DOS)"),
    (737, "cp737", "CP737", "OEM Greek"),
    (775, "cp775", "IBM775", "OEM Baltic"),
    (850, "cp850", "IBM850", "OEM Multilingual Latin 1"),
    (852, "cp852", "IBM852", "OEM Latin 2"),
    (855, "cp855", "IBM855", "OEM Cyrillic"),
    (857, "cp857", "IBM857", "OEM Turkish"),
    (858, "cp858", "IBM858", "OEM Multilingual Latin 1 with euro"),
    (862, "cp862", "IBM862", "OEM Hebrew"),
    (866, "cp866", "IBM866", "OEM Russian"),
    (874, "cp874", "CP874", "Windows Thai"),
    (10000, "mac_roman", "MACINTOSH", "Mac Roman"),
    (20866, "koi8_r", "KOI8-R", "KOI8-R Russian"),
    (21866, "koi8_u", "KOI8-U", "KOI8-U Ukrainian"),
]

# (code page, Python codec or None, glibc charset, description). The euro
# pages have tables of their own in glibc; they are taken as they are, not
# rebuilt from the older pages 037, 273, ... (which differ in more places
# than the euro sign, e.g. 1143 0x71/0xE0 and 1149 0x4A/0xC0).
EBCDIC = [
    (1140, "cp1140", "IBM1140", "EBCDIC US/Canada with euro"),
    (1141, None, "IBM1141", "EBCDIC Germany/Austria with euro"),
    (1142, None, "IBM1142", "EBCDIC Denmark/Norway with euro"),
    (1143, None, "IBM1143", "EBCDIC Finland/Sweden with euro"),
    (1144, None, "IBM1144", "EBCDIC Italy with euro"),
    (1145, None, "IBM1145", "EBCDIC Latin America/Spain with euro"),
    (1146, None, "IBM1146", "EBCDIC United Kingdom with euro"),
    (1147, None, "IBM1147", "EBCDIC France with euro"),
    (1148, None, "IBM1148", "EBCDIC International with euro"),
    (1149, None, "IBM1149", "EBCDIC Icelandic with euro"),
]

# Known disagreements between the sources and the value taken:
# (code page, byte) -> (value, reason).
DECISIONS = {
    # Apple's published table (and the Windows table) give the increment
    # sign; glibc's MACINTOSH table has the older Greek capital delta.
    (10000, 0xC6): (0x2206, "Apple's current table; glibc has U+0394"),
    # The Apple logo; our tables show it as U+0150 by design.
    (10000, 0xF0): (0x0150, "fixed by design (sources: U+F8FF, glibc U+E01E)"),
}


class Iconv:
    """Single-byte decoding through the C library's iconv."""

    def __init__(self):
        libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
        libc.iconv_open.restype = ctypes.c_void_p
        libc.iconv_open.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        libc.iconv.restype = ctypes.c_size_t
        libc.iconv.argtypes = [
            ctypes.c_void_p,
            ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_size_t),
            ctypes.POINTER(ctypes.c_char_p), ctypes.POINTER(ctypes.c_size_t),
        ]
        libc.iconv_close.argtypes = [ctypes.c_void_p]
        self.libc = libc

    def decode(self, charset, byte):
        """Code points for one byte, or None when the charset leaves it undefined."""
        libc = self.libc
        cd = libc.iconv_open(b"UTF-32LE", charset.encode("ascii"))
        if cd is None or cd == ctypes.c_void_p(-1).value:
            sys.exit("gen_codepages: iconv has no charset %s" % charset)
        failed = ctypes.c_size_t(-1).value
        try:
            source = ctypes.create_string_buffer(bytes([byte]), 1)
            target = ctypes.create_string_buffer(32)
            in_ptr = ctypes.c_char_p(ctypes.addressof(source))
            in_left = ctypes.c_size_t(1)
            out_ptr = ctypes.c_char_p(ctypes.addressof(target))
            out_left = ctypes.c_size_t(32)
            if libc.iconv(cd, ctypes.byref(in_ptr), ctypes.byref(in_left),
                          ctypes.byref(out_ptr), ctypes.byref(out_left)) == failed:
                return None
            # Some converters (1255, 1258) hold a base letter back for a
            # combining mark that may follow: flush it.
            if libc.iconv(cd, None, None, ctypes.byref(out_ptr), ctypes.byref(out_left)) == failed:
                return None
            raw = target.raw[:32 - out_left.value]
        finally:
            libc.iconv_close(cd)
        points = [int.from_bytes(raw[i:i + 4], "little") for i in range(0, len(raw), 4)]
        return points or None


def python_decode(codec, byte):
    try:
        text = bytes([byte]).decode(codec)
    except UnicodeDecodeError:
        return None
    return [ord(ch) for ch in text]


def single_value(points):
    """The one UTF-16 value of a mapping, or U+FFFD when it is undefined."""
    if points is None:
        return REPLACEMENT
    if len(points) != 1 or points[0] > 0xFFFF:
        sys.exit("gen_codepages: mapping %r is not one BMP character" % points)
    return points[0]


def is_c1(value):
    return 0x80 <= value <= 0x9F


def build_single_byte(iconv, notes):
    tables = []
    for page, codec, charset, _ in SINGLE_BYTE:
        codecs.lookup(codec)
        row = []
        for byte in range(0x80, 0x100):
            primary = python_decode(codec, byte)
            value = single_value(primary)
            if charset is not None:
                other = single_value(iconv.decode(charset, byte))
                if other != value and (page, byte) not in DECISIONS:
                    notes.append("cp%u 0x%02X: python U+%04X, glibc U+%04X (python kept)"
                                 % (page, byte, value, other))
            if (page, byte) in DECISIONS:
                value = DECISIONS[(page, byte)][0]
            # Code page 720's table maps its unused bytes to C1 controls:
            # they are not characters of the code page.
            if page == 720 and is_c1(value):
                value = REPLACEMENT
            if is_c1(value):
                sys.exit("gen_codepages: cp%u 0x%02X maps to C1 control U+%04X" % (page, byte, value))
            row.append(value)
        tables.append(row)
    return tables


def build_ebcdic(iconv, notes):
    tables = []
    for page, codec, charset, _ in EBCDIC:
        row = []
        for byte in range(0x100):
            value = single_value(iconv.decode(charset, byte))
            if codec is not None:
                other = single_value(python_decode(codec, byte))
                if other != value:
                    notes.append("cp%u 0x%02X: glibc U+%04X, python U+%04X (glibc kept)"
                                 % (page, byte, value, other))
            # C1 controls are not shown as characters, except the EBCDIC
            # new line, which text readers take as a line end.
            if (byte, value) in ((0x15, 0x000A), (0x25, 0x0085)):
                notes.append("cp%u 0x%02X: source has the swapped line ends" % (page, byte))
            if byte == 0x15:
                value = 0x0085
            elif byte == 0x25:
                value = 0x000A
            elif is_c1(value):
                value = REPLACEMENT
            row.append(value)
        tables.append(row)
    return tables


def emit_table(out, comment, values, first_byte):
    out.append("    // %s" % comment)
    out.append("    {")
    for start in range(0, len(values), 8):
        cells = ", ".join("0x%04X" % v for v in values[start:start + 8])
        out.append("        %s,  // %02X" % (cells, first_byte + start))
    out.append("    },")


def render(single, ebcdic):
    out = [
        "// Generated by tools/gen_codepages.py from the published code-page",
        "// mappings; edit the script, not this file.",
        "// Undefined bytes map to U+FFFD.",
        "#include \"encoding/Encoding.h\"",
        "",
        "const uint32_t CodePageNumbers[24] = {",
    ]
    numbers = [page for page, _, _, _ in SINGLE_BYTE]
    for start in range(0, len(numbers), 8):
        out.append("    %s," % ", ".join(str(n) for n in numbers[start:start + 8]))
    out.append("};")
    out.append("")
    out.append("const uint32_t EbcdicCodePageNumbers[10] = {")
    out.append("    %s," % ", ".join(str(page) for page, _, _, _ in EBCDIC))
    out.append("};")
    out.append("")
    out.append("// Bytes 0x80..0xFF; bytes below 0x80 are ASCII.")
    out.append("const uint16_t CodePageTables[24][128] = {")
    for (page, _, _, name), values in zip(SINGLE_BYTE, single):
        emit_table(out, "%u: %s" % (page, name), values, 0x80)
    out.append("};")
    out.append("")
    out.append("// Bytes 0x00..0xFF. C1 controls map to U+FFFD except 0x15 (U+0085 next line).")
    out.append("const uint16_t EbcdicTables[10][256] = {")
    for (page, _, _, name), values in zip(EBCDIC, ebcdic):
        emit_table(out, "%u: %s" % (page, name), values, 0x00)
    out.append("};")
    return "\n".join(out) + "\n"


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "src", "encoding", "CodePageTables.cpp")
    iconv = Iconv()
    notes = []
    single = build_single_byte(iconv, notes)
    ebcdic = build_ebcdic(iconv, notes)
    text = render(single, ebcdic)
    with open(target, "w", encoding="ascii", newline="\n") as handle:
        handle.write(text)
    for note in notes:
        print("gen_codepages: note: " + note, file=sys.stderr)
    print("gen_codepages: wrote %d + %d tables to %s (%d source disagreements)"
          % (len(single), len(ebcdic), target, len(notes)), file=sys.stderr)


if __name__ == "__main__":
    main()
