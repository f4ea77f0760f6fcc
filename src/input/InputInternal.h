// Pieces the files of input acquisition share (the sources, their reports,
// the read-ahead); no other room includes this.
#pragma once
#include "input/Input.h"
#include "net/Net.h"
#include "plugin/Plugin.h"
#include "plugin/Threads.h"

#include <cstdlib>
#include <cwchar>

constexpr size_t PathUnits = 32768;   // 32767 characters and the terminator
constexpr size_t TextUnits = 1024;
constexpr uint32_t NoMemory = ERROR_NOT_ENOUGH_MEMORY;  // 8

// Closes its handle exactly once, whichever way the scope is left.
struct OwnedHandle {
    HANDLE h = nullptr;
    OwnedHandle() = default;
    explicit OwnedHandle(HANDLE handle) : h(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
    ~OwnedHandle() { Close(); }
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    void Close() {
        if (h) CloseHandle(h);
        h = nullptr;
    }
    HANDLE Release() {
        HANDLE r = h;
        h = nullptr;
        return r;
    }
};

// A heap block freed on every path.
struct HeapBlock {
    void* p;
    explicit HeapBlock(size_t bytes) : p(malloc(bytes)) {}
    ~HeapBlock() { free(p); }
    HeapBlock(const HeapBlock&) = delete;
    HeapBlock& operator=(const HeapBlock&) = delete;
    wchar_t* Text() const { return static_cast<wchar_t*>(p); }
};

// A heap copy of text (free), or null.
wchar_t* CopyText(const wchar_t* text);

// ---- Reports (each only when the record asks for them with OPEN_REPORT) ----
// A message after the error prefix; user text only ever goes in through "%s".
void Report(const InputSource* source, const wchar_t* format, const wchar_t* text = L"");
// The indented line that explains an error under a message.
void WriteReasonLine(const wchar_t* text);
void WriteErrorLine(uint32_t error);
void ReportErrorLine(const InputSource* source);
void ReportWithErrorText(const InputSource* source, const wchar_t* format);
// Leaves the record empty apart from LastError and returns it.
int FailOpen(InputSource* source);

// ---- The sources besides files ----------------------------------------------
int OpenClipboardInput(InputSource* source);
// Copies an input without a file behind it (FileHandle, or the borrowed
// console) into a temporary file, which becomes FileHandle; info: the copy's.
bool CopyToTempFile(InputSource* source, HANDLE console, BY_HANDLE_FILE_INFORMATION* info);

// Named files up to this size are read whole rather than mapped.
constexpr uint64_t SmallFileBytes = 64 * 1024;

// A full, plain path on a drive or a share, as the walk and list files give
// names: it is opened by its "\\?\" form (LiteralForm, a heap block, or null
// when it does not fit).
bool HasLiteralForm(const wchar_t* name);
wchar_t* LiteralForm(const wchar_t* name);

// The first size bytes of an open file in a heap block (got: how many there
// were; fewer when the file shrank); null when the read fails or finds
// nothing.
uint8_t* ReadSmallCopy(HANDLE file, uint64_t size, uint64_t* got);

// For OpenInput: the read-ahead copy of the file offered as name, when one was
// read and the file has not changed since. 1: Data and Size hold the copy;
// 0: none, open the file as usual; -1: a break came while the copy was
// still being read.
int TakeReadAhead(const wchar_t* name, InputSource* source);
