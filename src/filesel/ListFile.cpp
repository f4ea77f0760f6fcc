// List files: "@name" arguments whose file holds one name per line.
#include "filesel/FileSel.h"
#include "filesel/FileSelInternal.h"
#include "input/Input.h"
#include "plugin/Plugin.h"
#include <cstdlib>
#include <cstring>

namespace {

// Hands the list back to ReleaseInput once it was opened, on every path.
struct OpenList {
    InputSource Source{};
    bool IsOpen = false;
    OpenList() = default;
    OpenList(const OpenList&) = delete;
    OpenList& operator=(const OpenList&) = delete;
    ~OpenList() {
        if (IsOpen) ReleaseInput(&Source);
    }
};

// The line, its resolved name and a line read ahead: three path buffers,
// on the heap.
struct ListBuffers {
    wchar_t* Line = nullptr;
    wchar_t* Name = nullptr;
    wchar_t* Ahead = nullptr;
    ListBuffers() {
        Line = static_cast<wchar_t*>(std::malloc(3 * PathCapacity * sizeof(wchar_t)));
        if (!Line) return;
        Name = Line + PathCapacity;
        Ahead = Name + PathCapacity;
    }
    ListBuffers(const ListBuffers&) = delete;
    ListBuffers& operator=(const ListBuffers&) = delete;
    ~ListBuffers() { std::free(Line); }
};

// The full name of a listed name. The system takes a last component such as
// CON, AUX or NUL (also with an extension) for a device and resolves it to
// "\\.\CON"; but a list names files, so then the folder part is resolved
// alone and the name put after it. 0, or ResolvePath's failure.
int ResolveListedName(const wchar_t* line, wchar_t* name) {
    int result = ResolvePath(line, name, RESOLVE_HOME);
    if (result != 0 || wcsncmp(name, L"\\\\.\\", 4) != 0 || (IsPathSeparator(line[0]) && IsPathSeparator(line[1])))
        return result;
    size_t split = 0;
    for (size_t i = 0; line[i]; ++i)
        if (IsPathSeparator(line[i]) || (line[i] == L':' && split == 0)) split = i + 1;
    const wchar_t* last = line + split;
    if (split == 0) {
        result = ResolvePath(L".", name, 0);
    } else {
        wchar_t* folder = static_cast<wchar_t*>(std::malloc((split + 1) * sizeof(wchar_t)));
        if (!folder) return ERROR_NOT_ENOUGH_MEMORY;
        std::memcpy(folder, line, split * sizeof(wchar_t));
        folder[split] = 0;
        result = ResolvePath(folder, name, RESOLVE_HOME);
        std::free(folder);
    }
    if (result != 0) return result;
    if (wcslen(name) + 1 + wcslen(last) >= PathCapacity) return 111;
    return JoinPath(name, last);
}

// Whether the listed name is a file or folder, asked of the form it is
// opened by: "\\?\C:\dir\CON" is the file, "C:\dir\CON" the device.
bool ListedNameExists(const wchar_t* name) {
    wchar_t* literal = LiteralPath(name);
    const bool exists = QueryIsFileOrDirectory(literal ? literal : name) != 0;
    std::free(literal);
    return exists;
}

void RemoveQuotes(wchar_t* text) {
    wchar_t* out = text;
    for (const wchar_t* in = text; *in; ++in)
        if (*in != L'"') *out++ = *in;
    *out = 0;
}

// Trims a line and takes its quotes out; false for a line that names
// nothing (a label or comment line, a blank one).
bool ListedName(wchar_t* line) {
    TrimWhiteSpace(line);
    if (line[0] == L':') return false;  // a label or comment line
    RemoveQuotes(line);
    return line[0] != 0;
}

// The lines after the one being processed, offered to the read-ahead as far
// as it has room (a few at a time). The list's own reading is unchanged:
// every line is still read, resolved and looked up in its turn, and a name
// offered here that resolves to another is simply not taken.
constexpr int PeekLines = 64;

struct ListPeek {
    ReadAhead Reader;
    uint64_t Position = 0;  // the first byte not looked at yet
    bool Ended = false;     // the end of the list, or a page that cannot be read
};

void PeekAhead(ReadGuard* guard, wchar_t* line, ListPeek* peek) {
    InputSource* source = guard->Source;
    if (peek->Ended || !peek->Reader.Shared) return;
    const uint64_t resume = source->Position;
    const uint32_t error = source->LastError;
    if (peek->Position < resume) peek->Position = resume;
    source->Position = peek->Position;
    auto readLine = [source, line] { return ReadTextLine(source, line); };
    for (int lines = 0; lines < PeekLines; ++lines) {
        const uint64_t start = source->Position;
        if (start >= source->Size || guard->Read(readLine) != 0) {
            peek->Ended = true;
            break;
        }
        if (!ListedName(line) || LongPathPrefix(line) < 0) continue;
        if (peek->Reader.Offer(line, ReadAheadSizeUnknown) < 0) {
            source->Position = start;  // again when there is room
            break;
        }
    }
    // A page that cannot be read is the list's own read's to find and report.
    peek->Position = source->Position;
    source->Position = resume;
    source->LastError = error;
    guard->Faulted = false;
}

}  // namespace

