// File descriptions from a folder's description file, descript.ion. A walk
// asks for the files of one folder one after the other, so the last file read
// stays in memory as a table, checked against the file's size and times on
// every lookup (a file changed since is read again). A file larger than the
// cache limit is read through, a line at a time, for every lookup instead:
// any size is read, but only so much is held.
#include "HostApi.h"
#include "HostInternal.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace host {
namespace {

constexpr size_t ChunkBytes = 1 << 20;
// A longer line keeps its first part: room for any name and for more
// description than an expansion holds, so such a line still overflows one.
constexpr size_t LineBytes = 256 << 10;
// No expansion holds more; a longer description is kept this long and so
// still overflows the caller's buffer, as it did when read whole.
constexpr size_t DescriptionUnits = 8192;

uint64_t CacheLimit = 32ull << 20;

// Decodes one line of bytes: UTF-8 when it is valid, the ANSI code page
// otherwise (older description files mix both). Returns the units written.
size_t DecodeLine(const unsigned char* bytes, size_t count, wchar_t* text) {
    if (count == 0) return 0;
    const char* b = reinterpret_cast<const char*>(bytes);
    int n = static_cast<int>(count);
    int units = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, b, n, text, n);
    if (units <= 0) units = MultiByteToWideChar(CP_ACP, 0, b, n, text, n);
    return units > 0 ? static_cast<size_t>(units) : 0;
}

// The reader's buffers, kept for the process. A walk loads the description
// file of every folder, and under Wine blocks this large come from the
// system on every allocation and go back on every free, each page touched
// faulted in afresh. Lookups run on the command's thread, and one reader is
// open at a time.
unsigned char ReaderChunk[ChunkBytes];
unsigned char ReaderBytes[LineBytes];
wchar_t ReaderText[LineBytes];

// Reads a description file a line at a time: UTF-16LE after its byte-order
// mark, otherwise line by line as UTF-8 or ANSI. Memory stays bounded
// whatever the file's size.
struct LineReader {
    HANDLE file = INVALID_HANDLE_VALUE;
    unsigned char* const chunk = ReaderChunk;
    size_t have = 0, at = 0;
    bool started = false, wide = false, end = false, failed = false;
    unsigned char* const bytes = ReaderBytes;  // the current line's bytes, at most LineBytes
    size_t byteCount = 0;
    wchar_t* const text = ReaderText;  // the current line's text
    size_t length = 0;

    LineReader() = default;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader() {
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }

    // False when the file cannot be opened.
    bool Open(const wchar_t* path) {
        file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        return file != INVALID_HANDLE_VALUE;
    }

    bool Fill() {
        if (end) return false;
        DWORD got = 0;
        if (!ReadFile(file, chunk, ChunkBytes, &got, nullptr)) failed = true;
        have = got;
        at = 0;
        if (got == 0) end = true;
        if (!started && got > 0) {
            started = true;
            if (got >= 2 && chunk[0] == 0xFF && chunk[1] == 0xFE) wide = true, at = 2;
            else if (got >= 3 && chunk[0] == 0xEF && chunk[1] == 0xBB && chunk[2] == 0xBF) at = 3;
        }
        return !end;
    }

    void Keep(const unsigned char* from, size_t n) {
        size_t room = LineBytes - byteCount;
        if (n > room) n = room;
        memcpy(bytes + byteCount, from, n);
        byteCount += n;
    }

