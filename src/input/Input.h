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
// The read guard: a page of an input's mapped view that cannot be read (the
// file was cut short by another program, its disk went away) ends the read
// at hand instead of the process. A guard takes such faults for one input
// from its making to its end, on the thread that reads, and only within
// Read: output, paging and the host around the reads are never cut short.
// A step run by Read must hold nothing that needs releasing.
struct ReadGuard {
    explicit ReadGuard(InputSource* source);
    ~ReadGuard();
    ReadGuard(const ReadGuard&) = delete;
    ReadGuard& operator=(const ReadGuard&) = delete;
    // Runs step(context) and gives its result; -1 when a page of the view
    // could not be read: Faulted is then set and the source's LastError
    // holds the system's error.
    int Read(int (*step)(void*), void* context);
    template <typename Step>
    int Read(Step& step) {
        return Read([](void* context) { return (*static_cast<Step*>(context))(); }, &step);
    }
    InputSource* Source;
    void* Registration;  // the exception handler's while the guard lives; null: nothing to guard
    bool Faulted;
};
// The message (with name for its "%s") and the error line for error.
void ReportReadFault(const wchar_t* format, const wchar_t* name, uint32_t error);
// Downloads an address to a temporary file (name buffer of 32768 units).
int DownloadUrl(const wchar_t* url, wchar_t* tempFileName);
// How long a server may stay silent before a download fails (milliseconds).
constexpr uint32_t DownloadSilenceLimit = 30000;
// DownloadUrl with the silence limit given. With file non-null the
// temporary file stays open in *file and goes away with its last handle,
// even when the process is ended from outside. A failure that its code alone
// does not explain (a transfer coding, a length) is told in reason
// (ReasonUnits units, empty otherwise), when given.
constexpr uint32_t ReasonUnits = 1024;
int FetchUrl(const wchar_t* url, wchar_t* tempFileName, HANDLE* file, uint32_t silenceMs, wchar_t* reason = nullptr);
// The system's code for a reply whose coding cannot be undone (missing from
// some headers).
constexpr uint32_t ErrorDecodingFailed = 12175;

// ---- Addresses -------------------------------------------------------------
// The longest address fetched, typed or a redirect's target: what the
// command's argument buffer holds (8,191 characters and the terminator).
constexpr uint32_t MaxUrlLength = 8191;
// The address reference leads to from base (RFC 3986 section 5.2; "http:g"
// from an "http:" base is relative) into target, of units units. A null base
// takes reference as it is, without its dot segments. 0, or
// ERROR_INTERNET_INVALID_URL when there is no scheme or the address does not fit.
uint32_t ResolveUrl(const wchar_t* base, const wchar_t* reference, wchar_t* target, size_t units);
// ResolveUrl for a request: without the fragment, and "/" for an empty path
// after an authority.
uint32_t RequestUrl(const wchar_t* base, const wchar_t* reference, wchar_t* target, size_t units);

// ---- Read-ahead ------------------------------------------------------------
// A walk or a list that knows which files it will pass on next offers their
// names; while it lives, a small pool opens and reads the small ones, and
// OpenInput (with OPEN_READ_SMALL) takes what was read instead of opening
// the file itself, unless anything about it is in doubt. Started and ended
// on the command thread; the end lets go of every copy, handle and thread.
struct ReadAheadPool;
constexpr uint64_t ReadAheadSizeUnknown = ~0ull;
struct ReadAhead {
    ReadAhead();
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;
    // name: a full name, as it will be given to OpenInput; size: from the
    // directory entry, or ReadAheadSizeUnknown. 1 offered, 0 not worth
    // reading ahead, -1 no room now (offer it again later).
    int Offer(const wchar_t* name, uint64_t size);

    ReadAheadPool* Shared = nullptr;  // null: no read-ahead
    unsigned Offered = 0;
    bool Failed = false;     // the pool could not start: nothing is offered
};

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
