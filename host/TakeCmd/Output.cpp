// Console and redirected output of the stand-in host.
//
// Text arrives as UTF-16. A console gets it through WriteConsoleW; anything
// else gets it encoded by the output mode. Redirected standard output is
// collected in a buffer because the dump writes one line per call; the buffer
// is written out before anything goes to another handle or the console, so the
// order of standard output against standard error is kept.
#include "plugin/HostServices.h"
#include "HostApi.h"
#include "HostInternal.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace host {
namespace {

constexpr DWORD BufferSize = 64 * 1024;
char OutBuffer[BufferSize];
DWORD OutLength = 0;
HANDLE OutHandle = nullptr;  // the handle the buffered bytes belong to

// Asking a handle for its console mode costs a round trip to the system, too
// much once per dump line; the answer is kept for the few handles in use.
// The cache is dropped whenever standard output changes and on HostFlush, so a
// closed handle whose value is reused is asked afresh.
struct HandleKind {
    HANDLE handle;
    bool console;
};
HandleKind Kinds[4];
int NextKind = 0;
HANDLE LastStdout = nullptr;

// Reading the environment costs more than encoding a dump line, so the writers
// keep the output mode until the next HostFlush, a change of standard output
// or another look at the setting.
bool ModeKnown = false;
OutputMode KnownMode = OutputMode::Utf8;

OutputMode WriteMode() {
    return ModeKnown ? KnownMode : CurrentOutputMode();
}

void ForgetHandleKinds() {
    for (HandleKind& k : Kinds) k = HandleKind{nullptr, false};
    NextKind = 0;
    ModeKnown = false;
}

bool IsConsoleHandle(HANDLE h) {
    if (!h || h == INVALID_HANDLE_VALUE) return false;
    for (const HandleKind& k : Kinds)
        if (k.handle == h) return k.console;
    DWORD mode = 0;
    bool console = GetConsoleMode(h, &mode) != 0;
    Kinds[NextKind] = HandleKind{h, console};
    NextKind = (NextKind + 1) % 4;
    return console;
}

bool WriteAll(HANDLE h, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) return false;
        p += written;
        size -= written;
    }
    return true;
}

bool WriteConsoleAll(HANDLE h, const wchar_t* text, size_t length) {
    // Some consoles refuse very large single writes; go in pieces and never
    // split a surrogate pair between two of them.
    constexpr size_t Piece = 8192;
    while (length > 0) {
        size_t n = length > Piece ? Piece : length;
        if (n < length && n > 1 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
        DWORD written = 0;
        if (!WriteConsoleW(h, text, static_cast<DWORD>(n), &written, nullptr) || written == 0) return false;
        text += written;
        length -= written;
    }
    return true;
}

bool IsHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// UTF-8 by hand: the system conversion costs more per dump line than building
// the line. A lone surrogate becomes U+FFFD, as the system conversion does.
// Returns the bytes written, or 0 when they do not fit.
size_t EncodeUtf8(const wchar_t* text, size_t length, char* out, size_t capacity) {
    size_t o = 0;
    for (size_t i = 0; i < length; ++i) {
        // Most of a dump line (address and values) is ASCII: four units at a
        // time while they are.
        while (i + 4 <= length && capacity - o >= 4) {
            uint64_t units;
            memcpy(&units, text + i, 8);
            if (units & 0xFF80FF80FF80FF80ull) break;
            const uint32_t bytes = static_cast<uint32_t>((units & 0xFF) | ((units >> 8) & 0xFF00) |
                                                         ((units >> 16) & 0xFF0000) | ((units >> 24) & 0xFF000000));
            memcpy(out + o, &bytes, 4);
            o += 4;
            i += 4;
        }
        if (i >= length) break;
        uint32_t c = text[i];
        if ((c & 0xF800) == 0xD800) {
            if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
                if (capacity - o < 4) return 0;
                c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[++i]) - 0xDC00);
                out[o++] = static_cast<char>(0xF0 | (c >> 18));
                out[o++] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                out[o++] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                out[o++] = static_cast<char>(0x80 | (c & 0x3F));
                continue;
            }
            c = 0xFFFD;
        }
        // Dump text mixes one-, two- and three-byte characters at random, so
        // the length is computed rather than branched on: all three bytes are
        // stored and only the right number counted.
        const uint32_t two = c >= 0x80, three = c >= 0x800;
        const size_t n = 1 + two + three;
        if (capacity - o < 3) {
            if (capacity - o < n) return 0;
            char tail[3];
            const uint32_t lead = three ? (0xE0 | (c >> 12)) : two ? (0xC0 | (c >> 6)) : c;
            tail[0] = static_cast<char>(lead);
            tail[1] = static_cast<char>(0x80 | ((three ? c >> 6 : c) & 0x3F));
            tail[2] = static_cast<char>(0x80 | (c & 0x3F));
            memcpy(out + o, tail, n);
            o += n;
            continue;
        }
        const uint32_t lead = three ? (0xE0 | (c >> 12)) : two ? (0xC0 | (c >> 6)) : c;
        out[o] = static_cast<char>(lead);
        out[o + 1] = static_cast<char>(0x80 | ((three ? c >> 6 : c) & 0x3F));
        out[o + 2] = static_cast<char>(0x80 | (c & 0x3F));
        o += n;
    }
    return o;
}