    // The next line into text/length, its line feed included; false at the
    // end of the file (check failed for a read error).
    bool Next() {
        byteCount = 0;
        bool any = false, done = false;
        size_t total = 0;     // bytes of the line, kept or not
        unsigned char last = 0;
        while (!done && (at < have || Fill())) {
            any = true;
            if (!wide) {
                auto* feed = static_cast<unsigned char*>(memchr(chunk + at, '\n', have - at));
                size_t take = (feed ? static_cast<size_t>(feed - chunk) + 1 : have) - at;
                Keep(chunk + at, take);
                at += take;
                done = feed != nullptr;
                continue;
            }
            // UTF-16LE: a line ends with the unit 0x000A, its bytes at an even
            // and the following odd offset of the line.
            while (at < have && !done) {
                unsigned char b = chunk[at++];
                Keep(&b, 1);
                done = ++total % 2 == 0 && b == 0 && last == '\n';
                last = b;
            }
        }
        if (!any) return false;
        if (wide) {
            length = byteCount / 2;
            memcpy(text, bytes, length * sizeof(wchar_t));
        } else {
            length = DecodeLine(bytes, byteCount, text);
        }
        return true;
    }
};

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// One entry of a line of text: "name description" or "\"quoted name\"
// description". Text after a Ctrl-D belongs to other programs. False for a
// line without a name.
bool ParseEntry(const wchar_t* line, const wchar_t* end, const wchar_t** name, size_t* nameLength,
                const wchar_t** description, size_t* descriptionLength) {
    const wchar_t* p = line;
    if (p < end && *p == L'"') {
        *name = ++p;
        while (p < end && *p != L'"') ++p;
        *nameLength = static_cast<size_t>(p - *name);
        if (p < end) ++p;
    } else {
        *name = p;
        while (p < end && !IsBlank(*p)) ++p;
        *nameLength = static_cast<size_t>(p - *name);
    }
    if (*nameLength == 0) return false;
    while (p < end && IsBlank(*p)) ++p;
    const wchar_t* stop = p;
    while (stop < end && *stop != L'\x04') ++stop;
    while (stop > p && IsBlank(stop[-1])) --stop;
    *description = p;
    *descriptionLength = static_cast<size_t>(stop - p);
    return true;
}

// Calls take(name, nameLength, description, descriptionLength) for each entry
// of the reader's line; a carriage return ends a line as a line feed does.
// Stops when take returns false, and says so.
template <class Take> bool ForEachEntry(const LineReader& reader, Take take) {
    const wchar_t* end = reader.text + reader.length;
    for (const wchar_t* line = reader.text; line < end;) {
        const wchar_t* stop = line;
        while (stop < end && *stop != L'\n' && *stop != L'\r') ++stop;
        const wchar_t *name, *description;
        size_t nameLength, descriptionLength;
        if (ParseEntry(line, stop, &name, &nameLength, &description, &descriptionLength) &&
            !take(name, nameLength, description, descriptionLength))
            return false;
        line = stop < end ? stop + 1 : stop;
    }
    return true;
}

uint32_t HashName(const wchar_t* name, size_t length) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < length; ++i) h = (h ^ FoldCase(name[i])) * 16777619u;
    return h;
}

bool SameName(const wchar_t* a, size_t an, const wchar_t* b, size_t bn) {
    if (an != bn) return false;
    for (size_t i = 0; i < an; ++i)
        if (a[i] != b[i] && FoldCase(a[i]) != FoldCase(b[i])) return false;
    return true;
}

// Grows a heap array to hold at least need elements; false without memory.
template <class T> bool Reserve(T*& data, size_t& capacity, size_t need) {
    if (need <= capacity) return true;
    size_t grown = capacity ? capacity : 1024;
    while (grown < need) grown *= 2;
    T* more = static_cast<T*>(realloc(data, grown * sizeof(T)));
    if (!more) return false;
    data = more;
    capacity = grown;
    return true;
}

// The parsed description file of the last folder asked about.
struct Cache {
    struct Entry {
        size_t name;  // offset in pool; the description follows the name
        uint32_t nameLength, descriptionLength, hash;
    };
    wchar_t* path = nullptr;
    uint64_t size = 0;
    FILETIME written{}, created{};
    wchar_t* pool = nullptr;
    size_t used = 0, poolCapacity = 0;
    Entry* entries = nullptr;
    size_t count = 0, entryCapacity = 0;
    uint32_t* slots = nullptr;  // entry index + 1; 0 is free
    size_t slotCount = 0;

    ~Cache() { Clear(); }

