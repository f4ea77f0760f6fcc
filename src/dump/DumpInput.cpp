// PLACEHOLDER (owned by the dump helper; replace entirely).
#include "dump/Dump.h"
int DumpInput(const wchar_t*, uint32_t, void*) { return -1; }
const wchar_t* const UnitNames[9] = {L"", L"byte", L"word", L"triad", L"doubleword", L"pentad", L"hexad", L"heptad", L"quadword"};
const uint8_t ValueDigits[9][4] = {};
int WriteHeader(InputSource*, const wchar_t*, uint32_t) { return 0; }
int GroupDigits(wchar_t*, size_t) { return 2; }
const wchar_t* PluralUnit(uint64_t, const wchar_t* unit) { return unit; }
const wchar_t* FileNamePart(const wchar_t* path) { return path; }
