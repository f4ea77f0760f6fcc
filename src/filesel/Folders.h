// Telling folders apart for the walk: a folder's identity, and the folders
// outside the tree being walked that were searched already. Internal to the
// file-selection library.
#pragma once
#include "filesel/FileSelInternal.h"

// What tells one folder from another: the volume's serial number and the
// folder's 128-bit file id. A volume without a serial gives no more than an
// inode number, which folders on other file systems share; such a folder is
// told by its final path as well.
// WINE: every file system that no drive letter stands for has serial 0.
struct FolderIdentity {
    uint64_t Volume;
    uint64_t IdHigh;
    uint64_t IdLow;
    wchar_t* Path;  // heap, owned; only where Volume is 0
};

inline bool SameFolder(const FolderIdentity& a, const FolderIdentity& b) {
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

    // The slot of the folder, new (unused) when it was not searched yet;
    // null without memory to remember it.
    Slot* Lookup(const FolderIdentity& id);
    // False when the searches of the folder so far selected all that one
    // with wanted would. Otherwise wanted becomes what they left out (all of
    // it when they left out levels on both sides), and the folder counts as
    // searched that far. Without memory to remember it, it counts as new.
    bool Add(const FolderIdentity& id, DepthSpan* wanted);
};

// The open folder's final path (links followed) in a heap block, with room
// for a "\" more; null when it cannot be found.
wchar_t* FinalPath(HANDLE folder, size_t* length);
// Whether the link folder path names leads out of the tree whose top folder
// is top. When either final path cannot be found it counts as out.
bool LeadsOutside(OutsideFolders* outside, const wchar_t* top, const wchar_t* path);
// The identity of the folder path names. False when it cannot be told (the
// folder cannot be opened, or on a volume without a serial its final path
// cannot be found): such a folder is never taken for another, and followed.
bool FindIdentity(const wchar_t* path, FolderIdentity* into);
