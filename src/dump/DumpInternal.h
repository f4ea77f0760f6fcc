// Dump engine internals: the effective layout of one input's dump, the line
// builder, the text field and the value emitters. Only src/dump and its
// tests use these.
#pragma once
#include <cstddef>
#include <cstdint>
#include "dump/Dump.h"

constexpr size_t DumpLineCapacity = 1024;  // units of one line buffer
constexpr uint32_t MaxHexWidth = 80;       // bytes per line at most
constexpr uint64_t EncodingScanLimit = 0x20000;

// Masks of the byte classes UTF-8 lines are judged by, bit i for byte i of
// up to 64 bytes: 00..7F, 80..BF, C0..DF, E0..EF, F0..F7 and ED.
struct ByteClasses {
    uint64_t ascii, continuation, lead2, lead3, lead4, surrogateLead;
};

// The effective settings of one input's dump plus the text-field state that
// runs from line to line.
struct DumpLayout {
    uint32_t Flags;
    uint32_t WordLen;       // 1..8
    uint32_t Format;        // 0 hex, 1 octal, 2 decimal, 3 signed decimal
    uint32_t GroupWidth;
    uint32_t HexWidth;      // bytes per line, 1..80
    uint32_t AddressWidth;  // digits
    uint32_t Digits;        // of one value
    uint64_t SignBit;
    uint64_t SignExtendMask;
    uint64_t Start;         // dump window, end exclusive
    uint64_t End;
    wchar_t Replacement;    // shown for characters not displayed
    bool Utf8Dashes;
    uint32_t PendingDashes;
    // The classes of the bytes the dashes of the last line looked at
    // (ClassesSpan bytes from ClassesAt; span 0 for none), so that the text
    // field of the line need not classify the same bytes again.
    ByteClasses Classes;
    const uint8_t* ClassesAt;
    uint32_t ClassesSpan;
    // Single-byte text (and ASCII-only mode) goes through this table: the
    // unit shown for each byte, 0 for nothing.
    bool UseTextMap;
    bool TextMapComplete;  // no byte maps to nothing
    wchar_t TextMap[256];
};

// ---- Value emitters ---------------------------------------------------------
// Each writes exactly what the matching printf conversion writes: hex and
// octal zero-padded, decimal blank-padded, to at least width characters, and
// returns the position after the text. No terminator is written.
wchar_t* EmitHex(wchar_t* out, uint64_t value, unsigned width, bool upper);
wchar_t* EmitOctal(wchar_t* out, uint64_t value, unsigned width);
wchar_t* EmitUnsigned(wchar_t* out, uint64_t value, unsigned width);
wchar_t* EmitSigned(wchar_t* out, int64_t value, unsigned width);
// One value in the layout's base and width (sign extension included), without
// any separator.
wchar_t* EmitValue(wchar_t* out, const DumpLayout* layout, uint64_t value);
// The address field: at least width lower- or upper-case hex digits.
wchar_t* EmitAddress(wchar_t* out, uint64_t value, unsigned width, bool upper);

// Whether the processor's byte shuffle (SSSE3) builds hex lines and its
// 256-bit registers (AVX2) the text of UTF-8 lines; tests clear them to
// compare the forms without.
extern bool DumpUseSsse3;
extern bool DumpUseAvx2;

// ---- Layout -----------------------------------------------------------------
uint32_t DefaultGroupWidth(uint32_t wordLen);
// Bytes per line that fit the console (the rule used when HexWidth is 0).
uint32_t FitHexWidth(uint32_t consoleWidth, uint32_t addressWidth, uint32_t wordLen, uint32_t groupWidth,
                     uint32_t digits, uint32_t flags);
// Fills the layout from the settings and the opened input: effective widths,
// the dump window, the decoder position at the window start, the dash
// decision and the text table. The encoding must already be refined.
void PrepareLayout(const DumpSettings* settings, uint32_t flags, InputSource* source, DumpLayout* layout);

// Builds the dump line for the bytes at offset line into buffer (capacity
// DumpLineCapacity units), terminated; returns the units written.
size_t BuildDumpLine(InputSource* source, DumpLayout* layout, uint64_t line, wchar_t* buffer);

// ---- Text field -------------------------------------------------------------
// Calls 7-bit 8-bit text ASCII (looks at the first 128 KiB only).
void RefineEncoding(InputSource* source);
bool WantUtf8Dashes(const InputSource* source, uint32_t wordLen, uint32_t flags);
// Moves the decoder position to p, forward to the next character boundary.
void AlignPosition(InputSource* source, uint64_t p);
// The separators after the byte values of count bytes from offset line:
// '-' inside a UTF-8 sequence, else a blank. Carries PendingDashes on.
void Utf8Separators(const InputSource* source, DumpLayout* layout, uint64_t line, uint32_t count, wchar_t* separators);
// The same separators as bits (bit i set for a dash after byte i), found for
// all bytes of the line at once from masks of byte classes: the line
// builder's form. Returns false, having done nothing, where only the byte
// walk can decide (near the window end, fewer than 13 or more than 61 bytes).
bool Utf8DashBits(const InputSource* source, DumpLayout* layout, uint64_t line, uint32_t count, uint64_t* dashes);
// The separators from the dash bits where they can be had, else by the walk.
void Utf8SeparatorsByMasks(const InputSource* source, DumpLayout* layout, uint64_t line, uint32_t count,
                           wchar_t* separators);
// Shown form of a character: control characters replaced or pictured.
int MapControl(int ch, uint32_t flags, wchar_t replacement);
void BuildTextMap(const InputSource* source, DumpLayout* layout);
// Appends the HexWidth text columns of the line at buffer[column]; returns the
// new column. Does not terminate.
size_t AppendTextField(InputSource* source, DumpLayout* layout, uint64_t line, wchar_t* buffer, size_t column);
// The text field of inputs without a text table, character by character
// through the decoder. quick decodes the usual UTF-8 characters and whole
// UTF-16 lines in place; without it every character goes through NextChar
// (the general path).
size_t AppendDecodedText(InputSource* source, DumpLayout* layout, uint64_t line, wchar_t* buffer, size_t column,
                         bool quick);

// Everything DumpInput does once the input is open: encoding refinement,
// window, header, lines and the closing line. The caller releases the input.
int DumpOpenedInput(const wchar_t* name, uint32_t flags, const DumpSettings* settings, InputSource* source);

// ---- Framing ----------------------------------------------------------------
int WriteEmptyNotice(const wchar_t* name, const wchar_t* lineEnding, uint32_t flags);
int WriteTotals(const wchar_t* name, uint64_t count, uint32_t wordLen, const wchar_t* lineEnding, uint32_t flags);
