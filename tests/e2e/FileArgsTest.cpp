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

// Each ASCII character of text as a unit of `width` bytes, little-endian.
std::string WideLe(const std::string& text, size_t width) {
    std::string bytes;
    for (char c : text) bytes += c + std::string(width - 1, '\0');
    return bytes;
}

// A name beyond the Basic Multilingual Plane (U+1F600) must reach the file
// whatever the list's encoding, not turn into U+FFFD and go missing.
TEST(FileArgs, ListNamesOutsideTheBasicPlaneInEveryUnicodeEncoding) {
    const struct {
        const char* what;
        std::string list;
    } rows[] = {
        {"UTF-8 without BOM", "smile-\xF0\x9F\x98\x80.bin\r\n"},
        {"UTF-16LE with BOM",
         "\xFF\xFE" + WideLe("smile-", 2) + std::string("\x3D\xD8\x00\xDE", 4) + WideLe(".bin\r\n", 2)},
        {"UTF-32LE with BOM",
         std::string("\xFF\xFE\0\0", 4) + WideLe("smile-", 4) + std::string("\x00\xF6\x01\x00", 4) +
             WideLe(".bin\r\n", 4)},
    };
    // Standard input is an empty pipe, so its notice comes first; then
    // "smile, you dump!", 16 bytes, one full line.
    const std::string expected = "\r\nFile \xE2\x80\x9C-\xE2\x80\x9D is empty.\r\n"
                                 "00000000  73 6d 69 6c 65 2c 20 79  6f 75 20 64 75 6d 70 21  smile, you dump!\r\n\r\n";
    FileArgsFolder folder;
    ASSERT_TRUE(WriteBytes(folder.path + L"\\smile-\U0001F600.bin", "smile, you dump!"));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_TRUE(WriteBytes(folder.path + L"\\smile.lst", row.list));
        ChildResult r = RunBytora(L"/N:B @smile.lst");
        EXPECT_EQ(0u, r.exitCode);
        EXPECT_EQ(expected, r.out);
        EXPECT_EQ("", r.err);
    }
}

}  // namespace
