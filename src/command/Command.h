// Command front end: argument tokenizer, run settings, numeric and code-page
// parsers, and the BYTORA command itself.
#pragma once
#include <windows.h>
#include <cstdint>

// ---- Run settings ---------------------------------------------------------
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

// ---- Tokenizer ------------------------------------------------------------
constexpr int MAX_ARG_LEN = 8192;
constexpr int MAX_ARGS = 1024;
extern wchar_t ArgBuffer[MAX_ARG_LEN];
extern wchar_t* ArgVector[MAX_ARGS];
extern int32_t ArgLength[MAX_ARGS];
extern int32_t ArgCount;
int TokenizeArguments(const wchar_t* tail);

// ---- Numeric values and code pages ---------------------------------------
int ParseUnsigned64(const wchar_t* text, uint64_t* result, const wchar_t** end);
int ParseSizeArgument(wchar_t* argument, int valueIndex, const wchar_t* name, uint64_t* result);
int ParseCodePage(wchar_t* argument, uint32_t* codePage, uint32_t* ebcdicCodePage);
int ParseCodePageNumber(const wchar_t* text, uint32_t* result);
// The 24 single-byte code pages with built-in tables, in table order.
extern const uint32_t SingleByteCodePages[24];

// ---- The command ----------------------------------------------------------
void ShowUsage(bool versions);
int HostOutputMode(void);

// The per-input dump the command drives; DumpInput unless a test swaps it.
typedef int (*DumpCallback)(const wchar_t* name, uint32_t flags, void* settings);
extern DumpCallback CommandDumpInput;
