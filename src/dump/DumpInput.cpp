// DumpInput: the dump of one input, from opening it to the closing line.
#include <cstring>
#include "console/Console.h"
#include "dump/DumpInternal.h"
#include "plugin/Plugin.h"

namespace {

// Hands an opened input back to ReleaseInput whichever way the dump ends.
struct HeldInput {
    InputSource source{};
    bool open = false;
    HeldInput() = default;
    HeldInput(const HeldInput&) = delete;
    HeldInput& operator=(const HeldInput&) = delete;
    ~HeldInput() {
        if (open) ReleaseInput(&source);
    }
};

constexpr uint64_t SaturatingAdd(uint64_t a, uint64_t b) { return a + b < a ? UINT64_MAX : a + b; }

uint32_t AddressDigitsFor(uint64_t end) {
    if (end < (1ull << 32)) return 8;
    if (end < (1ull << 40)) return 10;
    if (end < (1ull << 48)) return 12;
    return 14;
}

// Duplicate suppression under DF_UNIX: the bytes of the last line shown.
struct PreviousLine {
    uint8_t bytes[MaxHexWidth];
    uint32_t length = 0;
};

// Lines are built in batches under the read guard and written outside it,
// so that the guard costs once a batch rather than once a line, and a page
// that cannot be read never leaves a line's highlight on. The dump engine's,
// used by one dump at a time on the command thread.
constexpr size_t BatchUnits = 16 * DumpLineCapacity;
constexpr uint32_t BatchLines = 128;
struct LineBatch {
    wchar_t text[BatchUnits];
    uint32_t start[BatchLines];  // where each line's text begins in text
    bool repeat[BatchLines];      // the same bytes as the line before (DF_UNIX): no text
    bool joined[BatchLines];      // the line ending is part of the text
    uint32_t count;               // lines built whole
};
LineBatch Batch;

// Builds the lines from *line on into the batch, as many as fit, and moves
// *line past them. Reads the view: runs under the guard.
void BuildBatch(InputSource* source, DumpLayout* layout, const wchar_t* ending, size_t endingLength,
                PreviousLine* previous, uint64_t* line) {
    const bool collapse = (layout->Flags & DF_UNIX) != 0;
    const uint64_t size = source->Size;
    const uint32_t hexWidth = layout->HexWidth;
    size_t used = 0;
    Batch.count = 0;
    for (; *line < layout->End && Batch.count < BatchLines && BatchUnits - used >= DumpLineCapacity;
         *line += hexWidth) {
        const uint64_t at = *line;
        // Bytes of the input at this line, up to a full line; never beyond the input.
        const uint32_t available = size - at < hexWidth ? static_cast<uint32_t>(size - at) : hexWidth;
        const uint32_t n = Batch.count;
        if (collapse && at > layout->Start && available == previous->length &&
            std::memcmp(source->Data + at, previous->bytes, available) == 0) {
            uint64_t next = at + hexWidth;
            if (next > size - 1) next = size - 1;
            AlignPosition(source, next);
            Batch.repeat[n] = true;
            Batch.count = n + 1;
            continue;
        }
        wchar_t* text = Batch.text + used;
        const size_t length = BuildDumpLine(source, layout, at, text);
        Batch.repeat[n] = false;
        Batch.joined[n] = endingLength && length + endingLength < DumpLineCapacity;
        if (Batch.joined[n]) std::memcpy(text + length, ending, (endingLength + 1) * sizeof(wchar_t));
        Batch.start[n] = static_cast<uint32_t>(used);
        used += length + (Batch.joined[n] ? endingLength : 0) + 1;
        if (collapse) {
            std::memcpy(previous->bytes, source->Data + at, available);
            previous->length = available;
        }
        Batch.count = n + 1;
    }
}

// The lines of the window. -1 when a page of the view could not be read
// (the lines before it are written).
int WriteLines(InputSource* source, DumpLayout* layout, const wchar_t* lineEnding, ReadGuard* guard,
               uint32_t* lineCount) {
    const uint32_t flags = layout->Flags;
    const bool altLines = (flags & DF_ALT_LINES) != 0;
    PreviousLine previous;
    bool inDuplicateRun = false;
    uint32_t count = 0;
    // Without colour nothing comes between a line and its ending, so both go
    // to the host in one call.
    const bool joinEnding = !NormalAttr && lineEnding && lineEnding[0];
    const size_t endingLength = joinEnding ? wcslen(lineEnding) : 0;

    uint64_t line = layout->Start;
    auto build = [&] {
        BuildBatch(source, layout, lineEnding, endingLength, &previous, &line);
        return 0;
    };
    while (line < layout->End) {
        const int read = guard->Read(build);
        for (uint32_t i = 0; i < Batch.count; ++i) {
            if (Batch.repeat[i]) {
                if (inDuplicateRun) continue;
                if (altLines && (count & 1)) SetColors(HighlightAttr);
                inDuplicateRun = true;
                QPuts(L"*");
                ++count;
                if (EndLine(lineEnding, 1) == -3) return -3;
                continue;
            }
            inDuplicateRun = false;
            if (altLines && (count & 1)) SetColors(HighlightAttr);
            ++count;
            const wchar_t* text = Batch.text + Batch.start[i];
            if (Batch.joined[i]) {
                if (EndWrittenLine(QPuts(text)) == -3) return -3;
            } else {
                QPuts(text);
                if (EndLine(lineEnding, 1) == -3) return -3;
            }
            if (flags & DF_KEYBOARD) PollHotKeys();
        }
        if (read != 0) return -1;
    }
    *lineCount = count;
    return 0;
}

}  // namespace

