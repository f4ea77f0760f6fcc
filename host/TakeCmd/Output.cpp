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

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <tmmintrin.h>
#include <winternl.h>

namespace host {
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

DWORD Failure() { return __atomic_load_n(&OutputError, __ATOMIC_ACQUIRE); }

// Keeps the first error only: what follows is its consequence.
void NoteFailure(DWORD error) {
    DWORD none = 0;
    __atomic_compare_exchange_n(&OutputError, &none, error, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

DWORD TakeFailure() { return __atomic_exchange_n(&OutputError, 0, __ATOMIC_SEQ_CST); }

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

bool IsHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// One character (a valid surrogate pair counts as one) at text[i] as UTF-8,
// with room checked: the general path, for the ends of texts and for blocks
// that hold surrogates. A lone surrogate becomes U+FFFD, as the system
// conversion does. Returns the units used, or 0 when the bytes do not fit.
size_t EncodeOneUtf8(const wchar_t* text, size_t length, size_t i, char* out, size_t room, size_t* written) {
    uint32_t c = text[i];
    if ((c & 0xF800) == 0xD800) {
        if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
            if (room < 4) return 0;
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(text[i + 1]) - 0xDC00);
            out[0] = static_cast<char>(0xF0 | (c >> 18));
            out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out[3] = static_cast<char>(0x80 | (c & 0x3F));
            *written = 4;
            return 2;
        }
        c = 0xFFFD;
    }
    const size_t n = c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
    if (room < n) return 0;
    if (n == 1) {
        out[0] = static_cast<char>(c);
    } else if (n == 2) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
    }
    *written = n;
    return 1;
}

// A unit that is not a surrogate, with no branch on its length: dump text
// mixes one-, two- and three-byte characters at random, so a branch would be
// mispredicted half the time. Always stores four bytes; counts the right ones.
inline size_t PutBmpUnit(uint32_t c, char* out) {
    const uint32_t two = c >= 0x80, three = c >= 0x800;
    const uint32_t b2 = (0xC0 | (c >> 6)) | ((0x80 | (c & 0x3F)) << 8);
    const uint32_t b3 = (0xE0 | (c >> 12)) | ((0x80 | ((c >> 6) & 0x3F)) << 8) | ((0x80 | (c & 0x3F)) << 16);
    // Selected with masks: the compiler turns a conditional back into branches.
    const uint32_t atLeastTwo = 0u - two, isThree = 0u - three;
    const uint32_t bytes = (c & ~atLeastTwo) | (b2 & atLeastTwo & ~isThree) | (b3 & isThree);
    memcpy(out, &bytes, 4);
    return 1 + two + three;
}

// Four units (zero-extended to 32-bit lanes) as the four-byte stores
// PutBmpUnit makes, computed side by side; lengths holds each unit's byte count.
inline __m128i BmpWords(__m128i c, __m128i* lengths) {
    const __m128i low6 = _mm_set1_epi32(0x3F);
    const __m128i isTwo = _mm_cmpgt_epi32(c, _mm_set1_epi32(0x7F));     // two bytes or more
    const __m128i isThree = _mm_cmpgt_epi32(c, _mm_set1_epi32(0x7FF));  // three bytes
    const __m128i last = _mm_and_si128(c, low6);
    const __m128i middle = _mm_and_si128(_mm_srli_epi32(c, 6), low6);
    // 110xxxxx 10xxxxxx and 1110xxxx 10xxxxxx 10xxxxxx, first byte lowest.
    const __m128i two = _mm_or_si128(_mm_or_si128(_mm_srli_epi32(c, 6), _mm_slli_epi32(last, 8)),
                                     _mm_set1_epi32(0x80C0));
    const __m128i three = _mm_or_si128(
        _mm_or_si128(_mm_srli_epi32(c, 12), _mm_slli_epi32(middle, 8)),
        _mm_or_si128(_mm_slli_epi32(last, 16), _mm_set1_epi32(0x8080E0)));
    // Counting from 1: each true comparison is -1 in its lane.
    *lengths = _mm_sub_epi32(_mm_sub_epi32(_mm_set1_epi32(1), isTwo), isThree);
    const __m128i onlyTwo = _mm_andnot_si128(isThree, isTwo);
    return _mm_or_si128(_mm_or_si128(_mm_andnot_si128(isTwo, c), _mm_and_si128(onlyTwo, two)),
                        _mm_and_si128(isThree, three));
}

