// bytora.exe dumping standard input and files: whole output byte for byte,
// worked out by hand. Standard output is a pipe, so the console width falls
// back to 100 columns (16 bytes per line); "/N:B" leaves out the byte-order
// mark written ahead of redirected output.
#include <gtest/gtest.h>
#include <cstdio>
#include <string>
#include <vector>
#include "TestSupport.h"

namespace {

std::string Repeat(const std::string& text, int count) {
    std::string result;
    for (int i = 0; i < count; ++i) result += text;
    return result;
}

std::string Blanks(size_t n) { return std::string(n, ' '); }

const std::string EmptyStdin = "\r\nFile \xE2\x80\x9C-\xE2\x80\x9D is empty.\r\n";

// A folder holding the test files, the child's current folder while it runs.
struct DumpFolder {
    std::wstring path = MakeTempDir();
    std::wstring saved;
    DumpFolder() {
        std::vector<wchar_t> buffer(32768);
        GetCurrentDirectoryW(32768, buffer.data());
        saved = buffer.data();
        SetCurrentDirectoryW(path.c_str());
    }
    ~DumpFolder() {
        SetCurrentDirectoryW(saved.c_str());
        RemoveTree(path);
    }
};

TEST(Dump, StandardInputInHexBytes) {
    ChildResult r = RunBytora(L"/N:B", "ABCDEFGHIJKLMNOPQRS");
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, "00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  ABCDEFGHIJKLMNOP\r\n"
                     "00000010  51 52 53 " + Blanks(15) + " " + Blanks(24) + " " + "QRS" + Blanks(13) + "\r\n\r\n");
    EXPECT_EQ(r.err, "");
}

TEST(Dump, UnixStyleCollapsesRepeatedLines) {
    ChildResult r = RunBytora(L"/U /N:B", std::string(64, 'A') + std::string(16, 'B'));
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, "00000000  " + Repeat("41 ", 8) + " " + Repeat("41 ", 8) + " " + std::string(16, 'A') + "\n*\n" +
                         "00000040  " + Repeat("42 ", 8) + " " + Repeat("42 ", 8) + " " + std::string(16, 'B') +
                         "\n00000050\n");
}

TEST(Dump, TotalsForWordsFromStandardInput) {
    // Words fit 24 bytes into 100 columns (87 of 89 after the address).
    ChildResult r = RunBytora(L"/I /W /N:B", "ABCDE");
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, "00000000  4241 4443 0045 " + Blanks(5) + " " + Blanks(20) + " " + Blanks(20) + " " + "ABCDE" +
                         Blanks(19) + "\r\n" +
                         "\r\nDisplayed 5 bytes (3 words) from <stdin>.\r\n");
}

TEST(Dump, Utf8TextJoinsTheBytesOfACharacter) {
    ChildResult r = RunBytora(L"/N:B", "\xE2\x82\xAC" "uro");
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, "00000000  e2-82-ac 75 72 6f " + Blanks(6) + " " + Blanks(24) + " " + "\xE2\x82\xAC  uro" +
                         Blanks(10) + "\r\n\r\n");
}

TEST(Dump, StartingFromTheEnd) {
    std::string data;
    for (int i = 0; i < 100; ++i) data += static_cast<char>('0' + i % 10);
    ChildResult r = RunBytora(L"/C:-16 /N:B", data);
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    // Offset 84 onwards: "4567890123456789".
    EXPECT_EQ(r.out, "00000054  34 35 36 37 38 39 30 31  32 33 34 35 36 37 38 39  4567890123456789\r\n\r\n");
}

TEST(Dump, EmptyInputGetsANotice) {
    ChildResult r = RunBytora(L"/N:B", "");
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, EmptyStdin);
}

TEST(Dump, TotalsNameTheFile) {
    DumpFolder folder;
    ASSERT_TRUE(WriteBytes(folder.path + L"\\data.bin", "AB"));
    ChildResult r = RunBytora(L"/I /N:B data.bin", "");
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    EXPECT_EQ(r.out, EmptyStdin + "00000000  41 42 " + Blanks(18) + " " + Blanks(24) + " " + "AB" + Blanks(14) + "\r\n" +
                         "\r\nDisplayed 2 bytes from \xE2\x80\x9C" "data.bin\xE2\x80\x9D.\r\n");
}

TEST(Dump, Utf8FileEndingAtAPageBoundary) {
    // 4096 bytes: a mapped view that ends where a page ends. Every line but
    // the last holds "ab", four euro signs and an e-acute; the last ends in a
    // euro sign cut after two bytes, which gets no dashes and decodes byte by
    // byte to two replacement characters.
    const std::string line = "ab" + Repeat("\xE2\x82\xAC", 4) + "\xC3\xA9";
    std::string data = Repeat(line, 256);
    data.replace(4094, 2, "\xE2\x82");
    DumpFolder folder;
    ASSERT_TRUE(WriteBytes(folder.path + L"\\page.txt", data));
    ChildResult r = RunBytora(L"/N:B page.txt", "");
    EXPECT_EQ(r.exitCode, 0u) << r.err;
    const std::string euros = "e2-82-ac e2-82-ac  e2-82-ac e2-82-ac ";
    const std::string text = "ab" + Repeat("\xE2\x82\xAC  ", 4);
    std::string expected = EmptyStdin;
    char address[16];
    for (int k = 0; k < 255; ++k) {
        std::snprintf(address, sizeof address, "%08x", 16 * k);
        expected += std::string(address) + "  61 62 " + euros + "c3-a9  " + text + "\xC3\xA9 \r\n";
    }
    expected += "00000ff0  61 62 " + euros + "e2 82  " + text + "\xEF\xBF\xBD\xEF\xBF\xBD\r\n\r\n";
    EXPECT_EQ(r.out, expected);
}

}  // namespace
