// Read-ahead of the small files a walk or a list has chosen: while the
// command thread dumps one file, a small pool opens and reads the next ones
// into heap copies, and OpenInput takes a copy instead of opening the file
// itself. Each open costs waits on the system (under Wine three round trips
// to its server; on Windows a share, or a scanner hooked into every open)
// that one thread can only add up; the pool overlaps them.
//
// The command thread keeps everything else: the walk, the host's services,
// every write, and every open whose outcome is in doubt. A copy is taken only
// when the file, asked again through the pool's handle (still open), has not
// changed since it was read: change and write times, attributes and size.
// Otherwise, and whenever the pool could not read it, the file is opened as
// if there were no read-ahead, so every byte and every message comes out as
// before. At most SlotCount copies of at most SmallFileBytes each are held
// (2 MiB), with their handles, and up to twice as many handles wait to be
// closed.
//
// Threads and shared state. A session (ReadAhead) is started and ended on the
// command thread by the walk or list that offers names; its ReadAheadPool
// record is shared with the two workers. Lock guards every field marked
// "under Lock". A slot's other fields belong to whoever its state names
// (SlotState), who reads and writes them without the lock. The record is freed by the last
// of the session and its workers to let go of it: a worker stuck in an open
// (a share that went away) does not hold up the end of the session, and
// frees what is left when its open returns.
#include "input/InputInternal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr unsigned SlotCount = 32;
constexpr unsigned WorkerCount = 2;
// Starting a thread costs about as much as reading ahead a dozen files: the
// pool starts once a session has offered this many.
constexpr unsigned OffersBeforeStart = 16;
constexpr DWORD BreakPollMs = 20;
// How long the end of a session waits for a worker to let go of the pool.
constexpr DWORD LetGoMs = 500;

// What a file looked like when its copy was read.
struct FileStamp {
    LARGE_INTEGER Creation, LastWrite, Change, Size;
    DWORD Attributes;
};

// The last access time is left out: reading the copy may set it.
bool ReadStamp(HANDLE file, FileStamp* stamp) {
    FILE_BASIC_INFO basic;
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) || !GetFileSizeEx(file, &stamp->Size))
        return false;
    stamp->Creation = basic.CreationTime;
    stamp->LastWrite = basic.LastWriteTime;
    stamp->Change = basic.ChangeTime;
    stamp->Attributes = basic.FileAttributes;
    return true;
}

bool SameStamp(const FileStamp& a, const FileStamp& b) {
    return a.Creation.QuadPart == b.Creation.QuadPart && a.LastWrite.QuadPart == b.LastWrite.QuadPart &&
           a.Change.QuadPart == b.Change.QuadPart && a.Size.QuadPart == b.Size.QuadPart &&
           a.Attributes == b.Attributes;
}

enum SlotState : uint8_t {
    Free,       // nobody's: the command thread may fill it
    Queued,     // offered, Name and Path set: the command thread's until a worker claims it
    Reading,    // a worker's, every field
    Ready,      // File, Copy, CopySize and Stamp set: the command thread's
    Failed,     // not read (not a small disk file, or not there): the command thread's
    Abandoned,  // given up while a worker reads it: that worker empties it
};

struct Slot {
    SlotState State;  // under Lock
    wchar_t* Name;    // as offered, what OpenInput is asked for
    wchar_t* Path;    // its "\\?\" form, which is opened
    HANDLE File;      // kept open until the copy is taken, to ask it again
    uint8_t* Copy;
    uint64_t CopySize;
    FileStamp Stamp;
};

}  // namespace

struct ReadAheadPool {
    SRWLOCK Lock;
    CONDITION_VARIABLE Work;  // something queued or to close, or the session ends
    CONDITION_VARIABLE Done;  // a slot has been read
    Slot Slots[SlotCount];    // a ring: Head up to Tail in the order offered
    unsigned Head, Tail;      // under Lock; moved by the command thread only
    // Handles of taken copies, closed by a worker so that the command
    // thread does not wait for it; under Lock.
    HANDLE Closing[2 * SlotCount];
    unsigned ClosingCount;    // under Lock
    bool Stopping;            // under Lock
    unsigned Holders;         // under Lock: the session and each worker still running
    CONDITION_VARIABLE LetGo; // a worker let go of the pool
};

