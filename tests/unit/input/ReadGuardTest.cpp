// The read guard: a page of an input's view that cannot be read ends the
// guarded read with the in-page error; the process and the next read go on.
#include <gtest/gtest.h>
#include <windows.h>
#include "input/Input.h"

namespace {

// Three pages standing in for a view whose middle page has gone.
struct HoledView {
    uint8_t* base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 3 * 4096, MEM_COMMIT | MEM_RESERVE, PAGE_READONLY));
    InputSource source{};
    HoledView() {
        DWORD old = 0;
        VirtualProtect(base + 4096, 4096, PAGE_NOACCESS, &old);
        source.Data = base;
        source.Size = 3 * 4096;
        source.MappingHandle = reinterpret_cast<HANDLE>(1);  // marks a view; never used as a handle
    }
    ~HoledView() { VirtualFree(base, 0, MEM_RELEASE); }
};

struct Read {
    const uint8_t* at;
    int value;
};

int ReadByte(void* context) {
    Read* read = static_cast<Read*>(context);
    read->value = *static_cast<const volatile uint8_t*>(read->at);
    return 7;
}

TEST(ReadGuard, APageThatCannotBeReadEndsTheReadNotTheProcess) {
    HoledView view;
    ASSERT_NE(view.base, nullptr);
    struct Case {
        size_t offset;
        bool faults;
    } cases[] = {{0, false}, {4096 + 100, true}, {2 * 4096, false}, {4096, true}};
    for (const Case& c : cases) {
        Read read{view.base + c.offset, -1};
        bool faulted = !c.faults;
        view.source.LastError = 0;
        int result = GuardedRead(&view.source, ReadByte, &read, &faulted);
        EXPECT_EQ(c.faults, faulted) << c.offset;
        EXPECT_EQ(c.faults ? -1 : 7, result) << c.offset;
        EXPECT_EQ(c.faults ? static_cast<uint32_t>(ERROR_SWAPERROR) : 0u, view.source.LastError) << c.offset;
        EXPECT_EQ(c.faults ? -1 : 0, read.value) << c.offset;
    }
}

// A list's guard around the dump of a file it names: the fault belongs to
// the inner view and ends only the inner read.
TEST(ReadGuard, TheInnermostGuardTakesItsOwnFault) {
    HoledView outer, inner;
    struct Nested {
        HoledView* inner;
        bool innerFaulted;
        int innerResult;
    } nested{&inner, false, 0};
    bool outerFaulted = true;
    int result = GuardedRead(
        &outer.source,
        [](void* context) {
            Nested* n = static_cast<Nested*>(context);
            Read read{n->inner->base + 4096, -1};
            n->innerResult = GuardedRead(&n->inner->source, ReadByte, &read, &n->innerFaulted);
            return 5;
        },
        &nested, &outerFaulted);
    EXPECT_FALSE(outerFaulted);
    EXPECT_EQ(5, result);
    EXPECT_TRUE(nested.innerFaulted);
    EXPECT_EQ(-1, nested.innerResult);
}

}  // namespace