    void Clear() {
        free(path);
        free(pool);
        free(entries);
        free(slots);
        path = nullptr, pool = nullptr, entries = nullptr, slots = nullptr;
        used = poolCapacity = count = entryCapacity = slotCount = 0;
    }

    bool Holds(const wchar_t* file, const WIN32_FILE_ATTRIBUTE_DATA& info) const {
        return path && slots && size == (static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow) &&
               CompareFileTime(&written, &info.ftLastWriteTime) == 0 &&
               CompareFileTime(&created, &info.ftCreationTime) == 0 &&
               CompareStringOrdinal(path, -1, file, -1, TRUE) == CSTR_EQUAL;
    }

    bool Add(const wchar_t* name, size_t nameLength, const wchar_t* description, size_t descriptionLength) {
        if (descriptionLength > DescriptionUnits) descriptionLength = DescriptionUnits;
        if (count >= UINT32_MAX - 1 || !Reserve(entries, entryCapacity, count + 1) ||
            !Reserve(pool, poolCapacity, used + nameLength + descriptionLength))
            return false;
        entries[count++] = {used, static_cast<uint32_t>(nameLength), static_cast<uint32_t>(descriptionLength),
                            HashName(name, nameLength)};
        memcpy(pool + used, name, nameLength * sizeof(wchar_t));
        memcpy(pool + used + nameLength, description, descriptionLength * sizeof(wchar_t));
        used += nameLength + descriptionLength;
        return true;
    }

    const Entry* Find(const wchar_t* name, size_t length, uint32_t hash) const {
        for (size_t s = hash & (slotCount - 1); slots[s]; s = (s + 1) & (slotCount - 1)) {
            const Entry& e = entries[slots[s] - 1];
            if (e.hash == hash && SameName(pool + e.name, e.nameLength, name, length)) return &e;
        }
        return nullptr;
    }

    // The first line that names a file is the one that counts.
    bool Index() {
        slotCount = 16;
        while (slotCount < count * 2) slotCount *= 2;
        slots = static_cast<uint32_t*>(calloc(slotCount, sizeof(uint32_t)));
        if (!slots) return false;
        for (size_t i = 0; i < count; ++i) {
            const Entry& e = entries[i];
            if (Find(pool + e.name, e.nameLength, e.hash)) continue;  // an earlier line named it
            size_t s = e.hash & (slotCount - 1);
            while (slots[s]) s = (s + 1) & (slotCount - 1);
            slots[s] = static_cast<uint32_t>(i + 1);
        }
        return true;
    }

    // Reads the whole file into the table; false (and empty) when it cannot.
    bool Load(const wchar_t* file, const WIN32_FILE_ATTRIBUTE_DATA& info) {
        Clear();
        LineReader reader;
        if (!reader.Open(file)) return false;
        // The text takes no more units than the file has bytes: one block, never moved.
        size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
        bool ok = Reserve(pool, poolCapacity, static_cast<size_t>(size) + 1);
        while (ok && reader.Next())
            ok = ForEachEntry(reader, [this](const wchar_t* n, size_t nl, const wchar_t* d, size_t dl) {
                return Add(n, nl, d, dl);
            });
        size_t pathLength = wcslen(file) + 1;
        path = static_cast<wchar_t*>(malloc(pathLength * sizeof(wchar_t)));
        if (!ok || reader.failed || !path || !Index()) {
            Clear();
            return false;
        }
        memcpy(path, file, pathLength * sizeof(wchar_t));
        written = info.ftLastWriteTime;
        created = info.ftCreationTime;
        return true;
    }
};

Cache TheCache;
wchar_t ReadThroughText[DescriptionUnits];

// The last write time of the folder of a description file; false when the
// folder cannot be asked.
bool FolderWritten(const wchar_t* file, FILETIME* written) {
    const wchar_t* slash = wcsrchr(file, L'\\');
    if (!slash) return false;
    const size_t length = static_cast<size_t>(slash - file) + 1;  // with the "\\": "C:\\" stays a folder
    wchar_t* folder = static_cast<wchar_t*>(malloc((length + 1) * sizeof(wchar_t)));
    if (!folder) return false;
    memcpy(folder, file, length * sizeof(wchar_t));
    folder[length] = 0;
    WIN32_FILE_ATTRIBUTE_DATA info;
    const bool known = GetFileAttributesExW(folder, GetFileExInfoStandard, &info) != 0;
    free(folder);
    if (known) *written = info.ftLastWriteTime;
    return known;
}

