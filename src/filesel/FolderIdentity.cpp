// What tells folders apart for the walk: volume serial and file id, the
// final path where the volume has no serial, and the folders outside the
// tree that were searched already.
#include "filesel/Folders.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

size_t Hash(const FolderIdentity& id) {
    uint64_t h = (id.IdHigh * 0xC2B2AE3D27D4EB4Full) ^ id.IdLow ^ (id.Volume * 0x9E3779B97F4A7C15ull);
    if (id.Volume == 0 && id.Path)
        for (const wchar_t* p = id.Path; *p; ++p) h = (h ^ static_cast<uint16_t>(*p)) * 0x100000001B3ull;
    return static_cast<size_t>(h ^ (h >> 29));
}
OutsideFolders::Slot* Find(OutsideFolders::Slot* slots, size_t capacity, const FolderIdentity& id) {
    for (size_t i = Hash(id) & (capacity - 1);; i = (i + 1) & (capacity - 1))
        if (!slots[i].Used || SameFolder(slots[i].Identity, id)) return &slots[i];
}

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

}  // namespace

OutsideFolders::Slot* OutsideFolders::Lookup(const FolderIdentity& id) {
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
bool OutsideFolders::Add(const FolderIdentity& id, DepthSpan* wanted) {
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

// The same for the folder path names.
static wchar_t* FinalPath(const wchar_t* path, size_t* length) {
    OpenedFolder folder(path);
    return FinalPath(folder.h, length);
}

bool LeadsOutside(OutsideFolders* folders, const wchar_t* top, const wchar_t* path) {
    OutsideFolders& outside = *folders;
    if (!outside.TopAsked) {
        outside.TopAsked = true;
        outside.Top = FinalPath(top, &outside.TopLength);
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
