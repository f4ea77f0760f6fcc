// The stand-alone runner: the load line, and a clear failure when the
// plug-in beside it is missing or is not ours.
#include <gtest/gtest.h>
#include <windows.h>
#include "TestSupport.h"

namespace {

TEST(Runner, LoadLineOnlyWhenTheShellIsNotTransient) {
    ChildResult shown = RunBytora(L"/?", "", {{L"BYTORA_HOST_TRANSIENT", L"0"}});
    EXPECT_EQ(shown.exitCode, 0u);
    EXPECT_EQ(shown.out.rfind("Bytora v0.96.9 loaded.\r\nDisplay files to standard output as hex.\n", 0), 0u);
    ChildResult quiet = RunBytora(L"/?");
    EXPECT_EQ(quiet.exitCode, 0u);
    EXPECT_EQ(quiet.out.rfind("Display files to standard output as hex.\n", 0), 0u);
}

TEST(Runner, TheCommandTailArrivesAsTyped) {
    // Two blanks inside quotes stay one argument: an unknown option names it whole.
    ChildResult r = RunBytora(L"\"/X  Y\"");
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.err, "Bytora plugin: Unknown option: \"/X  Y\"\r\n");
    EXPECT_EQ(r.out, "");
}

class LonelyRunner : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeTempDir();
        ASSERT_FALSE(dir_.empty());
        ASSERT_TRUE(CopyFileW((BinFolder() + L"bytora.exe").c_str(), (dir_ + L"\\bytora.exe").c_str(), FALSE));
    }
    void TearDown() override { RemoveTree(dir_); }
    std::wstring dir_;
};

TEST_F(LonelyRunner, MissingPluginIsOneLineAndFails) {
    ChildResult r = RunProgram(dir_ + L"\\bytora.exe", L"/?");
    EXPECT_EQ(r.exitCode, 126u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("bytora: cannot load the plug-in: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("Bytora.dll\r\n"), std::string::npos);
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1);  // one line
}

TEST_F(LonelyRunner, ForeignLibraryIsRefused) {
    // A real DLL without the plug-in's entry points, under the plug-in's name.
    ASSERT_TRUE(CopyFileW((BinFolder() + L"TakeCmd.dll").c_str(), (dir_ + L"\\Bytora.dll").c_str(), FALSE));
    ChildResult r = RunProgram(dir_ + L"\\bytora.exe", L"/?");
    EXPECT_EQ(r.exitCode, 126u);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("bytora: not a Bytora plug-in: ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1);
}

}  // namespace
