// The read guard: a page of an input's view that cannot be read ends the
// guarded read at hand with the in-page error; the process, the guard around
// it and the next read go on. Faults anywhere else are not the guard's.
#include <gtest/gtest.h>
#include <windows.h>
#include "input/Input.h"

namespace {

constexpr size_t Page = 4096;

// A view of two pages whose second page has gone, between two pages that
// are not the view's and cannot be read either.
struct HoledView {
    uint8_t* base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 4 * Page, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY));
    InputSource source{};
    HoledView() {
        if (!base) return;
        source.Data = base + Page;
        source.Size = 2 * Page;
        source.MappingHandle = reinterpret_cast<HANDLE>(1);  // marks a view; never used as a handle
        Protect();
    }
    ~HoledView() { VirtualFree(base, 0, MEM_RELEASE); }
    void Protect() {
        DWORD old = 0;
        for (size_t page : {size_t(0), size_t(2), size_t(3)}) VirtualProtect(base + page * Page, Page, PAGE_NOACCESS, &old);
    }
};

// What the guard passes on ends here, last of all handlers: the page is made
// readable and the read goes on.
struct Catcher {
    static inline uint8_t* Low;
    static inline uint8_t* High;
    static inline int Caught;
    void* registration;
    Catcher(uint8_t* low, size_t bytes) {
        Low = low;
        High = low + bytes;
        Caught = 0;
        registration = AddVectoredExceptionHandler(0, On);
    }
    ~Catcher() { RemoveVectoredExceptionHandler(registration); }
    static LONG CALLBACK On(EXCEPTION_POINTERS* pointers) {
        const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
        if (record->ExceptionCode != EXCEPTION_ACCESS_VIOLATION || record->NumberParameters < 2)
            return EXCEPTION_CONTINUE_SEARCH;
        uint8_t* address = reinterpret_cast<uint8_t*>(record->ExceptionInformation[1]);
        if (address < Low || address >= High) return EXCEPTION_CONTINUE_SEARCH;
        ++Caught;
        DWORD old = 0;
        VirtualProtect(address, 1, PAGE_READONLY, &old);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
};

int ReadByteAt(const uint8_t* p) { return *static_cast<const volatile uint8_t*>(p); }

struct ByteRead {
    const uint8_t* at;
    int operator()() const { return ReadByteAt(at); }
};

TEST(ReadGuard, TakesFaultsOfItsViewOnlyAndOnlyWithinRead) {
    struct Row {
        ptrdiff_t offset;  // from the view's first byte
        bool taken;        // by the guard; else the read goes on past it
        bool faults;
    };
    const Row rows[] = {
        {-1, false, true},            // the last byte below the view
        {0, false, false},            // the view's first byte
        {Page - 1, false, false},
        {Page, true, true},           // the page that has gone
        {2 * Page - 1, true, true},   // the view's last byte
        {2 * Page, false, true},      // the first byte above the view
    };
    for (const Row& row : rows) {
        HoledView v;
        ASSERT_NE(v.base, nullptr);
        Catcher catcher(v.base, 4 * Page);
        ReadGuard guard(&v.source);
        ByteRead read{v.source.Data + row.offset};
        EXPECT_EQ(row.taken ? -1 : 0, guard.Read(read)) << row.offset;
        EXPECT_EQ(row.taken, guard.Faulted) << row.offset;
        EXPECT_EQ(row.taken ? static_cast<uint32_t>(ERROR_HANDLE_EOF) : 0u, v.source.LastError) << row.offset;
        EXPECT_EQ(row.faults && !row.taken ? 1 : 0, Catcher::Caught) << row.offset;
    }
}

TEST(ReadGuard, AfterAFaultItTakesNothingOutsideReadAndStillGuardsReads) {
    HoledView v;
    ASSERT_NE(v.base, nullptr);
    Catcher catcher(v.base, 4 * Page);
    const uint8_t* hole = v.source.Data + Page;
    ByteRead read{hole};
    {
        ReadGuard guard(&v.source);
        EXPECT_EQ(-1, guard.Read(read));
        EXPECT_TRUE(guard.Faulted);
        // The guard lives on, but the fault was the end of that read.
        EXPECT_EQ(0, ReadByteAt(hole));
        EXPECT_EQ(1, Catcher::Caught);
        v.Protect();
        guard.Faulted = false;
        EXPECT_EQ(-1, guard.Read(read));
        EXPECT_TRUE(guard.Faulted);
        EXPECT_EQ(1, Catcher::Caught);
    }
    // Nor once it is gone.
    EXPECT_EQ(0, ReadByteAt(hole));
    EXPECT_EQ(2, Catcher::Caught);
}

// A list's read around the dump of a file it names: each read of the file's
// view at an offset, inside the list's read.
struct Nested {
    HoledView list, file;
    size_t offset;
    bool fileFaulted;
    int fileResult;
};

int ReadFileByte(void* context) {
    Nested* n = static_cast<Nested*>(context);
    ReadGuard guard(&n->file.source);
    ByteRead read{n->file.source.Data + n->offset};
    n->fileResult = guard.Read(read);
    n->fileFaulted = guard.Faulted;
    return 5;
}

TEST(ReadGuard, AnUnreadablePageEndsOnlyTheInnermostRead) {
    for (size_t offset : {size_t(100), Page + 100, Page - 1, Page}) {
        Nested n;
        ASSERT_NE(n.file.base, nullptr);
        n.offset = offset;
        ReadGuard listGuard(&n.list.source);
        EXPECT_EQ(5, listGuard.Read(ReadFileByte, &n)) << offset;
        EXPECT_FALSE(listGuard.Faulted) << offset;
        const bool gone = offset >= Page;
        EXPECT_EQ(gone, n.fileFaulted) << offset;
        EXPECT_EQ(gone ? -1 : 0, n.fileResult) << offset;
        EXPECT_EQ(gone ? static_cast<uint32_t>(ERROR_HANDLE_EOF) : 0u, n.file.source.LastError) << offset;
    }
}

}  // namespace
