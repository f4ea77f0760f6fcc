// Exports of the stand-in host beyond the services the plug-in imports.
#pragma once
extern "C" {
// Writes out buffered standard output; the runner calls it after the command.
// 0, or -1 (the error as the last error) when a write to standard output
// failed since the last call; the failure is cleared for the next command.
int HostFlush(void);
// With sse2Only non-zero the UTF-8 encoder keeps to SSE2 even where the
// processor has SSSE3; 0 lets it use what it finds. For tests, which compare
// the two forms.
int HostLimitSimd(int sse2Only);
// Sets the largest description file (bytes) kept in memory between lookups;
// a larger one is read through for every lookup. Returns the previous limit.
// For tests, which compare the two ways.
unsigned long long HostLimitDescriptionCache(unsigned long long bytes);
// With a buffer, each text given to ExpandVariables is copied into it as it
// arrives (at most capacity - 1 units and the terminator), so that the last
// one stays; a null buffer stops the copying. For tests, which check what the
// plug-in asks the host.
void HostRecordExpansions(wchar_t* buffer, unsigned long long capacity);
}
