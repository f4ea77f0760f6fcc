// Input acquisition: every input (a file, standard input, the clipboard, a
// download) brought into memory as one run of bytes, in the record that the
// encodings room defines; the read guard over mapped views; the read-ahead
// of small files. The room uses the plug-in shell, the text encodings
// (encoding/) and the network (net/).
#pragma once
#include <windows.h>
#include <cstdint>
#include "encoding/Encoding.h"

enum : uint32_t {
    OPEN_REPORT = 0x1,
    OPEN_DETECT_EBCDIC = 0x80,
    OPEN_SUPPLEMENTARY = 0x100,
    // A named file of up to 64 KiB may be read whole instead of mapped: for
    // an input read once from start to end, as the dump reads it (a list is
    // read name by name while its names are dumped, and stays mapped).
    OPEN_READ_SMALL = 0x200,
};

// ---- Acquisition ----------------------------------------------------------
int OpenInput(InputSource* source, const wchar_t* name, uint32_t openFlags, uint32_t codePage, uint32_t ebcdicCodePage);
void ReleaseInput(InputSource* source);
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

