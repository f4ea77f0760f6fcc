// List files: encodings, quotes, blank and ":" lines, missing names, results.
#include "FileSelTestUtil.h"

namespace {

using Names = std::vector<std::wstring>;

std::string Utf16(const std::wstring& text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (wchar_t c : text) {
        char low = static_cast<char>(c & 0xFF), high = static_cast<char>(c >> 8);
        bytes.push_back(bigEndian ? high : low);
        bytes.push_back(bigEndian ? low : high);
    }
    return bytes;
}

class ListFileTest : public ::testing::Test {
protected:
    TempTree tree;
    CurrentDirectory cwd{tree.root};
    Recorder recorder;
    void SetUp() override {
        recorder.root = tree.root;
        for (const wchar_t* name : {L"a.txt", L"b c.txt", L"sub\\d.txt", L"\u00e9t\u00e9.txt"}) tree.File(name);
    }
    Captured Read(const std::wstring& list, uint32_t flags = CommandFlags) {
        return CaptureOutput(
            [&] { return ReadListFile(list.c_str(), 0x55, &recorder, Recorder::Callback, flags); });
    }
};

TEST_F(ListFileTest, ReadsAUtf16ListWithQuotesBlankAndLabelLines) {
    tree.File(L"list.lst", Utf16(L"\"a.txt\"\r\n"
                                 L"\r\n"
                                 L":a.txt as a label\r\n"
                                 L"   \t \r\n"
                                 L"  \"b c.txt\"  \r\n"
                                 L"sub/\"d.txt\"\r\n"
                                 L"\"\"\r\n",
                                 false));
    Captured out = Read(L"list.lst");
    EXPECT_EQ(0, out.result);
    EXPECT_EQ((Names{L"a.txt", L"b c.txt", L"sub\\d.txt"}), recorder.names);
    EXPECT_EQ(L"", out.err);
    ASSERT_FALSE(recorder.flags.empty());
    EXPECT_EQ(0x55u, recorder.flags[0]);
}

TEST_F(ListFileTest, ReadsEveryUnicodeEncodingAndTheOemCodePage) {
    const Names expected{L"a.txt", L"\u00e9t\u00e9.txt", L"sub\\d.txt"};
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"UTF-8 with BOM, LF", "\xEF\xBB\xBF" "a.txt\n\xC3\xA9t\xC3\xA9.txt\nsub\\d.txt\n"},
        {"UTF-8, CR and LF CR, no final line end", "a.txt\r\xC3\xA9t\xC3\xA9.txt\n\rsub\\d.txt"},
        {"UTF-16BE with BOM", Utf16(L"a.txt\r\n\u00e9t\u00e9.txt\r\nsub\\d.txt\r\n", true)},
    };
    for (const Case& c : cases) {
        recorder.names.clear();
        tree.File(L"list.lst", c.bytes);
        Captured out = Read(L"list.lst");
        EXPECT_EQ(0, out.result) << c.what;
        EXPECT_EQ(expected, recorder.names) << c.what;
        EXPECT_EQ(L"", out.err) << c.what;
    }
    // Plain 8-bit text is read in the OEM code page.
    recorder.names.clear();
    tree.File(L"list.lst", "a.txt\r\nsub\\d.txt\r\n");
    EXPECT_EQ(0, Read(L"list.lst").result);
    EXPECT_EQ((Names{L"a.txt", L"sub\\d.txt"}), recorder.names);
}

// A list names files: those called like devices are the files of that name,
// by full name, relative or with "/"; a missing one is not found under its
// own full name, not as a device.
TEST_F(ListFileTest, NamesCalledLikeDevicesAreFiles) {
    for (const wchar_t* name : {L"con", L"AUX", L"nul.txt", L"sub\\COM1"})
        ASSERT_TRUE(WriteBytes(L"\\\\?\\" + tree.Path(name), "x")) << Narrow(name);
    tree.File(L"list.lst", Narrow(tree.Path(L"con")) + "\r\nAUX\r\nsub/COM1\r\nnul.txt\r\nprn\r\n");
    Captured out = Read(L"list.lst");
    EXPECT_EQ(2, out.result);
    EXPECT_EQ((Names{L"con", L"AUX", L"sub\\COM1", L"nul.txt"}), recorder.names);
    EXPECT_EQ(Prefixed(L"File not found: " + tree.Path(L"prn") + L"\r\n"), out.err);
}

