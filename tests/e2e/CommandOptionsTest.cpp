// bytora.exe as a child process: help texts, the settings lines, the byte-order
// mark, and option errors with their messages and exit code.
#include <gtest/gtest.h>
#include <string>
#include "plugin/Plugin.h"
#include "TestSupport.h"

namespace {

const std::string Prefix = "Bytora plugin: ";
const std::string Bom = "\xEF\xBB\xBF";

std::string Utf8(const std::wstring& text) { return Narrow(text); }

TEST(CommandOptionsE2E, UsageText) {
    ChildResult r = RunBytora(L"/?");
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.out, Utf8(UsageText));
    EXPECT_EQ(r.err, "");
    // Nothing after "/?" is looked at.
    r = RunBytora(L"/?x /K:81 nosuchfile");
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.out, Utf8(UsageText));
    EXPECT_EQ(r.err, "");
}

TEST(CommandOptionsE2E, UsageWithVersionLines) {
    ChildResult r = RunBytora(L"/??");
    EXPECT_EQ(r.exitCode, 0u);
    EXPECT_EQ(r.out, Utf8(UsageText) + "\r\n\t\t\t\tBytora  0.96.9.1 (x64)\r\n\t\t\t\tBytoraCmd  0.96.9.1\r\n");
    EXPECT_EQ(r.err, "");
}