// Eight units without surrogates: their encodings made side by side, then
// stored one after the other, each four bytes wide and kept as far as its
// length. Needs 25 bytes of room. Returns the bytes that count.
inline size_t PutBmpBlock(__m128i units, char* out) {
    const __m128i zero = _mm_setzero_si128();
    __m128i lowLengths, highLengths;
    alignas(16) uint32_t words[8];
    _mm_store_si128(reinterpret_cast<__m128i*>(words), BmpWords(_mm_unpacklo_epi16(units, zero), &lowLengths));
    _mm_store_si128(reinterpret_cast<__m128i*>(words + 4), BmpWords(_mm_unpackhi_epi16(units, zero), &highLengths));
    // Eight lengths of 1..3 as eight bytes of one scalar.
    const __m128i lengths16 = _mm_packs_epi32(lowLengths, highLengths);
    const uint64_t lengths = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_packus_epi16(lengths16, lengths16)));
    size_t o = 0;
    for (int k = 0; k < 8; ++k) {
        memcpy(out + o, &words[k], 4);
        o += (lengths >> (8 * k)) & 0xFF;
    }
    return o;
}

// Where the process keeps its standard output handle, the field GetStdHandle
// reads and SetStdHandle writes: QPuts runs twice per dump line, and the four
// dependent loads of the call cost as much as a short copy. Used only when
// it agrees with GetStdHandle at start-up.
HANDLE* FindStandardOutputSlot() {
    const auto* peb = reinterpret_cast<const char*>(NtCurrentTeb()->ProcessEnvironmentBlock);
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

// Whether the processor has SSSE3's byte shuffle, asked before the
// library's own constructors may rely on it.
bool CpuHasSsse3() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("ssse3");
}
bool HaveSsse3 = CpuHasSsse3();

// Byte shuffles that gather the bytes in use of four 32-bit lanes of
// BmpWords, one character after another; indexed by the lanes' "two bytes or
// more" bits (low four) and "three bytes" bits (high four).
struct PackTable {
    uint8_t masks[256][16];
    uint8_t lengths[256];
    constexpr PackTable() : masks(), lengths() {
        for (int index = 0; index < 256; ++index) {
            int o = 0;
            for (int k = 0; k < 16; ++k) masks[index][k] = 0x80;
            for (int lane = 0; lane < 4; ++lane) {
                const int n = 1 + ((index >> lane) & 1) + ((index >> (lane + 4)) & 1);
                for (int b = 0; b < n && o < 16; ++b) masks[index][o++] = static_cast<uint8_t>(4 * lane + b);
            }
            lengths[index] = static_cast<uint8_t>(o);
        }
    }
};
constexpr PackTable Packs;

// PutBmpBlock with SSSE3: each half's bytes gathered by one shuffle instead
// of eight stores one after the other. Needs 28 bytes of room.
__attribute__((target("ssse3"), noinline)) size_t PutBmpBlockSsse3(__m128i units, char* out) {
    const __m128i zero = _mm_setzero_si128();
    size_t o = 0;
    const __m128i halves[2] = {_mm_unpacklo_epi16(units, zero), _mm_unpackhi_epi16(units, zero)};
    for (const __m128i half : halves) {
        __m128i lengths;
        const __m128i words = BmpWords(half, &lengths);
        const __m128i isTwo = _mm_cmpgt_epi32(half, _mm_set1_epi32(0x7F));
        const __m128i isThree = _mm_cmpgt_epi32(half, _mm_set1_epi32(0x7FF));
        const unsigned index = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(isTwo))) |
                               static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(isThree))) << 4;
        const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Packs.masks[index]));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_shuffle_epi8(words, mask));
        o += Packs.lengths[index];
    }
    return o;
}