// Listed names go through "~" expansion but not through the ";" alternatives
// of file arguments, and a label may be indented.
TEST_F(ListFileTest, ResolvesHomeButNotAlternatives) {
    tree.File(L"home\\notes.txt");
    ScopedEnv home(L"HOME", tree.Path(L"home").c_str());
    tree.File(L"list.lst", "~\\notes.txt\r\n  \t:b c.txt\r\na.txt;b c.txt\r\n");
    Captured out = Read(L"list.lst");
    EXPECT_EQ(2, out.result);
    EXPECT_EQ((Names{L"home\\notes.txt"}), recorder.names);
    EXPECT_EQ(Prefixed(L"File not found: " + tree.Path(L"a.txt;b c.txt") + L"\r\n"), out.err);
}

TEST_F(ListFileTest, ReportsMissingNamesAndGoesOn) {
    tree.File(L"list.lst", "a.txt\r\nmissing.txt\r\nb c.txt\r\nsub\r\n");
    Captured out = Read(L"list.lst");
    EXPECT_EQ(2, out.result);
    // Names from a list are not tested further: a directory is passed on.
    EXPECT_EQ((Names{L"a.txt", L"b c.txt", L"sub"}), recorder.names);
    EXPECT_EQ(Prefixed(L"File not found: " + tree.Path(L"missing.txt") + L"\r\n"), out.err);

    recorder.names.clear();
    out = Read(L"list.lst", CommandFlags | FH_QUIET);
    EXPECT_EQ(2, out.result);
    EXPECT_EQ(3u, recorder.names.size());
    EXPECT_EQ(L"", out.err);
}

TEST_F(ListFileTest, GivesUpNamesTooLongForAnyFile) {
    tree.File(L"list.lst", std::string(40000, 'x') + "\r\na.txt\r\n");
    Captured out = Read(L"list.lst");
    EXPECT_EQ(2, out.result);
    EXPECT_EQ((Names{L"a.txt"}), recorder.names);
    EXPECT_EQ(0u, out.err.find(Prefixed(L"File not found: xxxx")));
}

TEST_F(ListFileTest, KeepsTheLastFailureAndStopsOnABreak) {
    tree.File(L"list.lst", "a.txt\r\nb c.txt\r\nsub\\d.txt\r\n");
    recorder.results[L"a.txt"] = 5;
    recorder.results[L"b c.txt"] = -1;
    EXPECT_EQ(-1, Read(L"list.lst").result);
    EXPECT_EQ(3u, recorder.names.size());

    recorder.names.clear();
    recorder.results[L"b c.txt"] = -3;
    EXPECT_EQ(-3, Read(L"list.lst").result);
    EXPECT_EQ((Names{L"a.txt", L"b c.txt"}), recorder.names);

    recorder.names.clear();
    recorder.results.clear();
    recorder.throwOn = L"a.txt";
    EXPECT_EQ(-3, Read(L"list.lst").result);
    EXPECT_EQ(1u, recorder.names.size());
    recorder.names.clear();
    EXPECT_EQ(-200, Read(L"list.lst", CommandFlags | FH_EXCEPTION_200).result);
    EXPECT_EQ(3u, recorder.names.size());
}

TEST_F(ListFileTest, ReportsAListThatCannotBeOpened) {
    Captured out = Read(L"nolist.lst");
    EXPECT_EQ(2, out.result);
    EXPECT_EQ(Prefixed(L"Error opening list file \"nolist.lst\"\r\n"), out.err);
    tree.File(L"empty.lst", "");
    out = Read(L"empty.lst");
    EXPECT_EQ(2, out.result);
    EXPECT_EQ(Prefixed(L"Error opening list file \"empty.lst\"\r\n"), out.err);
    EXPECT_TRUE(recorder.names.empty());

    EXPECT_EQ(-1, ReadListFile(nullptr, 0, &recorder, Recorder::Callback, 0));
    EXPECT_EQ(-1, ReadListFile(L"", 0, &recorder, Recorder::Callback, 0));
}

}  // namespace