TEST(CommandOptionsE2E, FormatAndSuboptionHelp) {
    const std::string formatHelp =
        "BYTORA /F:  \xE2\x80\x94 numeric base for values\n\n"
        "\t/F:O  or  /F:8  \toctal\n"
        "\t/F:D  or  /F:10 \tdecimal\n"
        "\t/F:S  or  /F:+  \tsigned decimal\n"
        "\t/F:H  or  /F:16 \thexadecimal  (default) \n\n"
        "You can replace the colon with an equals sign, or just omit it. \n";
    const std::string suboptionHelp =
        "BYTORA /N:  \xE2\x80\x94 disable features\n\n"
        "\t8\tno dashes between bytes of UTF-8 characters\n"
        "\tB\tdo not write a BOM\n"
        "\tC\tno highlight\n"
        "\tD\tdo not search into hidden directories (with /S)  \n"
        "\tF\tsuppress file-not-found error messages\n"
        "\tI\tdo not display the address field\n"
        "\tJ\tdo not search into junctions (with /S)\n"
        "\tQ\tno fancy Unicode quotes\n"
        "\tT\tdo not display the text field\n"
        "\tU\tno non-ASCII characters\n"
        "\tZ\tdo not search into system directories (with /S)  \n\n"
        "You can replace the colon with an equals sign, or just omit it. \n";
    const struct {
        const wchar_t* args;
        const std::string& out;
    } cases[] = {
        {L"/F:?", formatHelp}, {L"/f:d?", formatHelp}, {L"/F?", formatHelp},
        {L"/N:?", suboptionHelp}, {L"/n?", suboptionHelp}, {L"/N:B?", suboptionHelp},
    };
    for (const auto& c : cases) {
        ChildResult r = RunBytora(c.args, "piped text is not dumped");
        SCOPED_TRACE(Narrow(c.args));
        EXPECT_EQ(r.exitCode, 0u);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

TEST(CommandOptionsE2E, SettingsLinesComeAfterTheMarkAndBeforeTheDump) {
    const std::string lines =
        "   *  Flags        = 8201\r\n"  // DF_SHOW_NAME | DF_BIG_ENDIAN | DF_TOTALS; no keyboard when redirected
        "   *  StartAddress = 16\r\n"
        "   *  EndAddress   = 1048576\r\n"
        "   *  MaxBytes     = 3000\r\n"
        "   *  HexWidth     = 24\r\n"
        "   *  AddressWidth = 12\r\n"
        "   *  WordLen      = 2\r\n"
        "   *  GroupWidth   = 8\r\n"
        "   *  Format       = 3\r\n"
        "   *  ConsoleWidth = 100\r\n";
    const std::wstring args = L"/$ /H /BE /I /C:0x10 /E:1M /M:3k /K:24 /G:12 /W /F:S";
    // What follows the lines is the dump of the empty piped input.
    ChildResult r = RunBytora(args);
    EXPECT_EQ(r.out.substr(0, Bom.size() + lines.size()), Bom + lines);

    // Without the mark, and with the defaults.
    const std::string defaults =
        "   *  Flags        = 0\r\n"
        "   *  StartAddress = 0\r\n"
        "   *  EndAddress   = 0\r\n"
        "   *  MaxBytes     = 0\r\n"
        "   *  HexWidth     = 0\r\n"
        "   *  AddressWidth = 0\r\n"
        "   *  WordLen      = 1\r\n"
        "   *  GroupWidth   = 8\r\n"
        "   *  Format       = 0\r\n"
        "   *  ConsoleWidth = 100\r\n";
    r = RunBytora(L"/N:B /$");
    EXPECT_EQ(r.out.substr(0, defaults.size()), defaults);
}

TEST(CommandOptionsE2E, MarkDependsOnTheHostOutputMode) {
    ChildResult r = RunBytora(L"/$", "", {{L"BYTORA_HOST_OUTPUT", L"unicode"}});
    const std::string flags = std::string("\xFF\xFE", 2) + std::string(" \0 \0 \0*\0", 8);
    EXPECT_EQ(r.out.substr(0, flags.size()), flags);

    r = RunBytora(L"/$", "", {{L"BYTORA_HOST_OUTPUT", L"ansi"}});
    EXPECT_EQ(r.out.substr(0, 6), "   *  ");

    // A host older than 13.04 build 46 is not asked about UTF-8 output.
    r = RunBytora(L"/$", "", {{L"BYTORA_HOST_VERSION", L"13.04"}, {L"BYTORA_HOST_BUILD", L"45"}});
    EXPECT_EQ(r.out.substr(0, 6), "   *  ");
    r = RunBytora(L"/$", "", {{L"BYTORA_HOST_VERSION", L"13.04"}, {L"BYTORA_HOST_BUILD", L"46"}});
    EXPECT_EQ(r.out.substr(0, 9), Bom + "   *  ");
}

TEST(CommandOptionsE2E, BadOptionsFailWithTheirMessage) {
    const struct {
        const wchar_t* args;
        const char* message;
    } cases[] = {
        {L"/K:81", "HexWidth must be \xE2\x89\xA4 80: 81"},
        {L"/F:12", "Numeric format must be 8, 10, or 16: 12"},
        {L"/G:3", "Address width must be 4 to 16: 3"},
        {L"/N:BX", "Unknown suboption: /N:X"},
        {L"/Z:A", "Bad replacement character: \"/Z:A\""},
        {L"/C:100 /E:100", "Start address must be less than end address: /C:100 \xE2\x89\xA5 /E:100"},
        {L"/bogus", "Unknown option: \"/BOGUS\""},
        {L"/", "Unknown option: \"/\""},
        {L"/N:\U0001F600", "Unknown suboption: /N:\xF0\x9F\x98\x80"},  // the whole character
        {L"/Z:0xDC00", "Bad replacement character: \"/Z:0XDC00\""},
        {L"/H/Kx", "Bad HexWidth: \"/KX\""},
        {L"nosuchfile.bin /k:81", "HexWidth must be \xE2\x89\xA4 80: 81"},
        {L"/p:x", "Syntax error: \"/P:X\""},
        {L"/cp:932", "Code page 932 not supported"},
        {L"/M:5x", "Unknown multiplier: \"/M:5x\""},
    };
    for (const auto& c : cases) {
        ChildResult r = RunBytora(c.args, "some piped text");
        SCOPED_TRACE(Narrow(c.args));
        EXPECT_EQ(r.exitCode, 1u);
        EXPECT_EQ(r.out, "");  // nothing dumped, not even the mark
        EXPECT_EQ(r.err, Prefix + c.message + "\r\n");
    }
}

TEST(CommandOptionsE2E, CheckAfterTheMarkStillFails) {
    ChildResult r = RunBytora(L"/K:20 /D", "text");
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.out, Bom);
    EXPECT_EQ(r.err, Prefix + "HexWidth must be a multiple of 8: 20\r\n");
}

TEST(CommandOptionsE2E, BatchPositionInTheMessage) {
    ChildResult r = RunBytora(L"/K:81", "",
                              {{L"BYTORA_HOST_BATCH", L"1"}, {L"BYTORA_HOST_BATCHNAME", L"C:\\x\\50%.btm"},
                               {L"BYTORA_HOST_BATCHLINE", L"7"}});
    EXPECT_EQ(r.exitCode, 1u);
    EXPECT_EQ(r.err, Prefix + "C:\\x\\50%.btm [7]  HexWidth must be \xE2\x89\xA4 80: 81\r\n");
}

}  // namespace