int ReadListFile(const wchar_t* listName, uint32_t callbackFlags, void* callbackData, FileCallback callback,
                 uint32_t handlerFlags) {
    if (!listName || !listName[0] || !callback) return -1;
    const int exceptionResult = ExceptionResult(handlerFlags);
    const bool reportMissing = !(handlerFlags & FH_QUIET);

    ListBuffers buffers;
    OpenList list;
    // Supplementary characters decoded whole, or a name with one (an emoji)
    // in a UTF-8 or UTF-32 list would turn into U+FFFD and never be found;
    // ReadTextLine stores them as surrogate pairs.
    if (!buffers.Line || OpenInput(&list.Source, listName, OPEN_SUPPLEMENTARY, GetOEMCP(), 0) != 0) {
        ReportError(L"Error opening list file \"%s\"\r\n", listName);
        return 2;
    }
    list.IsOpen = true;
    // OpenInput has classified the list already (any Unicode encoding or the
    // OEM code page; never EBCDIC, since the open flags leave it out).
    InputSource* source = &list.Source;

    wchar_t* line = buffers.Line;
    wchar_t* name = buffers.Name;
    int result = 0;
    auto readLine = [source, line] { return ReadTextLine(source, line); };
    // A list cut short while it is read ends there, reported like a list
    // that cannot be opened.
    ReadGuard guard(source);
    ListPeek peek;
    bool passedOn = false;
    while (source->Position < source->Size && guard.Read(readLine) == 0) {
        if (!ListedName(line)) continue;
        if (ResolveListedName(line, name) != 0) {
            // Too long to name any file: it cannot exist.
            if (reportMissing) ReportError(L"File not found: %s\r\n", line);
            result = 2;
            continue;
        }
        LongPathPrefix(name);
        if (!name[0]) continue;
        if (!ListedNameExists(name)) {
            if (reportMissing) ReportError(L"File not found: %s\r\n", name);
            result = 2;
            continue;
        }
        // The dump clears a break when it starts an input: one seen here
        // came after a name of this list was passed on.
        if (passedOn && BreakRequested) return -3;
        PeekAhead(&guard, buffers.Ahead, &peek);
        passedOn = true;
        int outcome = CallFileCallback(callback, name, callbackFlags, callbackData, exceptionResult, nullptr);
        if (outcome == -3) return -3;
        if (outcome != 0) result = outcome;
    }
    if (passedOn && BreakRequested) return -3;
    if (guard.Faulted) {
        ReportReadFault(L"Error reading list file \"%s\" :\r\n", listName, source->LastError);
        return 2;
    }
    return result;
}
