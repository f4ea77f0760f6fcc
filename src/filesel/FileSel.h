// File-selection library: enumeration driver, list files, selection
// options, range filters and path resolution.
#pragma once
#include <windows.h>
#include <cstdint>

typedef int (*FileCallback)(const wchar_t* fileName, uint32_t callbackFlags, void* callbackData);

enum : uint32_t {
    FH_RECURSE = 0x1,
    FH_SKIP_JUNCTIONS = 0x2,
    FH_SKIP_HIDDEN_DIRS = 0x4,
    FH_SKIP_SYSTEM_DIRS = 0x8,
    FH_DIRS_FIRST = 0x10,
    FH_QUIET = 0x100,
    FH_RESOLVED = 0x200,
    FH_ALTERNATIVES = 0x400,
    FH_PASS_STDIN = 0x800,
    FH_MATCH_DOTS = 0x1000,
    FH_PASS_CLIPBOARD = 0x2000,
    FH_LIST_FILES = 0x4000,
    FH_PASS_URLS = 0x8000,
    FH_EXCEPTION_200 = 0x800000,
};

enum : uint32_t {
    RESOLVE_ALTERNATIVES = 0x1,
    RESOLVE_HOME = 0x2,
};

// Range filter nodes: every variant starts with this header.
struct Range {
    Range* next;
    wchar_t type;
};
enum TimeStamp : uint16_t { Write = 0, Access = 1, Creation = 2 };
struct SizeRange : Range { int32_t reverse; uint64_t minSize; uint64_t maxSize; };
struct TimeRange : Range { int32_t reverse; uint16_t stamp; uint32_t startSecond; uint32_t endSecond; };
struct DateRange : Range { int32_t reverse; uint16_t stamp; uint32_t startDay; uint32_t endDay; uint32_t startSecond; uint32_t endSecond; };
struct DowRange : Range { uint16_t stamp; uint16_t days; };
struct ExclusionRange : Range { wchar_t pattern[1]; };
struct DescriptionRange : Range { int32_t reverse; wchar_t pattern[1]; };
struct OwnerRange : Range { int32_t reverse; wchar_t pattern[1]; };
void FreeRanges(Range* list);  // also closes what the run's description lookups kept open

int FileHandler(const wchar_t* fileSpec, uint32_t callbackFlags, void* callbackData, FileCallback callback,
                uint32_t handlerFlags, uint32_t attributeMask, uint32_t attributeValue, Range* ranges,
                int32_t minDepth, int32_t maxDepth);
int ReadListFile(const wchar_t* listName, uint32_t callbackFlags, void* callbackData, FileCallback callback,
                 uint32_t handlerFlags);
int MatchPattern(const wchar_t* pattern, const wchar_t* name, bool alternatives);
int LongPathPrefix(wchar_t* name);   // capacity 32768
void TrimWhiteSpace(wchar_t* text);
int SystemErrorText(int code, wchar_t* buffer);  // buffer: 1024 units

int ParseFileSelectionOption(wchar_t* argument, uint32_t* attributeMask, uint32_t* attributeValue,
                             uint32_t* handlerFlags, int32_t* minDepth, int32_t* maxDepth, Range** ranges);
int ParseRangeOption(wchar_t* argument, Range** ranges);
// "/I" and "/!I": text after the option letters; "]" alone adds nothing.
int ParseDescriptionOption(const wchar_t* text, int reverse, Range** ranges);
int MatchRanges(const WIN32_FIND_DATAW* entry, const wchar_t* directory, Range* ranges);
// 1601-01-01 is day 1; day mod 7 is the weekday, 0 Sunday.
uint32_t DayNumber(uint32_t year, uint32_t month, uint32_t day);
void FileDescription(const wchar_t* fullName, wchar_t* description);  // description: 8192 units
void FileOwner(const wchar_t* fullName, wchar_t* owner);              // owner: 16385 units; "DOMAIN\name"

int ResolvePath(const wchar_t* spec, wchar_t* out, uint32_t mode);
int ExpandHome(wchar_t* path);
int HomeDirectory(wchar_t* out);
int JoinPath(wchar_t* directory, const wchar_t* name);
