// The enumeration driver: turns one file argument into the files it names
// and calls the caller's callback once for each of them.
#include "filesel/FileSel.h"
#include "filesel/FileSelInternal.h"
#include "console/Console.h"
#include "input/Input.h"
#include "plugin/Plugin.h"
#include <conio.h>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <new>

size_t MaxSubfolderUnits = 1 << 16;

namespace {

// What tells one folder from another: the volume's serial number and the
// folder's 128-bit file id. A volume without a serial (under Wine: a file
// system that no drive letter stands for) gives no more than an inode
// number, which folders on other file systems share; such a folder is told
// by its final path as well.
struct FolderIdentity {
    uint64_t Volume;
    uint64_t IdHigh;
    uint64_t IdLow;
    wchar_t* Path;  // heap, owned; only where Volume is 0
};

bool SameFolder(const FolderIdentity& a, const FolderIdentity& b) {
    if (a.Volume != b.Volume || a.IdHigh != b.IdHigh || a.IdLow != b.IdLow) return false;
    return a.Volume != 0 || (a.Path && b.Path && wcscmp(a.Path, b.Path) == 0);
}

// The levels below a folder whose files one search of it selects: from Min
// on, down to Max (-1: no limit), as MinDepth and MaxDepth count them.
struct DepthSpan {
    int32_t Min;
    int32_t Max;
    int64_t Last() const { return Max < 0 ? INT64_MAX : Max; }
    bool Empty() const { return Min > Last(); }
};

// Working storage of one directory level. Levels live on the heap and are
// chained by depth: a deep tree must not put four path buffers per level on
// the stack, and sibling directories reuse the record of their depth.
struct Level {
    wchar_t Spec[PathCapacity];       // the resolved file spec
    wchar_t Directory[PathCapacity];  // up to and including the last separator
    wchar_t Pattern[PathCapacity];    // the last component
    wchar_t Scratch[PathCapacity];    // search text, callback names, subdirectory file specs
    WIN32_FIND_DATAW Entry;
    Level* Deeper;
    // The folder this level searches (found only when a loop is possible),
    // and whether a link or junction lies on the way down to it.
    FolderIdentity Identity;
    bool IdentityKnown;
    bool ThroughLink;
    bool Outside;  // reached through a link that leads out of the tree being walked
    // The subfolders the search for files met, kept so that the search of
    // the subfolders need not list the folder a second time: one record
    // after another, two units of attributes and the name with its
    // terminator. Heap, owned, reused by the siblings of this depth.
    wchar_t* Subfolders;
    size_t SubfolderUnits, SubfolderCapacity;
    bool SubfoldersKept;  // every subfolder is in the records
};

Level* NewLevel() {
    Level* level = static_cast<Level*>(std::malloc(sizeof(Level)));
    if (level) {
        level->Deeper = nullptr;
        level->Identity = FolderIdentity{};
        level->IdentityKnown = level->ThroughLink = level->Outside = false;
        level->Subfolders = nullptr;
        level->SubfolderUnits = level->SubfolderCapacity = 0;
        level->SubfoldersKept = false;
    }
    return level;
}

// Frees the chain of levels of one walk, whichever way the walk ended.
struct LevelChain {
    Level* First = nullptr;
    LevelChain() = default;
    LevelChain(const LevelChain&) = delete;
    LevelChain& operator=(const LevelChain&) = delete;
    ~LevelChain() {
        while (First) {
            Level* next = First->Deeper;
            std::free(First->Identity.Path);
            std::free(First->Subfolders);
            std::free(First);
            First = next;
        }
    }
};

// Closes its directory search exactly once, also when -3 cuts the walk short.
struct FindHandle {
    HANDLE h = INVALID_HANDLE_VALUE;
    FindHandle() = default;
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    ~FindHandle() {
        if (h != INVALID_HANDLE_VALUE) FindClose(h);
    }
};

// The folders outside the tree being walked that a link led into. Inside the
// tree a file is dumped once for every path to it; but a link out of it (to
// the root, say) leads into trees whose own links (/proc and /sys under
// Wine) make the number of paths explode, so out there each folder is
// searched once per walk: a way into it that would select nothing the
// earlier ones did not is skipped, and any other searches only what they
// left out.
struct OutsideFolders {
    struct Slot {
        FolderIdentity Identity;  // owns its path
        DepthSpan Searched;
        bool Used;
    };
    Slot* Slots = nullptr;
    size_t Capacity = 0;  // a power of two
    size_t Count = 0;
    wchar_t* Top = nullptr;  // the top folder's final path and "\"; found when first needed
    size_t TopLength = 0;
    bool TopAsked = false;