uint32_t DefaultGroupWidth(uint32_t wordLen) {
    switch (wordLen) {
    case 3: return 9;
    case 5: return 10;
    case 6: return 12;
    case 7: return 7;
    default: return 8;
    }
}

uint32_t FitHexWidth(uint32_t consoleWidth, uint32_t addressWidth, uint32_t wordLen, uint32_t groupWidth,
                     uint32_t digits, uint32_t flags) {
    if (wordLen == 0) wordLen = 1;
    if (groupWidth == 0) groupWidth = DefaultGroupWidth(wordLen);
    const int64_t room = (flags & DF_NO_ADDRESS) ? int64_t(consoleWidth) - 1
                                                 : int64_t(consoleWidth) - int64_t(addressWidth) - 3;
    auto needed = [&](uint32_t w) {
        return int64_t(digits + 1) * (w / wordLen) + ((flags & DF_NO_TEXT) ? -1 : int64_t(w)) + w / groupWidth;
    };
    uint32_t fitted = 0;
    for (uint32_t w = groupWidth; w <= MaxHexWidth && needed(w) <= room; w += groupWidth) fitted = w;
    return fitted ? fitted : 2 * groupWidth;
}

void PrepareLayout(const DumpSettings* settings, uint32_t flags, InputSource* source, DumpLayout* layout) {
    std::memset(layout, 0, sizeof *layout);
    layout->Flags = flags;
    uint32_t wordLen = settings->WordLen;
    if (wordLen < 1 || wordLen > 8) wordLen = 1;
    layout->WordLen = wordLen;
    layout->Format = settings->Format <= 3 ? settings->Format : 0;
    layout->GroupWidth = settings->GroupWidth;
    if (layout->GroupWidth == 0 || layout->GroupWidth > MaxHexWidth) layout->GroupWidth = DefaultGroupWidth(wordLen);
    layout->Digits = ValueDigits[wordLen][layout->Format];
    if (wordLen < 8) {
        layout->SignBit = 1ull << (8 * wordLen - 1);
        layout->SignExtendMask = ~((1ull << (8 * wordLen)) - 1);
    }
    layout->Replacement = settings->TextReplacementChar ? settings->TextReplacementChar : L'\u00B7';

    const uint64_t size = source->Size;
    uint64_t start = settings->StartAddress;
    if (settings->StartFromEnd && settings->StartFromEnd < size && size - settings->StartFromEnd > start)
        start = size - settings->StartFromEnd;
    uint64_t end = settings->EndAddress;
    if (end == 0 || end > size) end = size;
    if (settings->EndFromEnd && settings->EndFromEnd < size && size - settings->EndFromEnd < end)
        end = size - settings->EndFromEnd;
    // Saturating, so that a huge /M count cannot wrap around to a tiny window.
    if (settings->MaxBytes) {
        const uint64_t limit = SaturatingAdd(start, settings->MaxBytes);
        if (limit < end) end = limit;
    }
    if (end != 0 && end < start) end = start;
    if (start > source->BomLength && start < size) AlignPosition(source, start);

    uint32_t addressWidth = settings->AddressWidth ? settings->AddressWidth : AddressDigitsFor(end);
    if (addressWidth > 16) addressWidth = 16;  // a 64-bit offset has 16 hex digits
    layout->AddressWidth = addressWidth;
    uint32_t hexWidth = settings->HexWidth;
    if (hexWidth == 0)
        hexWidth = FitHexWidth(settings->ConsoleWidth, addressWidth, wordLen, layout->GroupWidth, layout->Digits, flags);
    if (hexWidth > MaxHexWidth) hexWidth = MaxHexWidth;
    layout->HexWidth = hexWidth;
    if (settings->MaxLines) {
        const uint64_t limit = SaturatingAdd(start, uint64_t(hexWidth) * settings->MaxLines);
        if (limit < end) end = limit;
    }
    layout->Start = start;
    layout->End = end;

    layout->Utf8Dashes = WantUtf8Dashes(source, wordLen, flags);
    layout->PendingDashes = 0;
    BuildTextMap(source, layout);
}