// UTF-8 by hand: the system conversion costs more per dump line than building
// the line. Eight units at a time while there is room for the most they can
// need: a block of ASCII (the address and values of a dump line) is narrowed
// in one step, a block without surrogates (the text field) is encoded side by
// side without branches, anything else takes the general path.
// Returns the bytes written, or 0 when they do not fit.
size_t EncodeUtf8(const wchar_t* text, size_t length, char* out, size_t capacity) {
    // 8 units need at most 24 bytes; the four-byte stores and a pair that
    // ends one unit past the block need at most 25.
    constexpr size_t BlockRoom = 28;
    const __m128i zero = _mm_setzero_si128();
    const __m128i notAscii = _mm_set1_epi16(static_cast<short>(0xFF80));
    const __m128i surrogateMask = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i surrogateBits = _mm_set1_epi16(static_cast<short>(0xD800));
    size_t i = 0, o = 0;
    auto ascii = [&](__m128i units) {
        return _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, notAscii), zero)) == 0xFFFF;
    };
    while (length - i >= 8 && capacity - o >= BlockRoom) {
        const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        if (ascii(units)) {
            // Two blocks of ASCII at once while they last (the address and
            // values of a dump line), else this one.
            if (length - i >= 16 && capacity - o >= BlockRoom + 8) {
                const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i + 8));
                if (ascii(next)) {
                    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + o), _mm_packus_epi16(units, next));
                    i += 16;
                    o += 16;
                    continue;
                }
            }
            _mm_storel_epi64(reinterpret_cast<__m128i*>(out + o), _mm_packus_epi16(units, units));
            i += 8;
            o += 8;
            continue;
        }
        if (!_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(units, surrogateMask), surrogateBits))) {
            o += HaveSsse3 ? PutBmpBlockSsse3(units, out + o) : PutBmpBlock(units, out + o);
            i += 8;
            continue;
        }
        // A pair may reach one unit past the block; the room covers it.
        for (const size_t stop = i + 8; i < stop;) {
            size_t written = 0;
            i += EncodeOneUtf8(text, length, i, out + o, capacity - o, &written);
            o += written;
        }
    }
    // The last few units: a line's text field often ends here, so the
    // branch-free form again while there is room for its four-byte stores.
    while (i < length) {
        const uint32_t c = text[i];
        if ((c & 0xF800) != 0xD800 && capacity - o >= 4) {
            o += PutBmpUnit(c, out + o);
            ++i;
            continue;
        }
        size_t written = 0;
        const size_t used = EncodeOneUtf8(text, length, i, out + o, capacity - o, &written);
        if (used == 0) return 0;
        i += used;
        o += written;
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

// ---- Redirected standard output --------------------------------------------
// Text for redirected standard output is collected as UTF-16 in chunks. A
// chunk holds whole calls, for one handle and one mode, and never a high
// surrogate of one call next to a low surrogate of the next, so encoding the
// chunk at once gives exactly the bytes that encoding each call would.
//
// Short runs stay on one thread: the chunk being filled is written at the next
// flush. A run that fills a chunk starts the writer thread, which from then on
// encodes and writes every full chunk while the caller fills the next one.
// Under Wine each event costs round trips to the server, so chunks are large
// and both sides first wait by yielding and only then on an event.

constexpr size_t ChunkUnits = 256 * 1024;  // 512 KiB of UTF-16
constexpr uint64_t SlotCount = 3;
// Encoded and written in slices, so the bytes are still in the cache when
// they are written.
constexpr size_t SliceUnits = 64 * 1024;
constexpr size_t SliceBytes = SliceUnits * 4 + 32;  // the most any mode needs, with EncodeUtf8's block room
constexpr int SpinLimit = 2000;

// The most bytes a chunk can take in any mode: three per unit in UTF-8.
constexpr size_t ChunkBytes = ChunkUnits * 3 + 32;

struct Chunk {
    HANDLE handle;
    OutputMode mode;
    size_t units;
    // The bytes of the whole chunk when the caller encoded it (see EndChunk),
    // else 0 and the writer encodes it slice by slice.
    size_t encoded;
    wchar_t text[ChunkUnits];
    char bytes[ChunkBytes];
};
Chunk Slots[SlotCount];

// Chunks handed over and chunks written; the caller fills Slots[Submitted %
// SlotCount], which is free while fewer than SlotCount chunks are pending.
uint64_t Submitted = 0;
uint64_t Done = 0;

// The writer claims each slice (chunk index and units) here just before
// writing it, and marks it in Finished once written. Whoever takes over from a
// writer that is gone (the end of the process ends it without notice)
// exchanges in Stopped and writes what was never claimed: nothing is written
// twice, and only a slice that was being written when the writer was ended
// can be lost.
uint64_t Progress = 0;
uint64_t Finished = 0;
constexpr uint64_t Stopped = ~uint64_t{0};
static_assert(ChunkUnits < (uint64_t{1} << 20), "units must fit the low bits of Progress");
uint64_t Claim(uint64_t chunk, size_t units) { return (chunk << 20) | units; }

// The thread, its events and the pinned library last as long as the process:
// the thread runs until the process ends it.
HANDLE Writer = nullptr;
HANDLE WorkEvent = nullptr;  // set for a writer waiting for a chunk
HANDLE RoomEvent = nullptr;  // set for a caller waiting for the writer
LONG WriterWaiting = 0, CallerWaiting = 0;
bool WriterTried = false;    // start it once; a failure means writing here
bool WriterStopped = false;  // taken over: everything is written here again

char WriterBytes[SliceBytes];
char CallerBytes[SliceBytes];

uint64_t Load(const uint64_t& value) { return __atomic_load_n(&value, __ATOMIC_SEQ_CST); }

// Waits until ready() holds: first by yielding, then on the event, with the
// flag telling the other side to set it. With thread, ends early (false) when
// that thread has ended.
template <typename Ready>
bool Await(Ready ready, LONG* waiting, HANDLE event, HANDLE thread) {
    for (int spin = 0; spin < SpinLimit; ++spin) {
        if (ready()) return true;
        SwitchToThread();
    }
    for (;;) {
        __atomic_store_n(waiting, 1, __ATOMIC_SEQ_CST);
        if (ready()) {
            __atomic_store_n(waiting, 0, __ATOMIC_SEQ_CST);
            return true;
        }
        const HANDLE handles[2] = {event, thread};
        const DWORD r = WaitForMultipleObjects(thread ? 2 : 1, handles, FALSE, INFINITE);
        if (r != WAIT_OBJECT_0) {
            __atomic_store_n(waiting, 0, __ATOMIC_SEQ_CST);
            if (ready()) return true;
            if (thread) return false;
            Sleep(1);  // the wait itself failed: never spin hot
        }
    }
}

void Wake(LONG* waiting, HANDLE event) {
    if (__atomic_exchange_n(waiting, 0, __ATOMIC_SEQ_CST)) SetEvent(event);
}

// Units of the chunk from unit from on that go into one slice; a valid pair
// is never split, so slices encode as the whole would.
size_t SliceLength(const Chunk& c, size_t from) {
    const size_t rest = c.units - from;
    if (c.mode == OutputMode::Unicode || rest <= SliceUnits) return rest;
    return IsHighSurrogate(c.text[from + SliceUnits - 1]) ? SliceUnits - 1 : SliceUnits;
}

// The bytes of a slice: the units themselves in Unicode mode, else encoded
// into bytes. Returns their size, 0 when they cannot be encoded.
size_t SliceBytesOf(const Chunk& c, size_t from, size_t n, char* bytes, const void** data) {
    if (c.mode == OutputMode::Unicode) {
        *data = c.text + from;
        return n * 2;
    }
    *data = bytes;
    return Encode(c.mode, c.text + from, n, bytes, SliceBytes);
}

DWORD WriteSlice(const Chunk& c, size_t from, size_t n, char* bytes) {
    const void* data = nullptr;
    const size_t size = SliceBytesOf(c, from, n, bytes, &data);
    return size > 0 ? WriteAll(c.handle, data, size) : ERROR_WRITE_FAULT;
}

// Writes the chunk from unit from on, on the calling thread. After a failure
// the rest is dropped: the output already has a hole, and the error tells.
void WriteChunk(Chunk& c, size_t from) {
    if (c.encoded) {
        // Encoded as a whole, it is claimed as a whole: from is 0 or the end.
        if (from == 0 && !Failure())
            if (const DWORD error = WriteAll(c.handle, c.bytes, c.encoded)) NoteFailure(error);
    } else {
        while (from < c.units && !Failure()) {
            const size_t n = SliceLength(c, from);
            if (const DWORD error = WriteSlice(c, from, n, CallerBytes)) NoteFailure(error);
            from += n;
        }
    }
    c.units = 0;
    c.encoded = 0;
}

// False once the writer has been taken over.
bool ClaimNext(uint64_t from, uint64_t to) {
    return __atomic_compare_exchange_n(&Progress, &from, to, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
}

DWORD WINAPI WriterMain(void*) {
    for (uint64_t chunk = 0;; ++chunk) {
        Await([chunk] { return Load(Submitted) > chunk; }, &WriterWaiting, WorkEvent, nullptr);
        Chunk& c = Slots[chunk % SlotCount];
        // After a failed write the chunks are only counted off, so that the
        // caller, which learns of the failure at its next call, never waits.
        // A chunk the caller encoded is one slice.
        if (c.encoded) {
            const bool failed = Failure() != 0;
            if (!ClaimNext(Claim(chunk, 0), Claim(chunk, c.units))) return 0;
            if (!failed)
                if (const DWORD error = WriteAll(c.handle, c.bytes, c.encoded)) NoteFailure(error);
            __atomic_store_n(&Finished, Claim(chunk, c.units), __ATOMIC_SEQ_CST);
        }
        for (size_t from = c.encoded ? c.units : 0; from < c.units;) {
            const size_t n = SliceLength(c, from);
            const void* data = nullptr;
            const bool failed = Failure() != 0;
            const size_t size = failed ? 0 : SliceBytesOf(c, from, n, WriterBytes, &data);
            if (!ClaimNext(Claim(chunk, from), Claim(chunk, from + n))) return 0;
            if (!failed) {
                const DWORD error = size > 0 ? WriteAll(c.handle, data, size) : ERROR_WRITE_FAULT;
                if (error) NoteFailure(error);
            }
            __atomic_store_n(&Finished, Claim(chunk, from + n), __ATOMIC_SEQ_CST);
            from += n;
        }
        if (!ClaimNext(Claim(chunk, c.units), Claim(chunk + 1, 0))) return 0;
        __atomic_store_n(&Finished, Claim(chunk + 1, 0), __ATOMIC_SEQ_CST);
        c.units = 0;
        c.encoded = 0;
        __atomic_store_n(&Done, chunk + 1, __ATOMIC_SEQ_CST);
        Wake(&CallerWaiting, RoomEvent);
    }
}

bool WriterRunning() { return Writer && !WriterStopped; }

bool StartWriter() {
    if (WriterTried) return WriterRunning();
    WriterTried = true;
    // The thread runs code of this library until the process ends, so the
    // library must stay loaded even after its last FreeLibrary.
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCWSTR>(&WriterMain), &self))
        return false;
    WorkEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    RoomEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (WorkEvent && RoomEvent) Writer = CreateThread(nullptr, 0, WriterMain, nullptr, 0, nullptr);
    if (Writer) return true;
    if (WorkEvent) CloseHandle(WorkEvent);
    if (RoomEvent) CloseHandle(RoomEvent);
    WorkEvent = RoomEvent = nullptr;
    return false;
}

