// The walk: one file argument's folder searched for the files it names,
// then its subfolders level by level under the depth limits, each folder
// told apart so that a link back up is never followed round and round.
#include "filesel/Folders.h"
#include "console/Console.h"
#include "plugin/Plugin.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

size_t MaxSubfolderUnits = 1 << 16;

namespace {

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

// Kept out of line: its message buffer must not sit in the frames of the recursion.
__attribute__((noinline)) void ReportMatchError(const wchar_t* spec, DWORD error) {
    wchar_t text[1024];
    SystemErrorText(static_cast<int>(error), text);
    ReportError(L"Error matching \"%s\" :\r\n   %s\r\n", spec, text);
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
                child->Outside = LeadsOutside(walk.Outside, walk.Top->Directory, level->Scratch);
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

}  // namespace

int WalkFiles(const wchar_t* fileSpec, uint32_t callbackFlags, void* callbackData, FileCallback callback,
              uint32_t handlerFlags, uint32_t attributeMask, uint32_t attributeValue, Range* ranges,
              int32_t minDepth, int32_t maxDepth, int exceptionResult) {
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
