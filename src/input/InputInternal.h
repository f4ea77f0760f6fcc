// Pieces the files of input acquisition share (input sources, downloads, read-ahead).
#pragma once
#include "input/Input.h"
#include <atomic>
#include <cwchar>

// Whether text starts with prefix, letter case aside.
inline bool StartsWithNoCase(const wchar_t* text, const wchar_t* prefix) {
    return _wcsnicmp(text, prefix, wcslen(prefix)) == 0;
}

// Holds an exclusive lock for one scope.
struct ExclusiveLock {
    SRWLOCK* lock;
    explicit ExclusiveLock(SRWLOCK* l) : lock(l) { AcquireSRWLockExclusive(lock); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
};

// A thread of the plug-in's own holds a reference on the plug-in's library,
// so that its code stays loaded while it runs even when the host lets the
// library go: StartOwnThread takes the reference and starts routine(context)
// (a stack of stackReserve bytes, 0: the default), and gives the thread's
// handle, or null with no reference kept. The thread ends with
// EndOwnThread, which lets go of the reference.
HANDLE StartOwnThread(LPTHREAD_START_ROUTINE routine, void* context, SIZE_T stackReserve = 0);
[[noreturn]] void EndOwnThread();

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

// Under Wine, whose internet library must be worked around (it cannot end a
// request whose body goes on, and it cuts long header lines).
bool RunsUnderWine();

// The connection of a download's current request, as a socket of this
// process, so that giving up on the download can cut it (only under Wine;
// see ConnectionCut.cpp). The worker notes the sockets connected to the
// server when the library starts to connect and, once it has connected,
// takes the one that is new; whoever gives up cuts it, once.
struct CutPoint {
    static constexpr int Known = 16;
    uintptr_t Seen[Known] = {};  // the worker's
    int Before = 0;
    uint16_t Port = 0;                  // its local port, written before Socket
    std::atomic<uintptr_t> Socket{0};  // 0: none known
};
void NoteConnecting(CutPoint* point, const char* address, uint16_t port);
void NoteConnected(CutPoint* point, const char* address, uint16_t port);
void CutConnection(CutPoint* point);
