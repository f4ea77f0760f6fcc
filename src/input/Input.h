// Input sources and encoding detection: one input held in memory as a run
// of bytes, its text encoding, and the character decoders.
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

enum : uint32_t {
    OPEN_REPORT = 0x1,
    OPEN_DETECT_EBCDIC = 0x80,
    OPEN_SUPPLEMENTARY = 0x100,
    // A named file of up to 64 KiB may be read whole instead of mapped: for
    // an input read once from start to end, as the dump reads it (a list is
    // read name by name while its names are dumped, and stays mapped).
    OPEN_READ_SMALL = 0x200,
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

// ---- Acquisition ----------------------------------------------------------
int OpenInput(InputSource* source, const wchar_t* name, uint32_t openFlags, uint32_t codePage, uint32_t ebcdicCodePage);
void ReleaseInput(InputSource* source);
uint32_t DefaultEbcdicCodePage(void);
// The EBCDIC code page for a locale identifier (the lookup behind the default).
uint32_t EbcdicCodePageForLocale(LANGID locale);
int IsConsoleHandle(HANDLE handle);
int UrlWildcardCount(const wchar_t* name);
int MakeDevicePath(wchar_t* name);
// The "\\?\" form of a full, plain path on a drive or a share, which names
// the same file literally (AUX is the file AUX): a heap block the caller
// frees, or null when the name has no such form or it does not fit.
wchar_t* LiteralPath(const wchar_t* name);
// The system error that tells what went wrong with a path, for error as the
// system gave it.
uint32_t PathError(uint32_t error, const wchar_t* path);
int FormatErrorText(int code, wchar_t* text);  // text: 1024 units
// Runs body(context); when a page of the source's mapped view cannot be read
// the input ends there instead of the process: faulted is set, LastError
// holds the system's error and the result is -1. Only the calling thread's
// reads of that view are taken. body must hold nothing that needs releasing.
int GuardedRead(InputSource* source, int (*body)(void*), void* context, bool* faulted);
// The message (with name for its "%s") and the error line for error.
void ReportReadFault(const wchar_t* format, const wchar_t* name, uint32_t error);
// Downloads an address to a temporary file (name buffer of 32768 units).
int DownloadUrl(const wchar_t* url, wchar_t* tempFileName);
// How long a server may stay silent before a download fails (milliseconds).
constexpr uint32_t DownloadSilenceLimit = 30000;
// DownloadUrl with the silence limit given. With file non-null the
// temporary file stays open in *file and goes away with its last handle,
// even when the process is ended from outside.
int FetchUrl(const wchar_t* url, wchar_t* tempFileName, HANDLE* file, uint32_t silenceMs);

// ---- Encodings and decoding ----------------------------------------------
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