// The writer is gone, or must be treated so: writes, here and without
// waiting, every pending chunk from where the writer's claims end.
void TakeOver() {
    if (!Writer || WriterStopped) return;
    WriterStopped = true;
    const uint64_t claimed = __atomic_exchange_n(&Progress, Stopped, __ATOMIC_SEQ_CST);
    // A writer told to stop in the middle of a write may still be finishing
    // it; what follows must land after it. Briefly: it may be gone already.
    for (const DWORD start = GetTickCount(); Load(Finished) != claimed && GetTickCount() - start < 100;)
        SwitchToThread();
    const uint64_t submitted = Load(Submitted);
    for (uint64_t chunk = claimed >> 20; chunk < submitted; ++chunk)
        WriteChunk(Slots[chunk % SlotCount], chunk == claimed >> 20 ? static_cast<size_t>(claimed & 0xFFFFF) : 0);
    __atomic_store_n(&Done, submitted, __ATOMIC_SEQ_CST);
}

// The slot being filled, Slots[Submitted % SlotCount], kept as a pointer: it
// is asked for twice per dump line.
Chunk* FillingSlot = &Slots[0];
Chunk& Filling() { return *FillingSlot; }

// Ends the chunk being filled: hands it to the writer, starting the writer
// when the chunk is well filled, or else writes it here.
void EndChunk() {
    Chunk& c = Filling();
    if (c.units == 0) return;
    if (!WriterRunning() && (c.units < ChunkUnits / 2 || !StartWriter())) {
        WriteChunk(c, 0);
        return;
    }
    // With every other slot still pending the caller would only wait for the
    // writer: it encodes this chunk itself meanwhile, and the writer just
    // writes it. Encoding is most of the writer's work, so the two share it
    // whenever the writer is the slower. (0 when it cannot be encoded: then
    // the writer tries and reports it.)
    if (c.mode != OutputMode::Unicode && Submitted + 1 - Load(Done) >= SlotCount)
        c.encoded = Encode(c.mode, c.text, c.units, c.bytes, ChunkBytes);
    __atomic_store_n(&Submitted, Submitted + 1, __ATOMIC_SEQ_CST);
    FillingSlot = &Slots[Submitted % SlotCount];
    Wake(&WriterWaiting, WorkEvent);
    // The next slot must be free before it is filled.
    if (!Await([] { return Load(Submitted) - Load(Done) < SlotCount; }, &CallerWaiting, RoomEvent, Writer))
        TakeOver();
}

