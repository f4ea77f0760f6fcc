// Highlight colour arithmetic, the colour settings and the colour-off writers.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "console/Console.h"
#include "plugin/Plugin.h"

#include <string>

namespace {


// A REG_SZ "Highlight" value under HKCU for one scope.
struct ScopedRegistryValue {
    HKEY key = nullptr;
    ScopedRegistryValue(const wchar_t* path, const wchar_t* value, DWORD type = REG_SZ) {
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
            key = nullptr;
            return;
        }
        RegSetValueExW(key, L"Highlight", 0, type, reinterpret_cast<const BYTE*>(value),
                       static_cast<DWORD>((wcslen(value) + 1) * sizeof(wchar_t)));
    }
    ~ScopedRegistryValue() {
        if (!key) return;
        RegDeleteValueW(key, L"Highlight");
        RegCloseKey(key);
    }
};

// Stands in for the host's colour parser where its answer must be exact.
int ParsedFg, ParsedBg;
int FakeParser(const wchar_t*, int* foreground, int* background) {
    *foreground = ParsedFg;
    *background = ParsedBg;
    return 0;
}

}  // namespace

TEST(HighlightFor, DefaultAndUserSettings) {
    struct Case {
        int attribute;
        const wchar_t* setting;
        int expected;
    } cases[] = {
        // No setting: brighter foreground, or a contrast table entry.
        {0x07, nullptr, 0x0F},
        {0x07, L"", 0x0F},
        {0x17, nullptr, 0x1F},
        {0x1F, nullptr, 0x1B},  // the first table entry is the normal colour itself
        {0x70, nullptr, 0x79},  // black foreground: table; 70 again equals the normal colour
        {0x80, nullptr, 0x8F},  // bright background
        {0x2A, nullptr, 0x2F},
        // Equal foreground and background: colour stays off whatever the setting.
        {0x77, nullptr, 0},
        {0x00, L"0x1E", 0},
        // Hexadecimal attributes.
        {0x07, L"0x1E", 0x1E},
        {0x07, L"0X1e", 0x1E},
        {0x07, L"0xE", 0x0E},
        {0x07, L"0x07", 0},   // the normal colours
        {0x07, L"0x77", 0},   // foreground equals background
        {0x07, L"0x", 0},
        {0x07, L"0x1G", 0},
        {0x07, L"0x1E ", 0},  // characters after the number
        {0x07, L"0x100000000", 0},
        {0x07, L"0x1234", 0x34},  // f = 4, b = 0x123: the attribute keeps its low 8 bits
        {0x07, L"0x40E", 0x0E},   // b = 64 reads as "no background": E on the normal background
        {0x1F, L"0x40F", 0},      // ... and then F is the normal foreground
        // The normal colours swapped.
        {0x1F, L"inv", 0x71},
        {0x1F, L"INVERSE", 0x71},
        {0x07, L"Inv", 0x70},
        {0x8E, L"inv", 0x68},  // background from the old foreground, without intensity
        // Colour names, read by the host.
        {0x07, L"bright yellow", 0x0E},
        {0x1F, L"bright yellow", 0x1E},  // on the normal background
        {0x07, L"red", 0x04},
        {0x07, L"yellow on blue", 0x16},
        {0x07, L"white on black", 0},  // the normal colours
        {0x07, L"white", 0},           // the normal foreground
        {0x07, L"black", 0},           // the normal background
        {0x07, L"red on red", 0},
        {0x07, L"purple", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(HighlightFor(c.attribute, c.setting, ParseColors), c.expected)
            << std::hex << "attribute " << c.attribute << " setting "
            << (c.setting ? Narrow(c.setting) : std::string("(none)"));
}

TEST(HighlightFor, ParserResultsAreChecked) {
    struct Case {
        int fg, bg, expected;
    } cases[] = {
        {5, 64, 0x05},    // no background named: the normal one
        {-1, 64, 0},      // nothing named
        {-1, -1, 0},      // not colours at all
        {-1, 3, 0},
        {0xC, 1, 0x1C},
        {7, 0, 0},        // the normal colours of a 07 console
        {0, -1, 0},       // foreground equal to the normal background
    };
    for (const Case& c : cases) {
        ParsedFg = c.fg;
        ParsedBg = c.bg;
        EXPECT_EQ(HighlightFor(0x07, L"some colour", FakeParser), c.expected) << c.fg << " " << c.bg;
    }
}

TEST(ContrastFor, DiffersFromNormalAndHighlight) {
    struct Case {
        int attribute, highlight, expected;
    } cases[] = {
        {0x07, 0x1E, 0x0F},  // primary
        {0x07, 0x0F, 0x0E},  // primary is the highlight: secondary
        {0x1F, 0x1B, 0x16},  // primary is the normal colour, secondary the highlight: tertiary
        {0x70, 0x79, 0x74},
        {0xF2, 0x0E, 0xF0},  // primary equals the normal colour
    };
    for (const Case& c : cases) {
        int contrast = ContrastFor(c.attribute, c.highlight);
        EXPECT_EQ(contrast, c.expected) << std::hex << c.attribute << " " << c.highlight;
        EXPECT_NE(contrast, c.attribute);
        EXPECT_NE(contrast, c.highlight);
    }
}

TEST(NoColorRequested, EnvironmentDecides) {
    struct Case {
        const wchar_t* noColor;
        const wchar_t* highlight;
        bool expected;
    } cases[] = {
        {nullptr, nullptr, false},
        {L"", nullptr, false},  // empty counts as unset
        {L"1", nullptr, true},
        {L"1", L"", true},
        {L"1", L"bright red", false},  // an explicit highlight overrides NO_COLOR
        {nullptr, L"bright red", false},
    };
    for (const Case& c : cases) {
        ScopedEnv noColor(L"NO_COLOR", c.noColor);
        ScopedEnv highlight(L"Highlight", c.highlight);
        EXPECT_EQ(NoColorRequested(), c.expected)
            << (c.noColor ? "NO_COLOR set" : "NO_COLOR unset") << ", " << (c.highlight ? "Highlight set" : "Highlight unset");
    }
}

TEST(FindHighlightSetting, EnvironmentThenRegistryInOrder) {
    wchar_t text[1024];
    ScopedEnv highlight(L"Highlight", nullptr);
    EXPECT_EQ(FindHighlightSetting(text, 1024), 0);
    EXPECT_STREQ(text, L"");
    {
        ScopedRegistryValue general(L"SOFTWARE\\JPPlugins", L"red");
        ASSERT_NE(general.key, nullptr);
        EXPECT_EQ(FindHighlightSetting(text, 1024), 1);
        EXPECT_STREQ(text, L"red");
        {
            ScopedRegistryValue own(L"SOFTWARE\\JPPlugins\\Bytora", L"0x1E");
            EXPECT_EQ(FindHighlightSetting(text, 1024), 1);
            EXPECT_STREQ(text, L"0x1E");
            ScopedEnv fromEnvironment(L"Highlight", L"inv");
            EXPECT_EQ(FindHighlightSetting(text, 1024), 1);
            EXPECT_STREQ(text, L"inv");
        }
        {
            // Empty values and values of another type pass on to the next place.
            ScopedRegistryValue own(L"SOFTWARE\\JPPlugins\\Bytora", L"");
            EXPECT_EQ(FindHighlightSetting(text, 1024), 1);
            EXPECT_STREQ(text, L"red");
        }
        {
            ScopedRegistryValue own(L"SOFTWARE\\JPPlugins\\Bytora", L"blue", REG_EXPAND_SZ);
            EXPECT_EQ(FindHighlightSetting(text, 1024), 1);
            EXPECT_STREQ(text, L"red");
        }
    }
    EXPECT_EQ(FindHighlightSetting(text, 1024), 0);
    std::wstring tooLong(2000, L'x');
    ScopedEnv longValue(L"Highlight", tooLong.c_str());
    EXPECT_EQ(FindHighlightSetting(text, 1024), -1);
}

TEST(SetupHighlight, RedirectedOutputLeavesColourOff) {
    NormalAttr = HighlightAttr = ContrastAttr = 0x5A;
    InverseNormalAttr = InverseHighlightAttr = InverseContrastAttr = 0xA5;
    ScopedEnv highlight(L"Highlight", L"0x1E");
    Captured c = CaptureOutput([] { return SetupHighlight(false); });
    EXPECT_EQ(c.result, 0);
    for (uint8_t attribute : {NormalAttr, HighlightAttr, ContrastAttr, InverseNormalAttr, InverseHighlightAttr, InverseContrastAttr})
        EXPECT_EQ(attribute, 0);
    EXPECT_EQ(c.outBytes, "");
}

TEST(PutHighlighted, ColourOffGoesThroughTheHost) {
    NormalAttr = 0;
    Captured c = CaptureOutput([] {
        PutHighlighted(L"<stdin>");
        PutHighlighted(nullptr);
        PutHighlighted(L" \u00e9\U0001F600");
        return 0;
    });
    EXPECT_EQ(c.out, L"<stdin> \u00e9\U0001F600");
}

TEST(PutInAttribute, NullTextIsRefused) {
    EXPECT_EQ(PutInAttribute(0x0F, nullptr), -1);
}
