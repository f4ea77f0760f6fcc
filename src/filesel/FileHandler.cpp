// PLACEHOLDER (owned by the file-selection helper; replace entirely).
#include "filesel/FileSel.h"
int FileHandler(const wchar_t* spec, uint32_t f, void* d, FileCallback cb, uint32_t, uint32_t, uint32_t, Range*, int32_t, int32_t) { return cb ? cb(spec, f, d) : -1; }
int ReadListFile(const wchar_t*, uint32_t, void*, FileCallback, uint32_t) { return -1; }
int MatchPattern(const wchar_t*, const wchar_t*, bool) { return -2; }
int LongPathPrefix(wchar_t*) { return -1; }
void TrimWhiteSpace(wchar_t*) {}
int SystemErrorText(int, wchar_t* b) { if (b) b[0] = 0; return 0; }
int MatchRanges(const WIN32_FIND_DATAW*, const wchar_t*, Range*) { return 0; }
void FreeRanges(Range*) {}
int ResolvePath(const wchar_t*, wchar_t*, uint32_t) { return -1; }
int ExpandHome(wchar_t*) { return 0; }
int HomeDirectory(wchar_t* out) { if (out) out[0] = 0; return -1; }
int JoinPath(wchar_t*, const wchar_t*) { return -1; }
