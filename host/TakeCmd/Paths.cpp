// File-system queries of the stand-in host: addresses, existence and true names.
#include "plugin/HostServices.h"
#include "HostInternal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

namespace host {
namespace {

constexpr size_t PathCapacity = 32768;  // 32767 characters and the terminator

struct PathBuffer {
    wchar_t* data = static_cast<wchar_t*>(malloc(PathCapacity * sizeof(wchar_t)));
    PathBuffer() {
        if (data) data[0] = L'\0';
    }
    ~PathBuffer() { free(data); }
    PathBuffer(const PathBuffer&) = delete;
    PathBuffer& operator=(const PathBuffer&) = delete;
};

bool StartsWith(const wchar_t* s, const wchar_t* prefix) {
    return wcsncmp(s, prefix, wcslen(prefix)) == 0;
}

bool IsLetter(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
}

// Attributes of a name, retried through the long-path form when the plain name
// is too long for the classic limit.
DWORD Attributes(const wchar_t* name) {
    if (!name || !*name) return INVALID_FILE_ATTRIBUTES;
    DWORD a = GetFileAttributesW(name);
    if (a != INVALID_FILE_ATTRIBUTES || wcslen(name) < MAX_PATH - 12 || StartsWith(name, L"\\\\?\\")) return a;
    PathBuffer full, prefixed;
    if (!full.data || !prefixed.data) return a;
    DWORD n = GetFullPathNameW(name, PathCapacity, full.data, nullptr);
    if (n == 0 || n >= PathCapacity - 8) return a;
    if (full.data[0] == L'\\' && full.data[1] == L'\\') {
        if (full.data[2] == L'.' || full.data[2] == L'?') return a;
        wcscpy(prefixed.data, L"\\\\?\\UNC");
        wcscat(prefixed.data, full.data + 1);
    } else {
        wcscpy(prefixed.data, L"\\\\?\\");
        wcscat(prefixed.data, full.data);
    }
    return GetFileAttributesW(prefixed.data);
}

// Length of the part of a full path that is never corrected: "C:\" or
// "\\server\share\"; 0 for forms not walked at all.
size_t RootLength(const wchar_t* full) {
    if (IsLetter(full[0]) && full[1] == L':') return full[2] == L'\\' ? 3 : 2;
    if (full[0] == L'\\' && full[1] == L'\\' && full[2] != L'.' && full[2] != L'?') {
        const wchar_t* p = full + 2;
        for (int part = 0; part < 2; ++part) {
            while (*p && *p != L'\\') ++p;
            if (*p == L'\\') ++p;
        }
        return static_cast<size_t>(p - full);
    }
    return 0;
}

bool HasWildcards(const wchar_t* s, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (s[i] == L'*' || s[i] == L'?') return true;
    return false;
}

// QueryTrueName's working texts. It runs on the command's thread only, as
// does the folder it keeps below; four 64 KiB blocks from the heap per call
// cost the system calls of mapping them afresh each time.
struct WorkText {
    wchar_t data[PathCapacity];
};
WorkText TrueNamePlain, TrueNameFull, TrueNameFixed, TrueNameQuery;

// The folders of the last true name asked for, as typed and as found, from
// the root down. The dump of a tree asks for the true name of every file,
// folder after folder, and each component costs a directory search; the
// folders of one walk stay as they are. A name shares the longest run of
// leading folders it has with the cached ones, which are then its own.
//
// Each cached folder also keeps a listing of its names, taken at its second
// lookup (a single name never costs a whole listing), or at its first when
// the folder itself was found in its parent's listing, as happens in a walk.
// A name spelt exactly as listed is its own true name; any other spelling is
// searched for, so the listing only ever saves a search. The text is
// compared exactly, so a folder typed in another letter case is looked up
// afresh.
//
// Every folder of the path is kept, however deep: one left out would cost
// each name below it a search per folder beyond, and a deep tree would pay
// that for every one of its files. Kept briefly, so that a folder renamed
// meanwhile shows its new name within a second, or within ten times what
// finding the kept folders took when that is longer: each folder of a deep
// path costs a search whose own cost grows with the depth, and a cache kept
// for less than it takes to fill would be filled again for every name.
constexpr ULONGLONG FolderLifetimeMs = 1000;
constexpr ULONGLONG FillCostsToKeep = 10;
constexpr size_t ListingUnits = size_t{1} << 20;  // the most one listing keeps
constexpr size_t ListedUnitsLimit = 4 * ListingUnits;  // ... and all of them

struct CachedFolder {
    // Where the folder ends, after its separator, in both texts; the root
    // (level 0) ends after "C:\" or "\\server\share\".
    size_t typedEnd = 0, foundEnd = 0;
    // 0 not listed yet, 1 listed, -1 not to be listed (too many names, or
    // the listing failed).
    int listed = 0;
    unsigned lookups = 0;
    bool foundInListing = false;
    // Its names, each with its terminator; lookups go on from the last name
    // found, as a walk asks in the listing's order.
    wchar_t* names = nullptr;
    size_t used = 0, cursor = 0;
};

struct FolderCache {
    wchar_t typed[PathCapacity];
    wchar_t found[PathCapacity];
    CachedFolder* levels = nullptr;  // heap, grown as paths go deeper
    size_t capacity = 0;
    size_t count = 0;      // levels held; 0: nothing cached
    ULONGLONG filled = 0;  // when the root was cached: the oldest part
    ULONGLONG lifetime = FolderLifetimeMs;
    ULONGLONG fillCost = 0;  // milliseconds spent finding the kept folders
    size_t listedUnits = 0;

