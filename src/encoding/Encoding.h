// Text encodings: detection of an input's encoding, character decoding, and
// the built-in code-page tables. The room owns the record of one input held
// in memory (InputSource), since decoding reads and advances it; acquisition
// (input/) fills and empties it. It uses the plug-in shell alone.
#pragma once
#include <windows.h>
#include <cstdint>

enum TextEncoding : uint32_t {
    Oem = 0,
    Utf16Le = 1,
    Utf16Be = 2,
    Utf8 = 3,
    Ebcdic = 16,
    Utf32Le = 32,
    Utf32Be = 33,
    Raw = 64,
    Ascii = 128,
};

struct InputSource {
    const uint8_t* Data;
    wchar_t* Name;
    wchar_t* TempFileName;
    HANDLE FileHandle;
    HANDLE MappingHandle;
    uint32_t LastError;
    uint32_t Encoding;
    uint64_t Size;
    uint64_t Position;
    uint64_t BomLength;
    uint32_t AllowSupplementary;
    uint32_t CodePage;
    int32_t CodePageIndex;
    uint32_t EbcdicCodePage;
    int32_t EbcdicCodePageIndex;
    wchar_t ReplacementChar;
    uint32_t OpenFlags;
};

extern const uint32_t CodePageNumbers[24];         // table order gives CodePageIndex
extern const uint16_t CodePageTables[24][128];     // bytes 0x80..0xFF
extern const uint32_t EbcdicCodePageNumbers[10];   // 1140..1149
extern const uint16_t EbcdicTables[10][256];
int CodePageIndexOf(uint32_t codePage);            // -1 when not built in
int EbcdicCodePageIndexOf(uint32_t codePage);      // -1 when not built in

uint32_t DetectEncoding(InputSource* source, bool allowEbcdic);
int NextChar(InputSource* source);
int PeekChar(InputSource* source);
int ReadTextLine(InputSource* source, wchar_t* buffer);  // buffer: 32768 units
int DecodeUtf8(const uint8_t* lead);
int EncodingName(uint32_t encoding, uint64_t bomLength, wchar_t* buffer);
int DescribeEncoding(const InputSource* source, wchar_t* buffer);

// The default EBCDIC code page: the user locale's.
uint32_t DefaultEbcdicCodePage(void);
// The EBCDIC code page for a locale identifier (the lookup behind the default).
uint32_t EbcdicCodePageForLocale(LANGID locale);