DWORD WriteBuffered(HANDLE h, OutputMode mode, const wchar_t* text, size_t length) {
    Chunk* c = &Filling();
    if (c->units > 0 && c->handle != h) FlushStandardOutput();
    if (length > ChunkUnits) {
        FlushStandardOutput();
        return Failure() ? Failure() : WriteEncoded(h, mode, text, length);
    }
    c = &Filling();
    if (c->units > 0) {
        // A high surrogate ending one call and a low one starting the next are
        // two lone surrogates; in one chunk they would be encoded as a pair.
        const bool joinsPair = mode != OutputMode::Unicode && IsHighSurrogate(c->text[c->units - 1]) &&
                               IsLowSurrogate(text[0]);
        if (c->mode != mode || joinsPair || length > ChunkUnits - c->units) {
            EndChunk();
            // The writer may have met a failure while the caller waited for it.
            if (Failure()) return Failure();
            c = &Filling();
        }
    }
    c->handle = h;
    c->mode = mode;
    memcpy(c->text + c->units, text, length * sizeof(wchar_t));
    c->units += length;
    return 0;
}

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

// A text of a few units (a line ending, most often): a loop costs less
// than a call to the library's copy.
inline size_t CopyShort(wchar_t* to, const wchar_t* text, size_t length) {
    for (size_t k = 0; k < length; ++k) to[k] = text[k];
    return length;
}