    FolderCache() = default;
    FolderCache(const FolderCache&) = delete;
    FolderCache& operator=(const FolderCache&) = delete;
    ~FolderCache() {
        for (size_t i = 0; i < count; ++i) free(levels[i].names);
        free(levels);
    }
    // Room for one level more; false without memory.
    bool Room() {
        if (count < capacity) return true;
        const size_t more = capacity ? 2 * capacity : 64;
        auto* grown = static_cast<CachedFolder*>(realloc(levels, more * sizeof(CachedFolder)));
        if (!grown) return false;
        for (size_t i = capacity; i < more; ++i) new (&grown[i]) CachedFolder();
        levels = grown;
        capacity = more;
        return true;
    }
};
FolderCache Folders;
wchar_t* ListingScratch = nullptr;

// Keeps the first count levels, dropping the listings of the others.
void KeepLevels(size_t count) {
    while (Folders.count > count) {
        CachedFolder& level = Folders.levels[--Folders.count];
        Folders.listedUnits -= level.used;
        free(level.names);
        level = CachedFolder();
    }
}

// How many levels, from the root down, the full name (its folder part ends
// at prefix) shares exactly with the cache; 0 when not even the root, or
// when the cache is too old.
size_t SharedLevels(const wchar_t* full, size_t prefix) {
    if (Folders.count == 0 || GetTickCount64() - Folders.filled >= Folders.lifetime) return 0;
    const size_t cachedEnd = Folders.levels[Folders.count - 1].typedEnd;
    const size_t limit = prefix < cachedEnd ? prefix : cachedEnd;
    size_t same = 0;
    while (same < limit && Folders.typed[same] == full[same]) ++same;
    size_t k = Folders.count;
    while (k > 0 && Folders.levels[k - 1].typedEnd > same) --k;
    return k;
}

// "\\?\" or "\\?\UNC" and the folder's found name: the form every search goes through.
bool LongForm(wchar_t* query, const wchar_t* folder, size_t folderLength, const wchar_t* rest, size_t restLength) {
    const bool unc = folder[1] != L':';
    if (8 + folderLength + restLength >= PathCapacity) return false;
    wcscpy(query, unc ? L"\\\\?\\UNC" : L"\\\\?\\");
    wcsncat(query, unc ? folder + 1 : folder, unc ? folderLength - 1 : folderLength);
    wcsncat(query, rest, restLength);
    return true;
}

void ListFolder(CachedFolder& level) {
    level.listed = -1;
    if (!ListingScratch) ListingScratch = static_cast<wchar_t*>(malloc(ListingUnits * sizeof(wchar_t)));
    PathBuffer query;
    if (!ListingScratch || !query.data || !LongForm(query.data, Folders.found, level.foundEnd, L"*", 1)) return;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileExW(query.data, FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) return;
    size_t used = 0;
    bool whole = true;
    do {
        const size_t n = wcslen(entry.cFileName) + 1;
        if (used + n > ListingUnits) {
            whole = false;
            break;
        }
        wmemcpy(ListingScratch + used, entry.cFileName, n);
        used += n;
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    if (!whole || used == 0 || Folders.listedUnits + used > ListedUnitsLimit) return;
    level.names = static_cast<wchar_t*>(malloc(used * sizeof(wchar_t)));
    if (!level.names) return;
    wmemcpy(level.names, ListingScratch, used);
    level.used = used;
    level.cursor = 0;
    level.listed = 1;
    Folders.listedUnits += used;
}

// True when the level's listing holds a name spelt exactly so: its letter
// case is then its true case.
bool ListedExactly(CachedFolder& level, const wchar_t* name, size_t length) {
    if (level.listed == 0 && (level.lookups > 0 || level.foundInListing)) ListFolder(level);
    ++level.lookups;
    if (level.listed != 1) return false;
    size_t at = level.cursor;
    do {
        const size_t n = wcslen(level.names + at);
        if (n == length && wmemcmp(level.names + at, name, length) == 0) {
            level.cursor = at;
            return true;
        }
        at += n + 1;
        if (at >= level.used) at = 0;
    } while (at != level.cursor);
    return false;
}

// The true name of a full path: each existing component takes the letter case
// (and long form) it has on disk; from the first component that is missing or
// holds wildcards on, the rest stays as typed.
bool CorrectCase(const wchar_t* full, wchar_t* out) {
    size_t root = RootLength(full);
    size_t length = wcslen(full);
    if (root == 0) {
        wcscpy(out, full);
        return true;
    }
    memcpy(out, full, root * sizeof(wchar_t));
    out[root] = L'\0';
    if (out[1] == L':') out[0] = FoldCase(out[0]);
    size_t outLength = root;
    WorkText& query = TrueNameQuery;
    bool walking = true;
    // The folder part: everything up to the separator before the last
    // component. A name without one is not cached.
    size_t prefix = 0;
    for (size_t i = root; i + 1 < length; ++i)
        if (full[i] == L'\\') prefix = i + 1;
    bool caching = prefix != 0 && Folders.Room();
    size_t pos = root;
    const ULONGLONG started = GetTickCount64();
    size_t kept = 0;
    if (caching) {
        const size_t shared = SharedLevels(full, prefix);
        KeepLevels(shared);
        if (shared == 0) {
            wmemcpy(Folders.typed, full, root);
            wmemcpy(Folders.found, out, root);
            Folders.levels[0].typedEnd = Folders.levels[0].foundEnd = root;
            Folders.count = 1;
            Folders.filled = started;
            Folders.fillCost = 0;
            Folders.lifetime = FolderLifetimeMs;
        }
        kept = Folders.count;
        const CachedFolder& deepest = Folders.levels[Folders.count - 1];
        outLength = deepest.foundEnd;
        wmemcpy(out, Folders.found, outLength);
        out[outLength] = L'\0';
        pos = deepest.typedEnd;
    }
    while (pos < length) {
        size_t end = pos;
        while (end < length && full[end] != L'\\') ++end;
        const wchar_t* component = full + pos;
        size_t componentLength = end - pos;
        const wchar_t* use = component;
        size_t useLength = componentLength;
        bool listed = false;
        WIN32_FIND_DATAW found;
        if (walking && componentLength > 0 && !HasWildcards(component, componentLength)) {
            if (caching && ListedExactly(Folders.levels[Folders.count - 1], component, componentLength)) {
                listed = true;  // as typed is as found
            } else {
                // The query goes through the long-path form: "\\?\C:\..." or "\\?\UNC\server\...".
                if (!LongForm(query.data, out, outLength, component, componentLength)) return false;
                HANDLE find = FindFirstFileW(query.data, &found);
                if (find != INVALID_HANDLE_VALUE) {
                    FindClose(find);
                    use = found.cFileName;
                    useLength = wcslen(found.cFileName);
                } else {
                    walking = false;
                }
            }
        } else {
            walking = false;
        }
        bool separator = end < length;
        if (outLength + useLength + (separator ? 1 : 0) >= PathCapacity) return false;
        memcpy(out + outLength, use, useLength * sizeof(wchar_t));
        outLength += useLength;
        if (separator) out[outLength++] = L'\\';
        out[outLength] = L'\0';
        const size_t next = separator ? end + 1 : end;
        // A folder found is cached as the next level.
        if (separator && walking && caching) {
            if (!Folders.Room()) {
                caching = false;
            } else {
                const CachedFolder& parent = Folders.levels[Folders.count - 1];
                wmemcpy(Folders.typed + parent.typedEnd, full + pos, next - pos);
                wmemcpy(Folders.found + parent.foundEnd, out + parent.foundEnd, outLength - parent.foundEnd);
                CachedFolder& level = Folders.levels[Folders.count++];
                level.typedEnd = next;
                level.foundEnd = outLength;
                level.foundInListing = listed;
            }
        }
        pos = next;
    }
    if (caching && Folders.count > kept) {
        Folders.fillCost += GetTickCount64() - started;
        Folders.lifetime = std::max(FolderLifetimeMs, FillCostsToKeep * Folders.fillCost);
    }
    return true;
}

}  // namespace
}  // namespace host

extern "C" {

int QueryIsURL(const wchar_t* name) {
    if (!name || !host::IsLetter(name[0])) return 0;
    const wchar_t* p = name + 1;
    while (host::IsLetter(*p) || (*p >= L'0' && *p <= L'9') || *p == L'+' || *p == L'-' || *p == L'.') ++p;
    return p - name >= 2 && wcsncmp(p, L"://", 3) == 0 ? 1 : 0;
}

int QueryIsFile(const wchar_t* name) {
    DWORD a = host::Attributes(name);
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

int QueryIsDirectory(const wchar_t* name) {
    DWORD a = host::Attributes(name);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0;
}

int QueryIsFileOrDirectory(const wchar_t* name) {
    return host::Attributes(name) != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

int QueryTrueName(const wchar_t* name, wchar_t* out) {
    if (!out) return 1;
    out[0] = L'\0';
    if (!name || !*name) return 1;
    size_t nameLength = wcslen(name);
    if (nameLength >= host::PathCapacity) return 1;
    host::WorkText& plain = host::TrueNamePlain;
    host::WorkText& full = host::TrueNameFull;
    host::WorkText& fixed = host::TrueNameFixed;
    // A long-path name keeps its form in the result; it is worked on without
    // the prefix: "\\?\C:\x" as "C:\x", "\\?\UNC\server\x" as "\\server\x".
    const wchar_t* prefix = L"";
    bool unc = false;
    if (host::StartsWith(name, L"\\\\?\\UNC\\")) {
        prefix = L"\\\\?\\UNC";
        unc = true;
        plain.data[0] = L'\\';
        wcscpy(plain.data + 1, name + 7);
    } else if (host::StartsWith(name, L"\\\\?\\")) {
        if (!(host::IsLetter(name[4]) && name[5] == L':')) {
            // Volume and device names are not walked.
            wcscpy(out, name);
            return 0;
        }
        prefix = L"\\\\?\\";
        wcscpy(plain.data, name + 4);
    } else {
        wcscpy(plain.data, name);
    }
    DWORD n = GetFullPathNameW(plain.data, host::PathCapacity, full.data, nullptr);
    if (n == 0 || n >= host::PathCapacity) return 1;
    if (!host::CorrectCase(full.data, fixed.data)) return 1;
    const wchar_t* body = unc ? fixed.data + 1 : fixed.data;  // "\\server" follows "\\?\UNC" as "\server"
    if (wcslen(prefix) + wcslen(body) >= host::PathCapacity) return 1;
    wcscpy(out, prefix);
    wcscat(out, body);
    return 0;
}

}  // extern "C"
