// Command front end: argument tokenizer, numeric and code-page parsers, and
// the BYTORA command itself; the run settings it fills are in RunSettings.h.
#pragma once
#include <windows.h>
#include <cstdint>
#include "settings/RunSettings.h"

// ---- Tokenizer ------------------------------------------------------------
constexpr int MAX_ARG_LEN = 8192;
constexpr int MAX_ARGS = 1024;
extern wchar_t ArgBuffer[MAX_ARG_LEN];
extern wchar_t* ArgVector[MAX_ARGS];
extern int32_t ArgLength[MAX_ARGS];
extern int32_t ArgCount;
int TokenizeArguments(const wchar_t* tail);

// ---- Numeric values and code pages ---------------------------------------
int ParseUnsigned64(const wchar_t* text, uint64_t* result, const wchar_t** end);
int ParseSizeArgument(wchar_t* argument, int valueIndex, const wchar_t* name, uint64_t* result);
int ParseCodePage(wchar_t* argument, uint32_t* codePage, uint32_t* ebcdicCodePage);
int ParseCodePageNumber(const wchar_t* text, uint32_t* result);
// The 24 single-byte code pages with built-in tables, in table order.
extern const uint32_t SingleByteCodePages[24];

// ---- The command ----------------------------------------------------------
void ShowUsage(bool versions);
int HostOutputMode(void);

// The per-input dump the command drives; DumpInput unless a test swaps it.
typedef int (*DumpCallback)(const wchar_t* name, uint32_t flags, void* settings);
extern DumpCallback CommandDumpInput;
