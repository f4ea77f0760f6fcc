// The built-in code-page tables: order, special positions, samples of the
// published mappings, and properties every table must have.
#include <gtest/gtest.h>

#include <set>

#include "encoding/Encoding.h"

namespace {

constexpr uint16_t R = 0xFFFD;

TEST(CodePageTables, IndexesFollowTheTableOrder) {
    const uint32_t single[] = {1252, 1250, 1251, 1253, 1254, 1255, 1256, 1257, 1258, 437,   720,   737,
                               775,  850,  852,  855,  857,  858,  862,  866,  874,  10000, 20866, 21866};
    for (int i = 0; i < 24; ++i) {
        EXPECT_EQ(CodePageNumbers[i], single[i]);
        EXPECT_EQ(CodePageIndexOf(single[i]), i);
    }
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(EbcdicCodePageNumbers[i], 1140u + i);
        EXPECT_EQ(EbcdicCodePageIndexOf(1140 + i), i);
    }
    for (uint32_t absent : {0u, 65001u, 1200u, 1139u, 1150u, 37u, 28591u}) {
        EXPECT_EQ(CodePageIndexOf(absent), -1) << absent;
        EXPECT_EQ(EbcdicCodePageIndexOf(absent), -1) << absent;
    }
    EXPECT_EQ(EbcdicCodePageIndexOf(1252), -1);
    EXPECT_EQ(CodePageIndexOf(1140), -1);
}

struct Sample {
    uint32_t codePage;
    int byte;
    uint16_t expected;
};

uint16_t SingleByte(uint32_t codePage, int byte) {
    int index = CodePageIndexOf(codePage);
    return index < 0 ? 0 : CodePageTables[index][byte - 0x80];
}

uint16_t EbcdicByte(uint32_t codePage, int byte) {
    int index = EbcdicCodePageIndexOf(codePage);
    return index < 0 ? 0 : EbcdicTables[index][byte];
}

TEST(CodePageTables, SingleByteSamples) {
    const Sample samples[] = {
        {1252, 0x80, 0x20AC}, {1252, 0x81, R},      {1252, 0x8D, R},      {1252, 0x8F, R},      {1252, 0x90, R},
        {1252, 0x9D, R},      {1252, 0x83, 0x0192}, {1252, 0x9F, 0x0178}, {1252, 0xE9, 0x00E9}, {1252, 0xFF, 0x00FF},
        {1250, 0x8A, 0x0160}, {1250, 0xA5, 0x0104}, {1250, 0xFF, 0x02D9}, {1250, 0x83, R},
        {1251, 0xC0, 0x0410}, {1251, 0xFF, 0x044F}, {1251, 0xA8, 0x0401}, {1251, 0x98, R},
        {1253, 0xC1, 0x0391}, {1253, 0xA2, 0x0386}, {1253, 0xAA, R},      {1253, 0xD2, R},      {1253, 0xFF, R},
        {1254, 0xD0, 0x011E}, {1254, 0xFD, 0x0131}, {1254, 0x8E, R},
        {1255, 0xE0, 0x05D0}, {1255, 0xA4, 0x20AA}, {1255, 0xCA, R},      {1255, 0xD9, R},      {1255, 0xFF, R},
        {1256, 0xC7, 0x0627}, {1256, 0x81, 0x067E}, {1256, 0x90, 0x06AF},
        {1257, 0xC0, 0x0104}, {1257, 0xA8, 0x00D8}, {1257, 0xA1, R},      {1257, 0xA5, R},
        {1258, 0xC3, 0x0102}, {1258, 0xD0, 0x0110}, {1258, 0xDD, 0x01AF}, {1258, 0xFE, 0x20AB}, {1258, 0xCC, 0x0300},
        {1258, 0x8A, R},
        {437, 0xB0, 0x2591},  {437, 0x80, 0x00C7},  {437, 0xE1, 0x00DF},  {437, 0xFF, 0x00A0},  {437, 0xC4, 0x2500},
        {720, 0x82, 0x00E9},  {720, 0x98, 0x0621},  {720, 0x95, 0x0640},
        {737, 0x80, 0x0391},  {737, 0x97, 0x03A9},  {737, 0xE0, 0x03C9},
        {775, 0x80, 0x0106},  {775, 0xB5, 0x0104},
        {850, 0xD5, 0x0131},  {850, 0x9E, 0x00D7},
        {852, 0xA4, 0x0104},  {852, 0xA5, 0x0105},
        {855, 0x80, 0x0452},  {855, 0xA0, 0x0430},
        {857, 0x8D, 0x0131},  {857, 0x98, 0x0130},  {857, 0xD5, R},       {857, 0xE7, R},       {857, 0xF2, R},
        {858, 0xD5, 0x20AC},
        {862, 0x80, 0x05D0},  {862, 0x9A, 0x05EA},
        {866, 0x80, 0x0410},  {866, 0xF0, 0x0401},  {866, 0xFF, 0x00A0},
        {874, 0x80, 0x20AC},  {874, 0xA1, 0x0E01},  {874, 0x85, 0x2026},  {874, 0xDB, R},       {874, 0xFF, R},
        {10000, 0x80, 0x00C4}, {10000, 0xDB, 0x20AC}, {10000, 0xF0, 0x0150}, {10000, 0xC6, 0x2206},
        {10000, 0xBD, 0x03A9}, {10000, 0xA5, 0x2022},
        {20866, 0xC1, 0x0430}, {20866, 0xE1, 0x0410}, {20866, 0xA3, 0x0451}, {20866, 0x80, 0x2500},
        {21866, 0xA4, 0x0454}, {21866, 0xA6, 0x0456}, {21866, 0xAD, 0x0491}, {21866, 0xAE, 0x255D},
    };
    for (const Sample& s : samples)
        EXPECT_EQ(SingleByte(s.codePage, s.byte), s.expected) << "code page " << s.codePage << " byte " << s.byte;
}