size_t Utf8Size(const wchar_t* text, size_t length) {
    size_t n = 0;
    for (size_t i = 0; i < length; ++i) {
        uint32_t c = text[i];
        if (c < 0x80) n += 1;
        else if (c < 0x800) n += 2;
        else if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(text[i + 1])) n += 4, ++i;
        else n += 3;
    }
    return n;
}

// Encodes into out (capacity bytes); returns the bytes written, or 0 when it
// does not fit (text is never empty here).
size_t Encode(OutputMode mode, const wchar_t* text, size_t length, char* out, size_t capacity) {
    if (mode == OutputMode::Unicode) {
        if (length * 2 > capacity) return 0;
        memcpy(out, text, length * 2);
        return length * 2;
    }
    if (mode == OutputMode::Utf8) return EncodeUtf8(text, length, out, capacity);
    int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), out, static_cast<int>(capacity), nullptr, nullptr);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

size_t EncodedSize(OutputMode mode, const wchar_t* text, size_t length) {
    if (mode == OutputMode::Unicode) return length * 2;
    if (mode == OutputMode::Utf8) return Utf8Size(text, length);
    int n = WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

// Generous bound on the bytes one UTF-16 unit can need in the mode.
size_t BytesPerUnit(OutputMode mode) {
    return mode == OutputMode::Unicode ? 2 : mode == OutputMode::Utf8 ? 3 : 4;
}

// Writes encoded text straight to the handle, bypassing the buffer.
bool WriteEncoded(HANDLE h, OutputMode mode, const wchar_t* text, size_t length) {
    char local[4096];
    if (length * BytesPerUnit(mode) <= sizeof local) {
        size_t n = Encode(mode, text, length, local, sizeof local);
        return n > 0 && WriteAll(h, local, n);
    }
    if (mode == OutputMode::Unicode) return WriteAll(h, text, length * 2);
    bool ok = true;
    // Long text goes in slices so no huge temporary is needed.
    constexpr size_t Slice = 1 << 20;
    while (ok && length > 0) {
        size_t n = length > Slice ? Slice : length;
        if (n < length && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
        size_t size = EncodedSize(mode, text, n);
        char* bytes = size ? static_cast<char*>(malloc(size)) : nullptr;
        if (!bytes) return false;
        size_t made = Encode(mode, text, n, bytes, size);
        ok = made > 0 && WriteAll(h, bytes, made);
        free(bytes);
        text += n;
        length -= n;
    }
    return ok;
}

bool WriteBuffered(HANDLE h, OutputMode mode, const wchar_t* text, size_t length) {
    if (OutHandle != h) {
        FlushStandardOutput();
        OutHandle = h;
    }
    size_t bound = length * BytesPerUnit(mode);
    if (bound > BufferSize - OutLength) {
        FlushStandardOutput();
        if (bound > BufferSize) return WriteEncoded(h, mode, text, length);
    }
    size_t n = Encode(mode, text, length, OutBuffer + OutLength, BufferSize - OutLength);
    if (n == 0) return false;
    OutLength += static_cast<DWORD>(n);
    return true;
}

// Every writer ends here. Returns length, or -1 when the text could not be
// written.
int WriteText(HANDLE h, const wchar_t* text, size_t length) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out != LastStdout) {
        FlushStandardOutput();
        ForgetHandleKinds();
        LastStdout = out;
    }
    if (length == 0) return 0;
    if (!h || h == INVALID_HANDLE_VALUE) return -1;
    bool ok;
    if (IsConsoleHandle(h)) {
        FlushStandardOutput();
        ok = WriteConsoleAll(h, text, length);
    } else if (h == out) {
        ok = WriteBuffered(h, WriteMode(), text, length);
    } else {
        FlushStandardOutput();
        ok = WriteEncoded(h, WriteMode(), text, length);
    }
    return ok ? static_cast<int>(length) : -1;
}

