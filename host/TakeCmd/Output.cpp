// Console and redirected output of the stand-in host.
//
// Text arrives as UTF-16. A console gets it through WriteConsoleW; anything
// else gets it encoded by the output mode. Redirected standard output is
// collected because the dump writes one line per call; what is collected is
// written out before anything goes to another handle or the console, so the
// order of standard output against standard error is kept. Once a run has
// filled a chunk, a writer thread encodes and writes full chunks while the
// command builds the next lines (see "Redirected standard output" below).
//
// A write to standard output that fails is never passed over: the first error
// is kept, nothing more goes to that handle, and every later call fails at
// once with that error (see "Failed output" below).
#include "plugin/HostServices.h"
#include "HostApi.h"
#include "HostInternal.h"
#include "OutputInternal.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <tmmintrin.h>
#include <winternl.h>

namespace host {

// The standard output handle that collected text and a failure belong to.
HANDLE LastStdout = nullptr;

// Reading the environment costs more than encoding a dump line, so the writers
// keep the output mode until the next HostFlush, a change of standard output
// or another look at the setting.
bool ModeKnown = false;
OutputMode KnownMode = OutputMode::Utf8;

// ---- Failed output -----------------------------------------------------------
// The first error met writing to standard output (LastStdout), 0 while all is
// well. Whichever thread's write fails sets it; from then on collected text
// for the handle is dropped and every call for it fails with this error, so
// the caller learns of a failure the writer thread met at its next call, and
// a dump with a hole in it is never passed on as whole. A new standard output
// and HostFlush clear it.
DWORD OutputError = 0;

// Keeps the first error only: what follows is its consequence.
void NoteFailure(DWORD error) {
    DWORD none = 0;
    __atomic_compare_exchange_n(&OutputError, &none, error, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

DWORD TakeFailure() { return __atomic_exchange_n(&OutputError, 0, __ATOMIC_SEQ_CST); }

namespace {

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
// The error of the write that just failed; a failure that left no code counts
// as a fault of the device.
DWORD LastWriteError() {
    const DWORD error = GetLastError();
    return error ? error : ERROR_WRITE_FAULT;
}

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

}  // namespace

// The writers below return 0 when everything was written, else the reason.
DWORD WriteAll(HANDLE h, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        SetLastError(ERROR_SUCCESS);
        if (!WriteFile(h, p, chunk, &written, nullptr) || written == 0) return LastWriteError();
        p += written;
        size -= written;
    }
    return 0;
}

namespace {

DWORD WriteConsoleAll(HANDLE h, const wchar_t* text, size_t length) {
    // Some consoles refuse very large single writes; go in pieces and never
    // split a surrogate pair between two of them.
    constexpr size_t Piece = 8192;
    while (length > 0) {
        size_t n = length > Piece ? Piece : length;
        if (n < length && n > 1 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
        DWORD written = 0;
        SetLastError(ERROR_SUCCESS);
        if (!WriteConsoleW(h, text, static_cast<DWORD>(n), &written, nullptr) || written == 0) return LastWriteError();
        text += written;
        length -= written;
    }
    return 0;
}

// Where the process keeps its standard output handle, the field GetStdHandle
// reads and SetStdHandle writes: QPuts runs twice per dump line, and the four
// dependent loads of the call cost as much as a short copy. Used only when
// it agrees with GetStdHandle at start-up.
HANDLE* FindStandardOutputSlot() {
    // The thread block's process pointer, read directly: through NtCurrentTeb
    // the compiler warns of a false array overrun.
    const char* peb = nullptr;
    __asm__("movq %%gs:0x60, %0" : "=r"(peb));
    if (!peb) return nullptr;
    auto* parameters = *reinterpret_cast<char* const*>(peb + offsetof(PEB, ProcessParameters));
    if (!parameters) return nullptr;
    // The handles follow the console fields: input, output, error.
    HANDLE* slot = reinterpret_cast<HANDLE*>(parameters + 0x28);
    return *slot == GetStdHandle(STD_OUTPUT_HANDLE) &&
                   reinterpret_cast<HANDLE*>(parameters + 0x30)[0] == GetStdHandle(STD_ERROR_HANDLE)
               ? slot
               : nullptr;
}
HANDLE* const StandardOutputSlot = FindStandardOutputSlot();

HANDLE StandardOutput() {
    return StandardOutputSlot ? *static_cast<HANDLE volatile*>(StandardOutputSlot) : GetStdHandle(STD_OUTPUT_HANDLE);
}

}  // namespace

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

namespace {

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

}  // namespace

// Writes encoded text straight to the handle, bypassing the buffer.
DWORD WriteEncoded(HANDLE h, OutputMode mode, const wchar_t* text, size_t length) {
    char local[4096];
    if (length * BytesPerUnit(mode) <= sizeof local) {
        size_t n = Encode(mode, text, length, local, sizeof local);
        return n > 0 ? WriteAll(h, local, n) : ERROR_WRITE_FAULT;
    }
    if (mode == OutputMode::Unicode) return WriteAll(h, text, length * 2);
    // Long text goes in slices so no huge temporary is needed.
    constexpr size_t Slice = 1 << 20;
    while (length > 0) {
        size_t n = length > Slice ? Slice : length;
        if (n < length && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) --n;
        size_t size = EncodedSize(mode, text, n);
        char* bytes = size ? static_cast<char*>(malloc(size)) : nullptr;
        if (!bytes) return ERROR_NOT_ENOUGH_MEMORY;
        size_t made = Encode(mode, text, n, bytes, size);
        const DWORD error = made > 0 ? WriteAll(h, bytes, made) : ERROR_WRITE_FAULT;
        free(bytes);
        if (error) return error;
        text += n;
        length -= n;
    }
    return 0;
}

namespace {

int Failed(DWORD error) {
    SetLastError(error);
    return -1;
}

// Every writer ends here; out is the current standard output handle.
// Returns length, or -1 with the reason as the thread's last error.
int WriteText(HANDLE h, HANDLE out, const wchar_t* text, size_t length) {
    if (out != LastStdout) {
        FlushStandardOutput();
        ForgetHandleKinds();
        LastStdout = out;
        TakeFailure();  // the old handle's failure is not the new one's
    }
    // Even an empty write tells the caller that standard output has failed.
    if (h == out && Failure()) return Failed(Failure());
    if (length == 0) return 0;
    DWORD error;
    if (!h || h == INVALID_HANDLE_VALUE) {
        error = ERROR_INVALID_HANDLE;
    } else if (IsConsoleHandle(h)) {
        FlushStandardOutput();
        error = WriteConsoleAll(h, text, length);
    } else if (h == out) {
        error = WriteBuffered(h, WriteMode(), text, length);
    } else {
        FlushStandardOutput();
        error = WriteEncoded(h, WriteMode(), text, length);
    }
    if (!error) return static_cast<int>(length);
    if (h == out) NoteFailure(error);
    return Failed(error);
}

int WriteText(HANDLE h, const wchar_t* text, size_t length) {
    return WriteText(h, GetStdHandle(STD_OUTPUT_HANDLE), text, length);
}

// wcslen with aligned 16-byte loads: every dump line is measured here, and
// the library's unit-by-unit loop costs a third of encoding the line. An
// aligned load never crosses a page boundary, so reading the whole block that
// holds the terminator is safe even at the very end of an allocation.
size_t WideLength(const wchar_t* text) {
    const uintptr_t address = reinterpret_cast<uintptr_t>(text);
    if (address & 1) return wcslen(text);  // units would straddle the lanes
    const __m128i zero = _mm_setzero_si128();
    const char* block = reinterpret_cast<const char*>(address & ~uintptr_t{15});
    // Bytes of the first block that come before the text do not count.
    unsigned zeros = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(block)), zero)));
    zeros &= 0xFFFFu << (address & 15);
    while (!zeros) {
        block += 16;
        zeros = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(block)), zero)));
    }
    return static_cast<size_t>(block + __builtin_ctz(zeros) - reinterpret_cast<const char*>(text)) / 2;
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
        const DWORD error = GetLastError();
        free(buffer);
        SetLastError(error);
        if (result != -2) return result;
    }
    return -1;
}

}  // namespace

int YieldOutput() {
    FlushStandardOutput();
    ForgetHandleKinds();
    return Failure() ? Failed(Failure()) : 0;
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
    HANDLE out = host::StandardOutput();
    if (host::AppendToOpenChunk(out, text)) return 0;
    return host::WriteText(out, out, text, host::WideLength(text)) < 0 ? -1 : 0;
}

int QPutc(HANDLE handle, wchar_t ch) {
    return host::WriteText(handle, &ch, 1) < 0 ? -1 : static_cast<int>(ch);
}

int QueryUnicodeOutput(void) {
    return host::CurrentOutputMode() == host::OutputMode::Unicode ? 1 : 0;
}

int HostLimitSimd(int sse2Only) {
    host::HaveSsse3 = !sse2Only && host::CpuHasSsse3();
    return 0;
}

int HostFlush(void) {
    host::FlushStandardOutput();
    host::ForgetHandleKinds();
    host::LastStdout = nullptr;
    // The command is over: report a failure once, and start the next clean.
    const DWORD error = host::TakeFailure();
    return error ? host::Failed(error) : 0;
}

}  // extern "C"

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) host::WriteOutputAtExit();
    return TRUE;
}