    OutsideFolders() = default;
    OutsideFolders(const OutsideFolders&) = delete;
    OutsideFolders& operator=(const OutsideFolders&) = delete;
    ~OutsideFolders() {
        for (size_t i = 0; i < Capacity; ++i) std::free(Slots[i].Identity.Path);
        std::free(Slots);
        std::free(Top);
    }

    static size_t Hash(const FolderIdentity& id) {
        uint64_t h = (id.IdHigh * 0xC2B2AE3D27D4EB4Full) ^ id.IdLow ^ (id.Volume * 0x9E3779B97F4A7C15ull);
        if (id.Volume == 0 && id.Path)
            for (const wchar_t* p = id.Path; *p; ++p) h = (h ^ static_cast<uint16_t>(*p)) * 0x100000001B3ull;
        return static_cast<size_t>(h ^ (h >> 29));
    }
    static Slot* Find(Slot* slots, size_t capacity, const FolderIdentity& id) {
        for (size_t i = Hash(id) & (capacity - 1);; i = (i + 1) & (capacity - 1))
            if (!slots[i].Used || SameFolder(slots[i].Identity, id)) return &slots[i];
    }
    // The slot of the folder, new (unused) when it was not searched yet;
    // null without memory to remember it.
    Slot* Lookup(const FolderIdentity& id) {
        if (2 * (Count + 1) > Capacity) {
            const size_t capacity = Capacity ? 2 * Capacity : 256;
            Slot* slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
            if (!slots) return nullptr;
            for (size_t i = 0; i < Capacity; ++i)
                if (Slots[i].Used) *Find(slots, capacity, Slots[i].Identity) = Slots[i];
            std::free(Slots);
            Slots = slots;
            Capacity = capacity;
        }
        return Find(Slots, Capacity, id);
    }
    // False when the searches of the folder so far selected all that one
    // with wanted would. Otherwise wanted becomes what they left out (all of
    // it when they left out levels on both sides), and the folder counts as
    // searched that far. Without memory to remember it, it counts as new.
    bool Add(const FolderIdentity& id, DepthSpan* wanted) {
        Slot* slot = Lookup(id);
        if (!slot) return true;
        if (!slot->Used) {
            FolderIdentity copy = id;
            if (id.Path) {
                const size_t bytes = (wcslen(id.Path) + 1) * sizeof(wchar_t);
                copy.Path = static_cast<wchar_t*>(std::malloc(bytes));
                if (!copy.Path) return true;
                std::memcpy(copy.Path, id.Path, bytes);
            }
            *slot = Slot{copy, *wanted, true};
            ++Count;
            return true;
        }
        DepthSpan& done = slot->Searched;
        const DepthSpan whole = *wanted;
        const int64_t first = whole.Min, last = whole.Last();
        if (whole.Empty() || (!done.Empty() && done.Min <= first && last <= done.Last())) return false;
        if (done.Empty()) {
            done = whole;
            return true;
        }
        // Only deeper levels are new (done ends above last, so it has an end).
        if (first >= done.Min)
            wanted->Min = static_cast<int32_t>(std::min<int64_t>(std::max<int64_t>(first, done.Last() + 1), INT32_MAX));
        // Only shallower ones.
        else if (last <= done.Last())
            wanted->Max = static_cast<int32_t>(std::min<int64_t>(last, done.Min - 1));
        // Spans that meet become one; otherwise the one held stays.
        if (first - 1 <= done.Last() && done.Min - 1 <= last)
            done = DepthSpan{std::min(done.Min, whole.Min), last > done.Last() ? whole.Max : done.Max};
        return true;
    }
};

// What stays the same on every level of one walk.
struct Walk {
    uint32_t CallbackFlags;
    void* CallbackData;
    FileCallback Callback;
    uint32_t AttributeMask;
    uint32_t AttributeValue;
    Range* Ranges;
    int ExceptionResult;
    Level* Top;  // the first level: the path down starts there
    OutsideFolders* Outside;
    ChosenFiles* Chosen;
};

// The outcome of one level so far.
struct LevelState {
    int Result = 0;
    bool Matched = false;
    bool ErrorReported = false;
};

bool IsDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// Copies first and second (either may be null) into out when both fit.
bool Concatenate(wchar_t* out, const wchar_t* first, size_t firstLength, const wchar_t* second) {
    size_t secondLength = second ? wcslen(second) : 0;
    if (firstLength + secondLength >= PathCapacity) return false;
    if (out != first) std::memcpy(out, first, firstLength * sizeof(wchar_t));
    if (secondLength) std::memcpy(out + firstLength, second, secondLength * sizeof(wchar_t));
    out[firstLength + secondLength] = 0;
    return true;
}

// Kept out of line: its message buffer must not sit in the frames of the recursion.
__attribute__((noinline)) void ReportMatchError(const wchar_t* spec, DWORD error) {
    wchar_t text[1024];
    SystemErrorText(static_cast<int>(error), text);
    ReportError(L"Error matching \"%s\" :\r\n   %s\r\n", spec, text);
}

// Special names passed straight to the callback, tested in this order around
// the list-file test: "clip:", an address, then (after "@") "-".
bool IsClipboardOrAddress(const wchar_t* spec, uint32_t flags) {
    if ((flags & FH_PASS_CLIPBOARD) && _wcsicmp(spec, L"clip:") == 0) return true;
    return (flags & FH_PASS_URLS) && QueryIsURL(spec) != 0;
}

bool IsStandardInput(const wchar_t* spec, uint32_t flags) {
    return (flags & FH_PASS_STDIN) && wcscmp(spec, L"-") == 0;
}

// Any failure of a special name is -1; only an exception keeps its own
// result, and a break keeps its own where keepBreak says so.
int PassThrough(const wchar_t* spec, uint32_t callbackFlags, void* callbackData, FileCallback callback,
                int exceptionResult, bool keepBreak = false) {
    bool threw = false;
    int result = CallFileCallback(callback, spec, callbackFlags, callbackData, exceptionResult, &threw);
    if (threw) return exceptionResult;
    if (keepBreak && result == -3) return -3;
    return result != 0 ? -1 : 0;
}

// "@name" reads a list unless a file carries the whole argument or the last
// component holds wildcards: then it is an ordinary name or pattern.
bool IsListArgument(const wchar_t* spec, uint32_t flags) {
    if (!(flags & FH_LIST_FILES) || spec[0] != L'@' || spec[1] == 0) return false;
    int wildcards = 0;
    for (const wchar_t* p = spec; *p; ++p) {
        if (IsPathSeparator(*p))
            wildcards = 0;
        else if (*p == L'*' || *p == L'?')
            ++wildcards;
    }
    return wildcards == 0 && !QueryIsFile(spec) && QueryIsFile(spec + 1);
}

// Fills the level's file spec, directory and pattern. False when the
// file spec cannot be resolved (it does not fit 32767 characters).
bool PrepareLevel(Level* level, const wchar_t* fileSpec, uint32_t* flags) {
    if (*flags & FH_RESOLVED) {
        if (!Concatenate(level->Spec, fileSpec, wcslen(fileSpec), nullptr)) return false;
    } else {
        uint32_t mode = RESOLVE_HOME;
        if (*flags & FH_ALTERNATIVES) mode |= RESOLVE_ALTERNATIVES;
        if (ResolvePath(fileSpec, level->Spec, mode) != 0 || level->Spec[0] == 0) return false;
        *flags |= FH_RESOLVED;
    }
    const wchar_t* spec = level->Spec;
    size_t split = 0;
    for (size_t i = 0; spec[i]; ++i)
        if (IsPathSeparator(spec[i])) split = i + 1;
    if (split == 0) {
        const wchar_t* colon = wcschr(spec, L':');
        if (colon) split = static_cast<size_t>(colon - spec) + 1;
    }
    std::memcpy(level->Directory, spec, split * sizeof(wchar_t));
    level->Directory[split] = 0;
    wcscpy(level->Pattern, spec + split);
    LongPathPrefix(level->Directory);
    return true;
}

// Starts the search of the level's directory with "*"; the system's own
// matching is never used, MatchPattern decides.
bool StartSearch(Level* level, FindHandle* find, DWORD* error) {
    if (!Concatenate(level->Scratch, level->Directory, wcslen(level->Directory), L"*")) {
        *error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    // A directory just short of the limit still makes a search text beyond it.
    LongPathPrefix(level->Scratch);
    find->h = FindFirstFileExW(level->Scratch, FindExInfoBasic, &level->Entry, FindExSearchNameMatch, nullptr,
                               FIND_FIRST_EX_LARGE_FETCH);
    if (find->h == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    return true;
}

// Passes the chosen files on to the callback, in order. Returns -3 when the
// walk stops, else 0.
int PassChosen(const Walk& walk, LevelState* state) {
    ChosenFiles& chosen = *walk.Chosen;
    for (size_t i = 0; i < chosen.Count; ++i) {
        // The dump clears a break when it starts an input: one seen here
        // came after this walk passed a file on, and ends the walk.
        if (chosen.PassedOn && BreakRequested) {
            chosen.Clear();
            return -3;
        }
        chosen.PassedOn = true;
        int result = CallFileCallback(walk.Callback, chosen.Name(i), walk.CallbackFlags, walk.CallbackData,
                                      walk.ExceptionResult, nullptr);
        if (result == -3) {
            chosen.Clear();
            return -3;
        }
        if (result != 0) state->Result = result;
    }
    chosen.Clear();
    return 0;
}

bool IsSearchedSubdirectory(const WIN32_FIND_DATAW& entry, uint32_t flags) {
    const DWORD attributes = entry.dwFileAttributes;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    if (attributes & (FILE_ATTRIBUTE_VIRTUAL | FILE_ATTRIBUTE_DEVICE)) return false;
    if (IsDotEntry(entry.cFileName)) return false;
    if ((flags & FH_SKIP_JUNCTIONS) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    if ((flags & FH_SKIP_HIDDEN_DIRS) && (attributes & FILE_ATTRIBUTE_HIDDEN)) return false;
    if ((flags & FH_SKIP_SYSTEM_DIRS) && (attributes & FILE_ATTRIBUTE_SYSTEM)) return false;
    return true;
}

// Adds the entry to the level's subfolder records; false when they would
// outgrow MaxSubfolderUnits or no memory is left.
bool KeepSubfolder(Level* level, const WIN32_FIND_DATAW& entry) {
    const size_t units = 2 + wcslen(entry.cFileName) + 1;
    const size_t needed = level->SubfolderUnits + units;
    if (needed > level->SubfolderCapacity) {
        if (needed > MaxSubfolderUnits) return false;
        const size_t capacity = std::min(std::max(level->SubfolderCapacity * 2, needed + 1024), MaxSubfolderUnits);
        wchar_t* grown = static_cast<wchar_t*>(std::realloc(level->Subfolders, capacity * sizeof(wchar_t)));
        if (!grown) return false;
        level->Subfolders = grown;
        level->SubfolderCapacity = capacity;
    }
    wchar_t* record = level->Subfolders + level->SubfolderUnits;
    std::memcpy(record, &entry.dwFileAttributes, 2 * sizeof(wchar_t));
    std::memcpy(record + 2, entry.cFileName, (units - 2) * sizeof(wchar_t));
    level->SubfolderUnits += units;
    return true;
}

// Step of one level: the files of its directory, chosen; the caller passes
// the last of them on (see HandleLevel). With keepSubfolders the subfolders
// met on the way are kept for the next step. Returns -3 when the walk stops, 1
// when the directory could not be searched, else 0.
int MatchFiles(const Walk& walk, Level* level, uint32_t flags, bool keepSubfolders, LevelState* state) {
    FindHandle find;
    DWORD error = 0;
    if (!StartSearch(level, &find, &error)) {
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_ACCESS_DENIED) return 0;
        ReportMatchError(level->Spec, PathError(error, level->Directory));
        state->Result = -1;
        state->ErrorReported = true;
        return 1;
    }
    const bool alternatives = (flags & FH_ALTERNATIVES) != 0;
    const uint32_t wanted = walk.AttributeMask & walk.AttributeValue;
    const size_t directoryLength = wcslen(level->Directory);
    const WIN32_FIND_DATAW& entry = level->Entry;
    level->SubfolderUnits = 0;
    level->SubfoldersKept = false;
    bool kept = keepSubfolders;
    do {
        if (kept && IsSearchedSubdirectory(entry, flags)) kept = KeepSubfolder(level, entry);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) continue;
        if (entry.ftCreationTime.dwLowDateTime == 0 && entry.ftCreationTime.dwHighDateTime == 0 &&
            entry.ftLastWriteTime.dwLowDateTime == 0 && entry.ftLastWriteTime.dwHighDateTime == 0)
            continue;
        if (!(flags & FH_MATCH_DOTS) && IsDotEntry(entry.cFileName)) continue;
        if (MatchPattern(level->Pattern, entry.cFileName, alternatives) != 0) continue;
        if ((entry.dwFileAttributes & walk.AttributeMask) != wanted) continue;
        if (MatchRanges(&entry, level->Directory, walk.Ranges) != 0) continue;
        state->Matched = true;
        // A name the system could not hold anyway cannot be passed on.
        if (!Concatenate(level->Scratch, level->Directory, directoryLength, entry.cFileName)) continue;
        LongPathPrefix(level->Scratch);
        const uint64_t size = static_cast<uint64_t>(entry.nFileSizeHigh) << 32 | entry.nFileSizeLow;
        if (!walk.Chosen->Add(level->Scratch, size)) {
            if (PassChosen(walk, state) == -3) return -3;
            walk.Chosen->Add(level->Scratch, size);
        }
    } while (FindNextFileW(find.h, &level->Entry));
    level->SubfoldersKept = kept && GetLastError() == ERROR_NO_MORE_FILES;
    return 0;
}

int HandleLevel(const Walk& walk, Level* level, const wchar_t* fileSpec, uint32_t flags, int32_t minDepth,
                int32_t maxDepth, bool* matched);

// Opening a folder to tell it apart is not recursive: one buffer serves.
wchar_t IdentityPath[PathCapacity];

// Opens the folder path names ("" and "C:" are current folders) to ask
// about it, or gives INVALID_HANDLE_VALUE.
HANDLE OpenFolder(const wchar_t* path) {
    size_t length = wcslen(path);
    const bool current = length == 0 || path[length - 1] == L':';
    if (!Concatenate(IdentityPath, path, length, current ? L"." : nullptr)) return INVALID_HANDLE_VALUE;
    LongPathPrefix(IdentityPath);
    return CreateFileW(IdentityPath, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Closes the folder opened to ask about it.
struct OpenedFolder {
    HANDLE h;
    explicit OpenedFolder(const wchar_t* path) : h(OpenFolder(path)) {}
    OpenedFolder(const OpenedFolder&) = delete;
    OpenedFolder& operator=(const OpenedFolder&) = delete;
    ~OpenedFolder() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

// The open folder's final path (links followed) in a heap block, with room
// for a "\" more; null when it cannot be found.
wchar_t* FinalPath(HANDLE folder, size_t* length) {
    if (folder == INVALID_HANDLE_VALUE) return nullptr;
    wchar_t* text = static_cast<wchar_t*>(std::malloc(PathCapacity * sizeof(wchar_t)));
    DWORD n = text ? GetFinalPathNameByHandleW(folder, text, PathCapacity - 1, FILE_NAME_NORMALIZED) : 0;
    if (n == 0 || n >= PathCapacity - 1) {
        std::free(text);
        return nullptr;
    }
    *length = n;
    return text;
}

wchar_t* FinalPath(const wchar_t* path, size_t* length) {
    OpenedFolder folder(path);
    return FinalPath(folder.h, length);
}

// Whether the link folder path names leads out of the tree being walked.
// When either final path cannot be found it counts as out: searched once.
bool LeadsOutside(const Walk& walk, const wchar_t* path) {
    OutsideFolders& outside = *walk.Outside;
    if (!outside.TopAsked) {
        outside.TopAsked = true;
        outside.Top = FinalPath(walk.Top->Directory, &outside.TopLength);
        if (outside.Top && outside.Top[outside.TopLength - 1] != L'\\') {
            outside.Top[outside.TopLength++] = L'\\';
            outside.Top[outside.TopLength] = 0;
        }
    }
    if (!outside.Top) return true;
    size_t length = 0;
    wchar_t* target = FinalPath(path, &length);
    if (!target) return true;
    target[length++] = L'\\';
    target[length] = 0;
    const bool inside = length >= outside.TopLength &&
                        CompareStringOrdinal(target, static_cast<int>(outside.TopLength), outside.Top,
                                             static_cast<int>(outside.TopLength), TRUE) == CSTR_EQUAL;
    std::free(target);
    return !inside;
}

// The identity of the folder path names. False when it cannot be told (the
// folder cannot be opened, or on a volume without a serial its final path
// cannot be found): such a folder is never taken for another, and followed.
bool FindIdentity(const wchar_t* path, FolderIdentity* into) {
    std::free(into->Path);
    *into = FolderIdentity{};
    OpenedFolder folder(path);
    if (folder.h == INVALID_HANDLE_VALUE) return false;
    FILE_ID_INFO id;
    if (GetFileInformationByHandleEx(folder.h, FileIdInfo, &id, sizeof id)) {
        into->Volume = id.VolumeSerialNumber;
        std::memcpy(&into->IdLow, id.FileId.Identifier, sizeof into->IdLow);
        std::memcpy(&into->IdHigh, id.FileId.Identifier + sizeof into->IdLow, sizeof into->IdHigh);
    } else {
        // Systems before the 128-bit ids.
        BY_HANDLE_FILE_INFORMATION info;
        if (!GetFileInformationByHandle(folder.h, &info)) return false;
        into->Volume = info.dwVolumeSerialNumber;
        into->IdLow = static_cast<uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow;
    }
    if (into->Volume != 0) return true;
    size_t length = 0;
    into->Path = FinalPath(folder.h, &length);
    return into->Path != nullptr;
}

// True when the folder of child is one of the levels from the top down to
// level: entering it would walk in a circle. Each level's own identity is
// found once, when first needed.
bool IsOnPath(const Walk& walk, Level* level, const Level& child) {
    for (Level* above = walk.Top;; above = above->Deeper) {
        if (!above->IdentityKnown) above->IdentityKnown = FindIdentity(above->Directory, &above->Identity);
        if (above->IdentityKnown && SameFolder(above->Identity, child.Identity)) return true;
        if (above == level) return false;
    }
}

// Step of one level: the same pattern in every subdirectory, taken from the
// records the search for files kept, or from a search of its own. One loop
// for both: a deep walk has a frame of this on the stack for every level.
// Returns -3 when the walk stops, else 0.
int SearchSubdirectories(const Walk& walk, Level* level, uint32_t flags, int32_t minDepth, int32_t maxDepth,
                         LevelState* state) {
    FindHandle find;
    DWORD error = 0;
    const bool kept = level->SubfoldersKept;
    if (!kept && !StartSearch(level, &find, &error)) return 0;
    const uint32_t childFlags = flags | FH_QUIET | FH_RESOLVED;
    // 0 stays 0, and -1 (no limit) stays -1.
    const DepthSpan childSpan{minDepth > 0 ? minDepth - 1 : minDepth, maxDepth > 0 ? maxDepth - 1 : maxDepth};
    const size_t directoryLength = wcslen(level->Directory);
    // The deeper levels keep records of their own: these stay put while the
    // walk is below.
    size_t next = 0;
    for (bool first = true;; first = false) {
        const wchar_t* name;
        DWORD attributes;
        if (kept) {
            if (next >= level->SubfolderUnits) break;
            const wchar_t* record = level->Subfolders + next;
            std::memcpy(&attributes, record, sizeof attributes);
            name = record + 2;
            next += 2 + wcslen(name) + 1;
        } else {
            if (!first && !FindNextFileW(find.h, &level->Entry)) break;
            if (!IsSearchedSubdirectory(level->Entry, flags)) continue;
            name = level->Entry.cFileName;
            attributes = level->Entry.dwFileAttributes;
        }
        // This folder's files go before anything of its subfolders.
        if (PassChosen(walk, state) == -3) return -3;
        size_t nameLength = wcslen(name);
        size_t patternLength = wcslen(level->Pattern);
        if (directoryLength + nameLength + 1 + patternLength >= PathCapacity) {
            ReportMatchError(level->Spec, ERROR_FILENAME_EXCED_RANGE);
            state->Result = -1;
            state->ErrorReported = true;
            continue;
        }
        wchar_t* p = level->Scratch;
        std::memcpy(p, level->Directory, directoryLength * sizeof(wchar_t));
        p += directoryLength;
        std::memcpy(p, name, nameLength * sizeof(wchar_t));
        p += nameLength;
        *p++ = L'\\';
        std::memcpy(p, level->Pattern, (patternLength + 1) * sizeof(wchar_t));

        if (!level->Deeper) level->Deeper = NewLevel();
        if (!level->Deeper) {
            ReportMatchError(level->Spec, ERROR_NOT_ENOUGH_MEMORY);
            state->Result = -1;
            state->ErrorReported = true;
            return 0;
        }
        // A folder already on the path down (a link or junction back to it)
        // is skipped: the walk would never end. Without a link on the way
        // the tree has no circles, and no folder needs to be opened.
        Level* child = level->Deeper;
        child->ThroughLink = level->ThroughLink || (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        child->IdentityKnown = false;
        child->Outside = level->Outside;
        DepthSpan span = childSpan;
        if (child->ThroughLink) {
            level->Scratch[directoryLength + nameLength] = 0;
            child->IdentityKnown = FindIdentity(level->Scratch, &child->Identity);
            if (child->IdentityKnown && IsOnPath(walk, level, *child)) {
                ReportError(L"File system loop, not searched: \"%s\"\r\n", level->Scratch);
                continue;
            }
            if (!child->Outside && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                child->Outside = LeadsOutside(walk, level->Scratch);
            if (child->Outside && child->IdentityKnown && !walk.Outside->Add(child->Identity, &span)) {
                ReportError(L"Searched already, not searched again: \"%s\"\r\n", level->Scratch);
                continue;
            }
            level->Scratch[directoryLength + nameLength] = L'\\';
        }
        bool childMatched = false;
        int result = HandleLevel(walk, level->Deeper, level->Scratch, childFlags, span.Min, span.Max, &childMatched);
        if (result == -3) return -3;
        if (childMatched) {
            // Files were found below: their failures count here too.
            state->Matched = true;
            if (result != 0) state->Result = result;
        } else if (result < 0) {
            state->Result = result;
        }
    }
    return 0;
}

int HandleLevel(const Walk& walk, Level* level, const wchar_t* fileSpec, uint32_t flags, int32_t minDepth,
                int32_t maxDepth, bool* matched) {
    if (!PrepareLevel(level, fileSpec, &flags)) {
        if (!(flags & FH_QUIET)) ReportError(L"No matching files: \"%s\"\r\n", fileSpec);
        return 1;
    }
    LevelState state;
    const bool recurse = (flags & FH_RECURSE) && maxDepth != 0;
    const bool dirsFirst = (flags & FH_DIRS_FIRST) != 0;
    bool searchFailed = false;
    if (recurse && dirsFirst && SearchSubdirectories(walk, level, flags, minDepth, maxDepth, &state) == -3)
        return -3;
    level->SubfoldersKept = false;
    if (minDepth == 0) {
        int step = MatchFiles(walk, level, flags, recurse && !dirsFirst, &state);
        if (step == -3) return -3;
        searchFailed = step != 0;
    }
    // The files chosen last are passed on once the first subfolder is
    // found (kept by the search for files, or searched for): the read-ahead
    // reads them meanwhile.
    if (recurse && !dirsFirst && !searchFailed &&
        SearchSubdirectories(walk, level, flags, minDepth, maxDepth, &state) == -3)
        return -3;
    if (PassChosen(walk, &state) == -3) return -3;

    if (state.Matched) {
        *matched = true;
        return state.Result;
    }
    if (!(flags & FH_QUIET) && !state.ErrorReported) ReportError(L"No matching files: \"%s\"\r\n", level->Spec);
    return state.Result != 0 ? state.Result : 1;
}

// The report is written straight to the console, whatever standard output
// and standard error are redirected to. Static: it may run deep in a walk.
wchar_t ReportText[PathCapacity + 128];

void ReportCallbackException(const wchar_t* fileName, uint32_t callbackFlags, int result) {
    int restore = 7;
    HANDLE console = CreateFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 0, nullptr);
    if (console != INVALID_HANDLE_VALUE) {
        CONSOLE_SCREEN_BUFFER_INFO info;
        if (GetConsoleScreenBufferInfo(console, &info)) {
            restore = info.wAttributes & 0xFF;
            SetConsoleTextAttribute(console, static_cast<WORD>(ExceptionReportAttribute(restore)));
        }
        CloseHandle(console);
    }
    FormatText(ReportText, sizeof ReportText / sizeof ReportText[0],
               L"\n\u2022  EXCEPTION in FileHandler():   Filename = \"%s\"   Flags = 0x%04X\n",
               fileName ? fileName : L"<NULL>", callbackFlags);
    _cputws(ReportText);
    FormatText(ReportText, sizeof ReportText / sizeof ReportText[0], L"   RETURNING :  %d\n\n", result);
    _cputws(ReportText);
    console = CreateFileW(L"conout$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                          nullptr);
    if (console != INVALID_HANDLE_VALUE) {
        SetConsoleTextAttribute(console, static_cast<WORD>(restore));
        CloseHandle(console);
    }
}

}  // namespace

int ExceptionReportAttribute(int attribute) {
    const int foreground = attribute & 0xF;
    const int background = (attribute >> 4) & 0xF;
    if (foreground == background) return 0x0F;
    if (foreground != 0 && !(foreground & 8) && !(background & 8)) return attribute | 8;
    int contrast = PrimaryContrast[background];
    return contrast == attribute ? SecondaryContrast[background] : contrast;
}

int CallFileCallback(FileCallback callback, const wchar_t* fileName, uint32_t callbackFlags, void* callbackData,
                     int exceptionResult, bool* threw) {
    if (threw) *threw = false;
    // The library's only exception handler: a callback that throws must not
    // take the walk and the host down with it.
    try {
        return callback(fileName, callbackFlags, callbackData);
    } catch (...) {
        ReportCallbackException(fileName, callbackFlags, exceptionResult);
        if (threw) *threw = true;
        return exceptionResult;
    }
}

int FileHandler(const wchar_t* fileSpec, uint32_t callbackFlags, void* callbackData, FileCallback callback,
                uint32_t handlerFlags, uint32_t attributeMask, uint32_t attributeValue, Range* ranges,
                int32_t minDepth, int32_t maxDepth) {
    if (!fileSpec || !fileSpec[0] || !callback) return -1;
    const int exceptionResult = ExceptionResult(handlerFlags);

    // Ctrl-C during a long download must stop the run, not just that address.
    if (IsClipboardOrAddress(fileSpec, handlerFlags))
        return PassThrough(fileSpec, callbackFlags, callbackData, callback, exceptionResult,
                           _wcsicmp(fileSpec, L"clip:") != 0);
    if (IsListArgument(fileSpec, handlerFlags))
        return ReadListFile(fileSpec + 1, callbackFlags, callbackData, callback, handlerFlags);
    if (IsStandardInput(fileSpec, handlerFlags))
        return PassThrough(fileSpec, callbackFlags, callbackData, callback, exceptionResult);

    LevelChain chain;
    chain.First = NewLevel();
    std::unique_ptr<ChosenFiles> chosen(new (std::nothrow) ChosenFiles);
    if (!chain.First || !chosen) {
        ReportMatchError(fileSpec, ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    OutsideFolders outside;
    const Walk walk{callbackFlags, callbackData, callback, attributeMask, attributeValue, ranges, exceptionResult,
                    chain.First, &outside, chosen.get()};
    bool matched = false;
    const int result = HandleLevel(walk, chain.First, fileSpec, handlerFlags, minDepth, maxDepth, &matched);
    // A break after the last file passed on must not wait for the next argument.
    return chosen->PassedOn && BreakRequested ? -3 : result;
}

int MatchPattern(const wchar_t* pattern, const wchar_t* name, bool alternatives) {
    if (!pattern || !name) return -2;
    if (!alternatives || !wcschr(pattern, L'|')) {
        if (alternatives && !pattern[0]) return -2;
        return WildcardComparison(pattern, name, 1, 1);
    }
    static wchar_t alternative[PathCapacity];
    int result = -2;
    const wchar_t* start = pattern;
    for (;;) {
        const wchar_t* bar = wcschr(start, L'|');
        size_t length = bar ? static_cast<size_t>(bar - start) : wcslen(start);
        if (length > 0) {
            if (length > PathCapacity - 1) length = PathCapacity - 1;
            std::memcpy(alternative, start, length * sizeof(wchar_t));
            alternative[length] = 0;
            result = WildcardComparison(alternative, name, 1, 1);
            if (result == 0) return 0;
        }
        if (!bar) return result;
        start = bar + 1;
    }
}

int LongPathPrefix(wchar_t* name) {
    if (!name || !name[0]) return -1;
    if (name[0] == L'\\' && name[1] == L'\\') return 0;
    size_t length = wcslen(name);
    if (length < MAX_PATH) return 0;
    size_t directoryLength = 0;
    for (size_t i = 0; i < length; ++i)
        if (IsPathSeparator(name[i])) directoryLength = i + 1;
    if (directoryLength == 1) directoryLength = 0;
    if (directoryLength + 12 <= MAX_PATH) return 0;
    if (length + 4 >= PathCapacity) return -1;  // no room for the prefix
    std::memmove(name + 4, name, (length + 1) * sizeof(wchar_t));
    std::memcpy(name, L"\\\\?\\", 4 * sizeof(wchar_t));
    return 1;
}

void TrimWhiteSpace(wchar_t* text) {
    if (!text) return;
    size_t length = wcslen(text);
    while (length > 0 && iswspace(text[length - 1])) --length;
    text[length] = 0;
    size_t start = 0;
    while (start < length && iswspace(text[start])) ++start;
    if (start) std::memmove(text, text + start, (length - start + 1) * sizeof(wchar_t));
}

int SystemErrorText(int code, wchar_t* buffer) {
    if (!buffer) return -1;
    const DWORD capacity = 1024;
    if (code == -1) {
        wcscpy(buffer, L"Unknown error");
        return 0;
    }
    // From the system, no inserts, no line breaks.
    DWORD length = FormatMessageW(0x12FF, nullptr, static_cast<DWORD>(code), 0, buffer, capacity, nullptr);
    if (length == 0 || length >= capacity) FormatText(buffer, capacity, L"Error %d", code);
    length = static_cast<DWORD>(wcslen(buffer));
    while (length > 0 && iswspace(buffer[length - 1])) --length;
    buffer[length] = 0;
    return 0;
}