namespace {

// The session whose copies OpenInput takes; the command thread's.
ReadAheadPool* Current;

Slot* SlotAt(ReadAheadPool* pool, unsigned index) { return &pool->Slots[index % SlotCount]; }

// Frees what a slot holds apart from its handle.
void Empty(Slot* slot) {
    free(slot->Name);
    free(slot->Path);
    free(slot->Copy);
    slot->Name = slot->Path = nullptr;
    slot->Copy = nullptr;
    slot->CopySize = 0;
    slot->File = nullptr;
}

// Under Lock: a handle to be closed by a worker, or here when the list is full.
void CloseLater(ReadAheadPool* pool, HANDLE file) {
    if (!file) return;
    if (pool->ClosingCount < 2 * SlotCount)
        pool->Closing[pool->ClosingCount++] = file;
    else
        CloseHandle(file);
}

// Under Lock, by the command thread: a slot at Head that will not be taken.
void Drop(ReadAheadPool* pool, Slot* slot) {
    if (slot->State == Reading) {
        slot->State = Abandoned;
        return;
    }
    CloseLater(pool, slot->File);
    Empty(slot);
    slot->State = Free;
}

void FreePool(ReadAheadPool* pool) {
    for (unsigned i = 0; i < pool->ClosingCount; ++i) CloseHandle(pool->Closing[i]);
    for (Slot& slot : pool->Slots) {
        if (slot.File) CloseHandle(slot.File);
        Empty(&slot);
    }
    free(pool);
}

// The worker's part: a copy of a small disk file, or nothing. Only what
// OpenInput itself would read whole is read: no pipe, device or empty file.
bool ReadCopy(Slot* slot) {
    HANDLE file = CreateFileW(slot->Path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    FileStamp& stamp = slot->Stamp;
    const bool small = GetFileType(file) == FILE_TYPE_DISK && ReadStamp(file, &stamp) &&
                       (stamp.Creation.QuadPart || stamp.LastWrite.QuadPart || stamp.Change.QuadPart) &&
                       stamp.Size.QuadPart > 0 && static_cast<uint64_t>(stamp.Size.QuadPart) <= SmallFileBytes;
    if (small) slot->Copy = ReadSmallCopy(file, static_cast<uint64_t>(stamp.Size.QuadPart), &slot->CopySize);
    if (!slot->Copy) {
        CloseHandle(file);
        return false;
    }
    slot->File = file;
    return true;
}

Slot* FirstQueued(ReadAheadPool* pool) {
    for (unsigned i = pool->Head; i != pool->Tail; ++i)
        if (SlotAt(pool, i)->State == Queued) return SlotAt(pool, i);
    return nullptr;
}

// Returns true when this was the last holder: the caller frees the pool.
bool LetGo(ReadAheadPool* pool) {
    ExclusiveLock hold(&pool->Lock);
    WakeAllConditionVariable(&pool->LetGo);
    return --pool->Holders == 0;
}

DWORD WINAPI WorkerMain(void* parameter) {
    ReadAheadPool* pool = static_cast<ReadAheadPool*>(parameter);
    AcquireSRWLockExclusive(&pool->Lock);
    for (;;) {
        // Reads come first: the dump may be waiting for one. Closing waits
        // for a pause (the walk searching a folder) unless many are due.
        Slot* slot = pool->ClosingCount >= SlotCount ? nullptr : FirstQueued(pool);
        if (!slot && pool->ClosingCount) {
            HANDLE file = pool->Closing[--pool->ClosingCount];
            ReleaseSRWLockExclusive(&pool->Lock);
            CloseHandle(file);
            AcquireSRWLockExclusive(&pool->Lock);
            continue;
        }
        if (slot) {
            slot->State = Reading;
            ReleaseSRWLockExclusive(&pool->Lock);
            const bool read = ReadCopy(slot);
            AcquireSRWLockExclusive(&pool->Lock);
            if (slot->State == Abandoned) {
                CloseLater(pool, slot->File);
                Empty(slot);
                slot->State = Free;
            } else {
                slot->State = read ? Ready : Failed;
                WakeAllConditionVariable(&pool->Done);
            }
            continue;
        }
        if (pool->Stopping) break;
        SleepConditionVariableSRW(&pool->Work, &pool->Lock, INFINITE, 0);
    }
    ReleaseSRWLockExclusive(&pool->Lock);
    if (LetGo(pool)) FreePool(pool);
    EndOwnThread();
}

// Starts the workers; false when none could be started.
bool StartWorkers(ReadAheadPool* pool) {
    unsigned started = 0;
    for (unsigned i = 0; i < WorkerCount; ++i) {
        {
            ExclusiveLock hold(&pool->Lock);
            ++pool->Holders;
        }
        HANDLE thread = StartOwnThread(WorkerMain, pool);
        if (!thread) {
            ExclusiveLock hold(&pool->Lock);
            --pool->Holders;
            break;
        }
        // The worker ends by itself once the session lets it go.
        CloseHandle(thread);
        ++started;
    }
    return started > 0;
}

}  // namespace

ReadAhead::ReadAhead() {
    // A walk inside a walk offers nothing: the outer session keeps the pool.
    if (Current) return;
    Shared = static_cast<ReadAheadPool*>(calloc(1, sizeof(ReadAheadPool)));
    if (!Shared) return;
    InitializeSRWLock(&Shared->Lock);
    InitializeConditionVariable(&Shared->Work);
    InitializeConditionVariable(&Shared->Done);
    InitializeConditionVariable(&Shared->LetGo);
    Shared->Holders = 1;
    Current = Shared;
}

ReadAhead::~ReadAhead() {
    ReadAheadPool* pool = Shared;
    if (!pool) return;
    Current = nullptr;
    bool last;
    {
        ExclusiveLock hold(&pool->Lock);
        pool->Stopping = true;
        while (pool->Head != pool->Tail) Drop(pool, SlotAt(pool, pool->Head++));
        WakeAllConditionVariable(&pool->Work);
        // The workers close what is left to close and let go; one stuck in
        // an open is not waited for beyond the bound.
        const ULONGLONG until = GetTickCount64() + LetGoMs;
        while (pool->Holders > 1) {
            const ULONGLONG now = GetTickCount64();
            if (now >= until) break;
            SleepConditionVariableSRW(&pool->LetGo, &pool->Lock, static_cast<DWORD>(until - now), 0);
        }
        last = --pool->Holders == 0;
    }
    if (last) FreePool(pool);
}

int ReadAhead::Offer(const wchar_t* name, uint64_t size) {
    ReadAheadPool* pool = Shared;
    if (!pool || Failed) return 0;
    if (size != ReadAheadSizeUnknown && (size == 0 || size > SmallFileBytes)) return 0;
    if (!HasLiteralForm(name)) return 0;
    Slot* slot;
    {
        ExclusiveLock hold(&pool->Lock);
        // Every slot from Head to Tail is in use: the one at Tail is free
        // only while fewer than SlotCount are.
        slot = SlotAt(pool, pool->Tail);
        if (slot->State != Free) return -1;
    }
    // A free slot is nobody's until it is queued.
    slot->Name = static_cast<wchar_t*>(malloc((wcslen(name) + 1) * sizeof(wchar_t)));
    slot->Path = LiteralForm(name);
    if (!slot->Name || !slot->Path) {
        Empty(slot);
        return 0;
    }
    wcscpy(slot->Name, name);
    {
        ExclusiveLock hold(&pool->Lock);
        slot->State = Queued;
        ++pool->Tail;
        WakeConditionVariable(&pool->Work);
    }
    if (++Offered == OffersBeforeStart && !StartWorkers(pool)) Failed = true;
    return 1;
}

int TakeReadAhead(const wchar_t* name, InputSource* source) {
    ReadAheadPool* pool = Current;
    if (!pool || !name) return 0;
    HANDLE file;
    uint8_t* copy;
    uint64_t size;
    FileStamp stamp;
    {
        ExclusiveLock hold(&pool->Lock);
        unsigned found = pool->Head;
        while (found != pool->Tail && wcscmp(SlotAt(pool, found)->Name, name) != 0) ++found;
        if (found == pool->Tail) return 0;
        // The names are passed on in the order offered: those before this
        // one will not be asked for any more.
        while (pool->Head != found) Drop(pool, SlotAt(pool, pool->Head++));
        Slot* slot = SlotAt(pool, pool->Head++);
        while (slot->State == Reading && !BreakRequested)
            SleepConditionVariableSRW(&pool->Done, &pool->Lock, BreakPollMs, 0);
        if (slot->State != Ready) {
            // Not read (or still being read when the break came): as if it
            // had never been offered.
            const bool broken = slot->State == Reading;
            Drop(pool, slot);
            return broken ? -1 : 0;
        }
        file = slot->File;
        copy = slot->Copy;
        size = slot->CopySize;
        stamp = slot->Stamp;
        slot->Copy = nullptr;
        slot->File = nullptr;
        Empty(slot);
        slot->State = Free;
    }
    FileStamp now;
    const bool unchanged = ReadStamp(file, &now) && SameStamp(now, stamp);
    {
        ExclusiveLock hold(&pool->Lock);
        CloseLater(pool, file);
    }
    if (!unchanged) {
        // Changed since it was read: opened again, as if it had changed
        // just before being opened.
        free(copy);
        return 0;
    }
    source->Data = copy;
    source->Size = size;
    return 1;
}
