// The read guard: a page of an input's view that cannot be read ends the
// innermost guarded read with the in-page error; the process, the guard
// around it and the next read go on.
#include <gtest/gtest.h>
#include <windows.h>
#include "input/Input.h"

namespace {

// Two pages standing in for a view whose second page has gone.
struct HoledView {
    uint8_t* base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY));
    InputSource source{};
    HoledView() {
        DWORD old = 0;
        VirtualProtect(base + 4096, 4096, PAGE_NOACCESS, &old);
        source.Data = base;
        source.Size = 2 * 4096;
        source.MappingHandle = reinterpret_cast<HANDLE>(1);  // marks a view; never used as a handle
    }
    ~HoledView() { VirtualFree(base, 0, MEM_RELEASE); }
};

// A list's guard around the dump of a file it names: each read of the
// file's view at an offset, inside the list's guard.
struct Nested {
    HoledView list, file;
    size_t offset;
    bool fileFaulted;
    int fileResult;
};

int ReadFileByte(void* context) {
    Nested* n = static_cast<Nested*>(context);
    n->fileResult = GuardedRead(
        &n->file.source,
        [](void* c) {
            Nested* m = static_cast<Nested*>(c);
            return static_cast<int>(*static_cast<const volatile uint8_t*>(m->file.base + m->offset));
        },
        n, &n->fileFaulted);
    return 5;
}

TEST(ReadGuard, AnUnreadablePageEndsOnlyTheInnermostRead) {
    for (size_t offset : {size_t(100), size_t(4096 + 100), size_t(4095), size_t(4096)}) {
        Nested n;
        ASSERT_NE(n.file.base, nullptr);
        n.offset = offset;
        bool listFaulted = true;
        EXPECT_EQ(5, GuardedRead(&n.list.source, ReadFileByte, &n, &listFaulted)) << offset;
        EXPECT_FALSE(listFaulted) << offset;
        const bool gone = offset >= 4096;
        EXPECT_EQ(gone, n.fileFaulted) << offset;
        EXPECT_EQ(gone ? -1 : 0, n.fileResult) << offset;
        EXPECT_EQ(gone ? static_cast<uint32_t>(ERROR_HANDLE_EOF) : 0u, n.file.source.LastError) << offset;
    }
}

}  // namespace
