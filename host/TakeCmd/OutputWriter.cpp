// Redirected standard output of the stand-in host: the chunks text is
// collected in and the writer thread that encodes and writes them.
#include "HostInternal.h"
#include "OutputInternal.h"

#include <cstdint>
#include <cstring>
#include <emmintrin.h>

namespace host {
namespace {

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

}  // namespace

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
namespace {

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

}  // namespace

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

}  // namespace host
