// Run settings: what the command builds from its options and every dump
// reads. Kept apart so that the dump engine need not see the command.
#pragma once
#include <cstdint>

struct DumpSettings {
    uint64_t StartAddress;
    uint64_t EndAddress;
    uint64_t MaxBytes;
    uint64_t StartFromEnd;
    uint64_t EndFromEnd;
    uint32_t HexWidth;
    uint32_t AddressWidth;
    uint32_t WordLen;
    uint32_t GroupWidth;
    uint32_t MaxLines;
    uint32_t Format;          // 0 hex, 1 octal, 2 decimal, 3 signed decimal
    uint32_t CodePage;
    uint32_t EbcdicCodePage;
    uint32_t ConsoleWidth;
    wchar_t TextReplacementChar;
    wchar_t LineEnding[3];
};

enum : uint32_t {
    DF_SHOW_NAME = 0x1,
    DF_SHOW_DETAILS = 0x2,
    DF_DUMP_BOM = 0x4,
    DF_BIG_ENDIAN = 0x8,
    DF_NO_ADDRESS = 0x10,
    DF_NO_TEXT = 0x20,
    DF_NO_EBCDIC = 0x40,
    DF_NO_TRAILING_BLANK = 0x80,
    DF_UNIX = 0x100,
    DF_ALT_LINES = 0x200,
    DF_FIT_CONSOLE = 0x400,
    DF_ASCII_ONLY = 0x800,
    DF_KEYBOARD = 0x1000,
    DF_TOTALS = 0x2000,
    DF_UPPER_HEX = 0x4000,
    DF_CONTROL_PICTURES = 0x8000,
    DF_NO_UTF8_DASHES = 0x10000,
    DF_PLAIN_QUOTES = 0x20000,
};
constexpr uint32_t DefaultFlags = DF_KEYBOARD;
