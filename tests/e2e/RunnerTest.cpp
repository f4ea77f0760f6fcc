// The stand-alone runner: the load line, and a clear failure when the
// plug-in or the stand-in host is missing or is not ours.
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

// The system's own text for an error, as the runner should quote it.
std::string SystemText(DWORD code) {
    wchar_t text[1024];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                             nullptr, code, 0, text, 1024, nullptr);
    std::wstring s(text, n);
    while (!s.empty() && (s.back() == L' ' || s.back() == L'\r' || s.back() == L'\n')) s.pop_back();
    return Narrow(s);
}

// The runner in a folder of its own with some of the files it needs (each
// copied from the build under a name of the row's choice): what it says and
// its exit code. Files missing are named with every place looked; a file that
// is there but not the right one is refused.
TEST(Runner, SaysWhichFileIsMissingOrWrongAndWhere) {
    const std::string notFound = ": " + SystemText(ERROR_FILE_NOT_FOUND) + "\r\n";
    const struct {
        std::vector<std::pair<const wchar_t*, const wchar_t*>> files;  // name in the folder, build file
        std::string err;  // "@" stands for the folder, "^" for the folder above
    } rows[] = {
        {{}, "bytora: Bytora.dll not found. Looked for:\r\n  @\\Bytora.dll" + notFound + "  ^\\Bytora.dll" + notFound},
        {{{L"Bytora.dll", L"Bytora.dll"}},
         "bytora: TakeCmd.dll (the runner's stand-in host services) not found. Looked for:\r\n  @\\TakeCmd.dll" +
             notFound},
        {{{L"Bytora.dll", L"TakeCmd.dll"}, {L"TakeCmd.dll", L"TakeCmd.dll"}},
         "bytora: not a Bytora plug-in: @\\Bytora.dll\r\n"},
        {{{L"Bytora.dll", L"Bytora.dll"}, {L"TakeCmd.dll", L"bytora.exe"}},
         "bytora: not the runner's stand-in host services: @\\TakeCmd.dll\r\n"},
    };
    for (const auto& row : rows) {
        std::wstring dir = MakeTempDir();
        ASSERT_FALSE(dir.empty());
        ASSERT_TRUE(CopyFileW((BinFolder() + L"bytora.exe").c_str(), (dir + L"\\bytora.exe").c_str(), FALSE));
        for (const auto& [name, from] : row.files)
            ASSERT_TRUE(CopyFileW((BinFolder() + from).c_str(), (dir + L"\\" + name).c_str(), FALSE));
        std::string expected, folder = Narrow(dir), parent = folder.substr(0, folder.rfind('\\'));
        for (char c : row.err) expected += c == '@' ? folder : c == '^' ? parent : std::string(1, c);
        ChildResult r = RunProgram(dir + L"\\bytora.exe", L"/?");
        EXPECT_EQ(r.exitCode, 126u) << expected;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, expected);
        RemoveTree(dir);
    }
}

}  // namespace