// Copies the text at text (2-byte aligned) to to, measuring it on the way,
// and returns its length, or SIZE_MAX when it has more than room - 8 units
// (then what was stored does not count). Loads are aligned, so none reaches
// into a page the text does not touch; stores are whole blocks and may run up
// to 8 units past the text's end, hence the slack in room.
size_t CopyMeasured(wchar_t* to, const wchar_t* text, size_t room) {
    const __m128i zero = _mm_setzero_si128();
    const uintptr_t address = reinterpret_cast<uintptr_t>(text);
    const char* block = reinterpret_cast<const char*>(address & ~uintptr_t{15});
    const unsigned skip = static_cast<unsigned>(address & 15);
    unsigned zeros = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(block)), zero)));
    zeros &= 0xFFFFu << skip;
    if (zeros) return CopyShort(to, text, (__builtin_ctz(zeros) - skip) / 2);
    // The text goes on into the next block, so that block can be read and
    // the 16 bytes from the text's start with it.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_loadu_si128(reinterpret_cast<const __m128i*>(text)));
    for (size_t done = (16 - skip) / 2; done + 8 <= room - 8; done += 8) {
        block += 16;
        const __m128i units = _mm_load_si128(reinterpret_cast<const __m128i*>(block));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + done), units);
        zeros = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(units, zero)));
        if (zeros) return done + __builtin_ctz(zeros) / 2;
    }
    return SIZE_MAX;
}

// The usual call by far: more text for redirected standard output while its
// chunk is open in the known mode. Everything WriteText would check was
// settled when the chunk was opened, and per dump line (twice, with the line
// ending) those checks cost about as much as the copy. The text is measured
// while it is copied. False, with nothing counted, when WriteText must decide.
bool AppendToOpenChunk(HANDLE out, const wchar_t* text) {
    Chunk& c = Filling();
    if (out != LastStdout || c.units == 0 || c.handle != out || !ModeKnown || c.mode != KnownMode || Failure())
        return false;
    if ((reinterpret_cast<uintptr_t>(text) & 1) || !text[0]) return false;
    // The chunk's last unit only when it matters: it was stored moments ago
    // in a wider piece than this load, which would wait for the store.
    if (IsLowSurrogate(text[0]) && c.mode != OutputMode::Unicode && IsHighSurrogate(c.text[c.units - 1]))
        return false;
    // Blocks are stored whole: the last may reach 8 units past the text.
    const size_t room = ChunkUnits - c.units;
    if (room < 16) return false;
    const size_t length = CopyMeasured(c.text + c.units, text, room);
    if (length == SIZE_MAX) return false;
    c.units += length;
    return true;
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

void FlushStandardOutput() {
    // Everything handed to the writer goes out before what is still collected.
    if (WriterRunning() &&
        !Await([] { return Load(Done) == Load(Submitted); }, &CallerWaiting, RoomEvent, Writer))
        TakeOver();
    if (Filling().units > 0) WriteChunk(Filling(), 0);
}

void WriteOutputAtExit() {
    // By now the end of the process may have ended the writer in the middle
    // of a chunk, and waiting for it here could hang: what it has not claimed
    // is written here instead.
    TakeOver();
    if (Filling().units > 0) WriteChunk(Filling(), 0);
}

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
