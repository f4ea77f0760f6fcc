// Hand-made inputs and settings for the dump engine tests.
#pragma once
#include <string>
#include <vector>
#include "dump/DumpInternal.h"

// An input held in a string, described by an InputSource the way OpenInput
// would leave it (decoder at the byte-order mark's end).
struct TestInput {
    std::string bytes;
    InputSource source{};
    explicit TestInput(std::string data, uint32_t encoding = Ascii, uint64_t bomLength = 0) : bytes(std::move(data)) {
        source.Data = reinterpret_cast<const uint8_t*>(bytes.data());
        source.Size = bytes.size();
        source.Encoding = encoding;
        source.BomLength = bomLength;
        source.Position = bomLength;
        source.AllowSupplementary = 1;
        source.CodePage = 1252;
        source.CodePageIndex = 0;
        source.EbcdicCodePage = 1140;
        source.ReplacementChar = 0xFFFD;
        source.OpenFlags = 0x181;
    }
    TestInput(const TestInput&) = delete;
};

// Settings as the command leaves them for plain bytes in hex, 16 per line.
inline DumpSettings TestSettings(uint32_t hexWidth = 16, uint32_t wordLen = 1, uint32_t format = 0) {
    DumpSettings s{};
    s.WordLen = wordLen;
    s.GroupWidth = DefaultGroupWidth(wordLen);
    s.HexWidth = hexWidth;
    s.Format = format;
    s.ConsoleWidth = 80;
    s.LineEnding[0] = L'\r';
    s.LineEnding[1] = L'\n';
    return s;
}

// The dump lines of the whole window, built the way DumpInput builds them
// (without duplicate suppression).
inline std::vector<std::wstring> BuildLines(TestInput& input, const DumpSettings& settings, uint32_t flags) {
    DumpLayout layout;
    PrepareLayout(&settings, flags, &input.source, &layout);
    std::vector<std::wstring> lines;
    wchar_t buffer[DumpLineCapacity];
    for (uint64_t line = layout.Start; line < layout.End; line += layout.HexWidth) {
        size_t n = BuildDumpLine(&input.source, &layout, line, buffer);
        lines.emplace_back(buffer, n);
    }
    return lines;
}

inline std::wstring Blanks(size_t n) { return std::wstring(n, L' '); }
