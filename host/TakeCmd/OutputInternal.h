// Shared by the stand-in host's output files (Output.cpp, Utf8Encoder.cpp,
// OutputWriter.cpp); not exported.
#pragma once
#include "HostInternal.h"
#include <cstdint>

namespace host {

// The standard output handle that collected text and a failure belong to.
extern HANDLE LastStdout;
// The output mode the writers keep (see Output.cpp).
extern bool ModeKnown;
extern OutputMode KnownMode;

// The first failed write to standard output, 0 while all is well.
extern DWORD OutputError;
inline DWORD Failure() { return __atomic_load_n(&OutputError, __ATOMIC_ACQUIRE); }
void NoteFailure(DWORD error);

inline bool IsHighSurrogate(uint32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
inline bool IsLowSurrogate(uint32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Utf8Encoder.cpp. HaveSsse3 may be cleared to keep the encoder to SSE2.
bool CpuHasSsse3();
extern bool HaveSsse3;
size_t EncodeUtf8(const wchar_t* text, size_t length, char* out, size_t capacity);
size_t Utf8Size(const wchar_t* text, size_t length);

// Output.cpp: writing and encoding by mode; 0 or the error of the write.
DWORD WriteAll(HANDLE h, const void* data, size_t size);
size_t Encode(OutputMode mode, const wchar_t* text, size_t length, char* out, size_t capacity);
DWORD WriteEncoded(HANDLE h, OutputMode mode, const wchar_t* text, size_t length);

// OutputWriter.cpp: text collected for redirected standard output.
DWORD WriteBuffered(HANDLE h, OutputMode mode, const wchar_t* text, size_t length);
bool AppendToOpenChunk(HANDLE out, const wchar_t* text);
void WriteOutputAtExit();

}  // namespace host
