// Threads of the plug-in's own (the standard-input reader, the download
// worker and its closer, the read-ahead pool) and the lock they share state
// under. The host may let the library go while such a thread still runs, so
// each holds a reference on it.
#pragma once
#include <windows.h>

// Holds an exclusive lock for one scope.
struct ExclusiveLock {
    SRWLOCK* lock;
    explicit ExclusiveLock(SRWLOCK* l) : lock(l) { AcquireSRWLockExclusive(lock); }
    ~ExclusiveLock() { ReleaseSRWLockExclusive(lock); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;
};

// StartOwnThread takes a reference on the plug-in's library and starts
// routine(context) (a stack of stackReserve bytes, 0: the default), and gives
// the thread's handle, or null with no reference kept. The thread ends with
// EndOwnThread, which lets go of the reference.
HANDLE StartOwnThread(LPTHREAD_START_ROUTINE routine, void* context, SIZE_T stackReserve = 0);
[[noreturn]] void EndOwnThread();