// The description file last found missing, and its folder's last write time
// then. Asking for a name that is not there can cost a read of the whole
// folder (under Wine, to rule out every other letter case), so in a large
// folder without a description file each lookup would cost as much as the
// folder is large; creating the file changes the folder's time, which one
// look at the folder tells.
struct Absence {
    wchar_t* path = nullptr;
    FILETIME folderWritten{};

    Absence() = default;
    Absence(const Absence&) = delete;
    Absence& operator=(const Absence&) = delete;
    ~Absence() { free(path); }

    bool Holds(const wchar_t* file) const {
        FILETIME now;
        return path && CompareStringOrdinal(path, -1, file, -1, TRUE) == CSTR_EQUAL && FolderWritten(file, &now) &&
               CompareFileTime(&now, &folderWritten) == 0;
    }
    // The folder's time is taken before the file is looked for again, so a
    // file made in between is either found or leaves a later time.
    void Remember(const wchar_t* file) {
        free(path);
        path = nullptr;
        FILETIME written;
        if (!FolderWritten(file, &written) || GetFileAttributesW(file) != INVALID_FILE_ATTRIBUTES) return;
        const size_t bytes = (wcslen(file) + 1) * sizeof(wchar_t);
        path = static_cast<wchar_t*>(malloc(bytes));
        if (!path) return;
        memcpy(path, file, bytes);
        folderWritten = written;
    }
};

Absence TheAbsence;

// The description from the first line that names the file, reading the file
// to that line; false when the file cannot be read.
bool ReadThrough(const wchar_t* file, const wchar_t* name, const wchar_t** text, size_t* length) {
    LineReader reader;
    if (!reader.Open(file)) return true;  // gone since it was seen: no description
    size_t nameLength = wcslen(name);
    bool found = false;
    while (!found && reader.Next())
        found = !ForEachEntry(reader, [&](const wchar_t* n, size_t nl, const wchar_t* d, size_t dl) {
            if (!SameName(n, nl, name, nameLength)) return true;
            *length = dl < DescriptionUnits ? dl : DescriptionUnits;
            memcpy(ReadThroughText, d, *length * sizeof(wchar_t));
            *text = ReadThroughText;
            return false;
        });
    return found || !reader.failed;
}

}  // namespace

bool FindDescription(const wchar_t* file, const wchar_t* name, const wchar_t** text, size_t* length) {
    *text = L"";
    *length = 0;
    if (TheAbsence.Holds(file)) return true;
    WIN32_FILE_ATTRIBUTE_DATA info;
    if (!GetFileAttributesExW(file, GetFileExInfoStandard, &info)) {
        TheCache.Clear();  // gone: nothing to describe, nothing worth holding
        TheAbsence.Remember(file);
        return true;
    }
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        TheCache.Clear();
        return true;
    }
    uint64_t size = static_cast<uint64_t>(info.nFileSizeHigh) << 32 | info.nFileSizeLow;
    if (!TheCache.Holds(file, info) && !(size <= CacheLimit && TheCache.Load(file, info)))
        return ReadThrough(file, name, text, length);
    size_t nameLength = wcslen(name);
    if (const Cache::Entry* e = TheCache.Find(name, nameLength, HashName(name, nameLength))) {
        *text = TheCache.pool + e->name + e->nameLength;
        *length = e->descriptionLength;
    }
    return true;
}

}  // namespace host

unsigned long long HostLimitDescriptionCache(unsigned long long bytes) {
    unsigned long long previous = host::CacheLimit;
    host::CacheLimit = bytes;
    host::TheCache.Clear();
    return previous;
}