int WriteFormatted(HANDLE h, const wchar_t* format, va_list args) {
    if (!format) return -1;
    wchar_t local[1024];
    va_list copy;
    va_copy(copy, args);
    int n = _vsnwprintf(local, 1024, format, copy);
    va_end(copy);
    if (n >= 0 && n < 1024) return WriteText(h, local, static_cast<size_t>(n));
    // Longer text: grow a heap buffer until it fits; no text is cut.
    for (size_t capacity = 8192; capacity <= (size_t{1} << 26); capacity *= 2) {
        wchar_t* buffer = static_cast<wchar_t*>(malloc(capacity * sizeof(wchar_t)));
        if (!buffer) return -1;
        va_copy(copy, args);
        n = _vsnwprintf(buffer, capacity, format, copy);
        va_end(copy);
        int result = -2;
        if (n >= 0 && static_cast<size_t>(n) < capacity) result = WriteText(h, buffer, static_cast<size_t>(n));
        free(buffer);
        if (result != -2) return result;
    }
    return -1;
}

}  // namespace

void FlushStandardOutput() {
    if (OutLength == 0) return;
    // A failed write loses the text; there is nobody left to tell.
    WriteAll(OutHandle, OutBuffer, OutLength);
    OutLength = 0;
}

OutputMode CurrentOutputMode() {
    wchar_t value[16];
    OutputMode mode = OutputMode::Utf8;
    if (ReadEnvironment(L"BYTORA_HOST_OUTPUT", value, 16) > 0) {
        if (CompareStringOrdinal(value, -1, L"unicode", -1, TRUE) == CSTR_EQUAL) mode = OutputMode::Unicode;
        else if (CompareStringOrdinal(value, -1, L"ansi", -1, TRUE) == CSTR_EQUAL) mode = OutputMode::Ansi;
    }
    KnownMode = mode;
    ModeKnown = true;
    return mode;
}

int ReadEnvironment(const wchar_t* name, wchar_t* out, size_t capacity) {
    out[0] = L'\0';
    SetLastError(ERROR_SUCCESS);
    DWORD n = GetEnvironmentVariableW(name, out, static_cast<DWORD>(capacity));
    if (n == 0) {
        out[0] = L'\0';
        return 0;
    }
    if (n >= capacity) {
        out[0] = L'\0';
        return -1;
    }
    return static_cast<int>(n);
}

}  // namespace host

extern "C" {

int Printf(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int n = host::WriteFormatted(GetStdHandle(STD_OUTPUT_HANDLE), format, args);
    va_end(args);
    return n;
}

int Qprintf(HANDLE handle, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    int n = host::WriteFormatted(handle, format, args);
    va_end(args);
    return n;
}

int QPuts(const wchar_t* text) {
    if (!text) return -1;
    return host::WriteText(GetStdHandle(STD_OUTPUT_HANDLE), text, wcslen(text)) < 0 ? -1 : 0;
}

int QPutc(HANDLE handle, wchar_t ch) {
    return host::WriteText(handle, &ch, 1) < 0 ? -1 : static_cast<int>(ch);
}

int QueryUnicodeOutput(void) {
    return host::CurrentOutputMode() == host::OutputMode::Unicode ? 1 : 0;
}

int HostFlush(void) {
    host::FlushStandardOutput();
    host::ForgetHandleKinds();
    host::LastStdout = nullptr;
    return 0;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) host::FlushStandardOutput();
    return TRUE;
}
