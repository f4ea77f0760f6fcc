// Dump engine: dump lines, text field, header and totals of one input.
#pragma once
#include <cstdint>
#include "settings/RunSettings.h"
#include "input/Input.h"

int DumpInput(const wchar_t* name, uint32_t flags, void* settings);  // settings: DumpSettings*

extern const wchar_t* const UnitNames[9];   // index WordLen 1..8
extern const uint8_t ValueDigits[9][4];     // [WordLen][Format]

int WriteHeader(InputSource* source, const wchar_t* lineEnding, uint32_t flags);
int GroupDigits(wchar_t* buffer, size_t capacity);
const wchar_t* PluralUnit(uint64_t count, const wchar_t* unit);
const wchar_t* FileNamePart(const wchar_t* path);
