// Read-ahead of small files: what is offered, what a dump takes, and that the
// end of a session lets go of every file and thread. A file the pool holds
// open refuses an open without sharing, which shows what it has read ahead.
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>
#include <cstdlib>
#include <string>
#include "TestSupport.h"
#include "input/Input.h"
#include "input/InputInternal.h"

namespace {

constexpr int FileCount = 20;

bool Held(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

int ThreadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int count = 0;
    if (Thread32First(snapshot, &entry)) {
        do {
            if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
        } while (Thread32Next(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return count;
}

// Polls until done() holds, for up to five seconds.
template <typename Done>
bool Eventually(Done done) {
    for (int i = 0; i < 250; ++i) {
        if (done()) return true;
        Sleep(20);
    }
    return done();
}

class ReadAheadTest : public ::testing::Test {
protected:
    std::wstring dir;
    int threadsBefore = 0;
    void SetUp() override {
        dir = MakeTempDir();
        for (int i = 1; i <= FileCount; ++i) ASSERT_TRUE(WriteBytes(Name(i), Content(i)));
        threadsBefore = ThreadCount();
    }
    void TearDown() override {
        // Whatever a test left offered, the end of its session let it go.
        for (int i = 1; i <= FileCount; ++i) EXPECT_FALSE(Held(Name(i))) << i;
        EXPECT_TRUE(Eventually([&] { return ThreadCount() == threadsBefore; }));
        RemoveTree(dir);
    }
    std::wstring Name(int i) const { return dir + L"\\f" + std::to_wstring(i); }
    static std::string Content(int i) { return "file " + std::to_string(i); }
    // Offers every file (the pool starts after the sixteenth) and waits until
    // the pool holds the last: those before it were claimed first. The probe
    // itself, an open without sharing, would make the pool's open fail if
    // the two met, so it waits for the workers to start and get ahead.
    void OfferAll(ReadAhead& session) {
        for (int i = 1; i <= FileCount; ++i) ASSERT_EQ(1, session.Offer(Name(i).c_str(), 7)) << i;
        ASSERT_TRUE(Eventually([&] { return ThreadCount() > threadsBefore; }));
        Sleep(200);
        ASSERT_TRUE(Eventually([&] { return Held(Name(FileCount)); }));
    }
};

TEST_F(ReadAheadTest, ADumpTakesWhatWasReadAhead) {
    ReadAhead session;
    OfferAll(session);
    for (int i = 1; i < FileCount; ++i) {
        InputSource taken{};
        ASSERT_EQ(1, TakeReadAhead(Name(i).c_str(), &taken)) << i;
        EXPECT_EQ(Content(i), std::string(reinterpret_cast<const char*>(taken.Data), taken.Size));
        free(const_cast<uint8_t*>(taken.Data));
    }
    // The last through OpenInput: the record a small file read whole gives.
    InputSource source{};
    ASSERT_EQ(0, OpenInput(&source, Name(FileCount).c_str(), OPEN_READ_SMALL, 0, 0));
    EXPECT_EQ(Content(FileCount), std::string(reinterpret_cast<const char*>(source.Data), source.Size));
    EXPECT_EQ(nullptr, source.FileHandle);
    EXPECT_EQ(nullptr, source.MappingHandle);
    EXPECT_EQ(Name(FileCount), source.Name);
    ReleaseInput(&source);
}

TEST_F(ReadAheadTest, NamesPassedOverAreLetGoAndNothingElseIsTaken) {
    ReadAhead session;
    OfferAll(session);
    InputSource taken{};
    // Not offered: nothing happens.
    EXPECT_EQ(0, TakeReadAhead((dir + L"\\other").c_str(), &taken));
    EXPECT_TRUE(Held(Name(1)));
    // Names are passed on in order: taking the tenth lets the nine before it go.
    ASSERT_EQ(1, TakeReadAhead(Name(10).c_str(), &taken));
    free(const_cast<uint8_t*>(taken.Data));
    EXPECT_EQ(0, TakeReadAhead(Name(1).c_str(), &taken));
    // The rest stays held until the session ends (checked in TearDown).
    EXPECT_TRUE(Held(Name(11)));
}

TEST_F(ReadAheadTest, OffersOnlyWhatIsWorthReadingAhead) {
    ReadAhead session;
    const std::wstring file = Name(1);
    struct Case {
        std::wstring name;
        uint64_t size;
        int offered;
    } cases[] = {
        {file, 0, 0},                                   // empty: nothing to read
        {file, SmallFileBytes + 1, 0},                  // mapped by the dump
        {file, ReadAheadSizeUnknown, 1},                // a list's name: the pool looks
        {file, SmallFileBytes, 1},
        {L"relative\\f1", 7, 0},                        // not a full name
        {dir + L"\\sub\\..\\f1", 7, 0},                 // not opened literally
        {L"\\\\.\\COM1", 7, 0},                         // a device
    };
    for (const Case& c : cases) EXPECT_EQ(c.offered, session.Offer(c.name.c_str(), c.size)) << Narrow(c.name);
}

TEST_F(ReadAheadTest, HoldsAtMostThirtyTwoFiles) {
    ReadAhead session;
    for (int i = 0; i < 32; ++i) ASSERT_EQ(1, session.Offer(Name(1 + i % FileCount).c_str(), 7)) << i;
    EXPECT_EQ(-1, session.Offer(Name(1).c_str(), 7));
    InputSource taken{};
    // One taken (or opened by the dump itself) makes room for one more.
    const int first = TakeReadAhead(Name(1).c_str(), &taken);
    if (first == 1) free(const_cast<uint8_t*>(taken.Data));
    EXPECT_EQ(1, session.Offer(Name(2).c_str(), 7));
}

}  // namespace