int DumpOpenedInput(const wchar_t* name, uint32_t flags, const DumpSettings* settings, InputSource* source) {
    const wchar_t* lineEnding = settings->LineEnding;
    // A page of the input that cannot be read (the file was cut short
    // meanwhile, its disk went away) ends this input, not the run.
    ReadGuard guard(source);
    DumpLayout layout;
    auto prepare = [&] {
        RefineEncoding(source);
        if ((flags & DF_DUMP_BOM) && source->BomLength) {
            source->Position = 0;
            source->BomLength = 0;
        }
        PrepareLayout(settings, flags, source, &layout);
        return 0;
    };
    uint32_t lineCount = 0;
    int written = guard.Read(prepare);
    if (written == 0 && (flags & DF_SHOW_NAME)) written = WriteHeader(source, lineEnding, flags);
    if (written == 0) written = WriteLines(source, &layout, lineEnding, &guard, &lineCount);
    if (guard.Faulted) ReportReadFault(L"Error reading \"%s\" :\r\n", source->Name, source->LastError);
    if (written != 0) return written;

    const uint64_t shown = layout.End - layout.Start;
    if (flags & DF_UNIX) {
        if ((flags & DF_ALT_LINES) && (lineCount & 1)) SetColors(HighlightAttr);
        wchar_t text[24];
        *EmitHex(text, shown, layout.AddressWidth, false) = 0;
        QPuts(text);
        if (EndLine(lineEnding, 1) == -3) return -3;
    } else if (flags & DF_TOTALS) {
        if (WriteTotals(name, shown, layout.WordLen, lineEnding, flags) == -3) return -3;
    } else if (!(flags & DF_NO_TRAILING_BLANK)) {
        if (EndLine(lineEnding, 1) == -3) return -3;
    }
    return 0;
}

int DumpInput(const wchar_t* name, uint32_t flags, void* data) {
    if (!name || !*name || !data) return -1;
    const DumpSettings* settings = static_cast<const DumpSettings*>(data);

    // A break from before this input (the file search, say) is discarded;
    // one that comes while it is opened (standard input being copied, an
    // address downloaded) stops the run before anything of it is written.
    BreakRequested = 0;
    InstallCtrlHandler();
    HeldInput input;
    const uint32_t openFlags = ((flags & DF_NO_EBCDIC) ? (OPEN_REPORT | OPEN_SUPPLEMENTARY)
                                                       : (OPEN_REPORT | OPEN_DETECT_EBCDIC | OPEN_SUPPLEMENTARY)) |
                               OPEN_READ_SMALL;
    const int opened = OpenInput(&input.source, name, openFlags, settings->CodePage, settings->EbcdicCodePage);
    input.open = opened == 0;
    if (BreakRequested) return -3;
    if (opened == -100) return WriteEmptyNotice(name, settings->LineEnding, flags);
    if (opened != 0) return -1;
    return DumpOpenedInput(name, flags, settings, &input.source);
}