TEST(CodePageTables, Cp720ControlPositionsAreReplaced) {
    for (int byte : {0x80, 0x81, 0x84, 0x86, 0x8D, 0x8E, 0x8F, 0x90}) EXPECT_EQ(SingleByte(720, byte), R) << byte;
}

// Counts of bytes the published tables leave undefined.
TEST(CodePageTables, UndefinedBytesAreReplacementsAndNothingElse) {
    const struct {
        uint32_t codePage;
        int undefined;
    } counts[] = {{1252, 5}, {1250, 5},  {1251, 1},  {1253, 17}, {1254, 7},   {1255, 23},   {1256, 0},    {1257, 12},
                  {1258, 9}, {437, 0},   {720, 8},   {737, 0},   {775, 0},    {850, 0},     {852, 0},     {855, 0},
                  {857, 3},  {858, 0},   {862, 0},   {866, 0},   {874, 31},   {10000, 0},   {20866, 0},   {21866, 0}};
    for (const auto& c : counts) {
        int index = CodePageIndexOf(c.codePage);
        ASSERT_GE(index, 0);
        int replaced = 0;
        std::set<uint16_t> seen;
        for (int i = 0; i < 128; ++i) {
            uint16_t v = CodePageTables[index][i];
            if (v == R) {
                ++replaced;
                continue;
            }
            EXPECT_GE(v, 0xA0) << "code page " << c.codePage << " byte " << (0x80 + i);  // no ASCII, no C1
            EXPECT_TRUE(seen.insert(v).second) << "code page " << c.codePage << " repeats U+" << std::hex << v;
        }
        EXPECT_EQ(replaced, c.undefined) << "code page " << c.codePage;
    }
}

