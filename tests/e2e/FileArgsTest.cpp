// bytora.exe with file arguments: wildcards in the current folder, a pattern
// that matches nothing, and a list file.
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "TestSupport.h"
#include "plugin/HostServices.h"

namespace {

// A folder of small files that the child runs in; removed afterwards.
struct FileArgsFolder {
    std::wstring path = MakeTempDir();
    std::wstring saved;
    FileArgsFolder() {
        std::vector<wchar_t> buffer(32768);
        GetCurrentDirectoryW(32768, buffer.data());
        saved = buffer.data();
        WriteBytes(path + L"\\a.bin", "ABC");
        WriteBytes(path + L"\\b.bin", "hello\n");
        WriteBytes(path + L"\\c.txt", "not this");
        SetCurrentDirectoryW(path.c_str());
    }
    ~FileArgsFolder() {
        SetCurrentDirectoryW(saved.c_str());
        RemoveTree(path);
    }
    // The folder as the host names it in messages.
    std::wstring TrueName() const {
        std::vector<wchar_t> buffer(32768);
        QueryTrueName(path.c_str(), buffer.data());
        return buffer.data();
    }
};

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The value fields of the two dumps: "ABC" and "hello\n".
const std::string DumpOfA = "00000000  41 42 43 ";
const std::string DumpOfB = "00000000  68 65 6c 6c 6f 0a ";

TEST(FileArgs, DumpsEveryFileAPatternMatches) {
    FileArgsFolder folder;
    ChildResult r = RunBytora(L"*.bin");
    EXPECT_EQ(0u, r.exitCode) << r.err;
    EXPECT_EQ(1u, Count(r.out, DumpOfA)) << r.out;
    EXPECT_EQ(1u, Count(r.out, DumpOfB)) << r.out;
    EXPECT_EQ(0u, Count(r.out, "6e 6f 74"));  // c.txt is not named
    EXPECT_EQ("", r.err);
}

TEST(FileArgs, APatternMatchingNothingFails) {
    FileArgsFolder folder;
    ChildResult r = RunBytora(L"*.none");
    EXPECT_EQ(2u, r.exitCode);
    EXPECT_EQ("Bytora plugin: No matching files: \"" + Narrow(folder.TrueName()) + "\\*.none\"\r\n", r.err);
    EXPECT_EQ(0u, Count(r.out, "00000000  "));
}

TEST(FileArgs, ReadsTheNamesOfAListFile) {
    FileArgsFolder folder;
    WriteBytes(folder.path + L"\\names.lst", "\"a.bin\"\r\n:b.bin\r\n\r\nmissing.bin\r\n");
    ChildResult r = RunBytora(L"@names.lst");
    EXPECT_EQ(2u, r.exitCode);
    EXPECT_EQ(1u, Count(r.out, DumpOfA)) << r.out;
    EXPECT_EQ(0u, Count(r.out, DumpOfB)) << r.out;
    EXPECT_EQ("Bytora plugin: File not found: " + Narrow(folder.TrueName()) + "\\missing.bin\r\n", r.err);
}

}  // namespace