TEST(EbcdicTables, Samples) {
    const Sample samples[] = {
        {1140, 0x9F, 0x20AC}, {1140, 0x15, 0x0085}, {1140, 0x25, 0x000A}, {1140, 0x20, R},      {1140, 0xC1, 'A'},
        {1140, 0x40, ' '},    {1140, 0x4A, 0x00A2}, {1140, 0x5B, '$'},    {1140, 0x05, '\t'},   {1140, 0x04, R},
        {1140, 0xFF, R},      {1140, 0x00, 0},      {1140, 0x07, 0x7F},
        {1141, 0x9F, 0x20AC}, {1141, 0x4A, 0x00C4}, {1141, 0x7C, 0x00A7}, {1141, 0xA1, 0x00DF}, {1141, 0xC0, 0x00E4},
        {1142, 0x5A, 0x20AC}, {1142, 0x7B, 0x00C6}, {1142, 0x7C, 0x00D8}, {1142, 0x5B, 0x00C5},
        {1143, 0x5A, 0x20AC}, {1143, 0x7B, 0x00C4}, {1143, 0x7C, 0x00D6}, {1143, 0x5B, 0x00C5}, {1143, 0x71, '\\'},
        {1143, 0xE0, 0x00C9},
        {1144, 0x9F, 0x20AC}, {1144, 0x7B, 0x00A3}, {1144, 0x7C, 0x00A7}, {1144, 0x4A, 0x00B0},
        {1145, 0x9F, 0x20AC}, {1145, 0x7B, 0x00D1}, {1145, 0x6A, 0x00F1},
        {1146, 0x9F, 0x20AC}, {1146, 0x5B, 0x00A3}, {1146, 0x4A, '$'},
        {1147, 0x9F, 0x20AC}, {1147, 0x7B, 0x00A3}, {1147, 0x7C, 0x00E0}, {1147, 0x44, '@'},
        {1148, 0x9F, 0x20AC}, {1148, 0x4A, '['},    {1148, 0x5A, ']'},    {1148, 0x4F, '!'},
        {1149, 0x9F, 0x20AC}, {1149, 0x4A, 0x00DE}, {1149, 0xC0, 0x00FE}, {1149, 0x5F, 0x00D6},
    };
    for (const Sample& s : samples)
        EXPECT_EQ(EbcdicByte(s.codePage, s.byte), s.expected) << "code page " << s.codePage << " byte " << s.byte;
}

// What every EBCDIC table shares: the control area, letters and digits,
// the space, and one value per byte.
TEST(EbcdicTables, SharedLayout) {
    const std::set<int> c1Positions = {0x04, 0x06, 0x08, 0x09, 0x0A, 0x14, 0x17, 0x1A, 0x1B, 0x20, 0x21,
                                       0x22, 0x23, 0x24, 0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x30, 0x31, 0x33,
                                       0x34, 0x35, 0x36, 0x38, 0x39, 0x3A, 0x3B, 0x3E, 0xFF};
    const char* upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    const int letterRows[] = {0xC1, 0xD1, 0xE2};
    for (int t = 0; t < 10; ++t) {
        const uint16_t* table = EbcdicTables[t];
        SCOPED_TRACE(1140 + t);
        EXPECT_EQ(table[0x15], 0x0085);
        EXPECT_EQ(table[0x25], 0x000A);
        EXPECT_EQ(table[0x40], ' ');
        std::set<uint16_t> seen;
        for (int b = 0; b < 256; ++b) {
            uint16_t v = table[b];
            if (c1Positions.count(b)) {
                EXPECT_EQ(v, R) << b;
                continue;
            }
            EXPECT_FALSE(v >= 0x80 && v <= 0x9F && b != 0x15) << b;
            EXPECT_NE(v, R) << b;
            EXPECT_TRUE(seen.insert(v).second) << b;
        }
        EXPECT_EQ(seen.size(), 256u - c1Positions.size());
        int letter = 0;
        for (int row : letterRows) {
            int count = row == 0xE2 ? 8 : 9;
            for (int i = 0; i < count; ++i, ++letter) {
                EXPECT_EQ(table[row + i], upper[letter]);
                EXPECT_EQ(table[row - 0x40 + i], upper[letter] + 32);
            }
        }
        for (int d = 0; d < 10; ++d) EXPECT_EQ(table[0xF0 + d], '0' + d);
    }
}

}  // namespace
