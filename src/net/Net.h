// The network: web and FTP addresses fetched into a temporary file with the
// system's internet library, and where an address and its redirects lead.
// The room uses the plug-in shell alone; input acquisition (input/) opens
// what it fetched.
#pragma once
#include <windows.h>
#include <cstdint>

// Downloads an address to a temporary file (name buffer of 32768 units).
int DownloadUrl(const wchar_t* url, wchar_t* tempFileName);
// How long a server may stay silent before a download fails (milliseconds).
constexpr uint32_t DownloadSilenceLimit = 30000;
// DownloadUrl with the silence limit given. With file non-null the
// temporary file stays open in *file and goes away with its last handle,
// even when the process is ended from outside. A failure that its code alone
// does not explain (a transfer coding, a length) is told in reason
// (ReasonUnits units, empty otherwise), when given.
constexpr uint32_t ReasonUnits = 1024;
int FetchUrl(const wchar_t* url, wchar_t* tempFileName, HANDLE* file, uint32_t silenceMs, wchar_t* reason = nullptr);
// The system's code for a reply whose coding cannot be undone (missing from
// some headers of the system's).
constexpr uint32_t ErrorDecodingFailed = 12175;

// ---- Addresses -------------------------------------------------------------
// The longest address fetched, typed or a redirect's target: what the
// command's argument buffer holds (8,191 characters and the terminator).
constexpr uint32_t MaxUrlLength = 8191;
// The address reference leads to from base (RFC 3986 section 5.2; "http:g"
// from an "http:" base is relative) into target, of units units. A null base
// takes reference as it is, without its dot segments. 0, or
// ERROR_INTERNET_INVALID_URL when there is no scheme or the address does not fit.
uint32_t ResolveUrl(const wchar_t* base, const wchar_t* reference, wchar_t* target, size_t units);
// ResolveUrl for a request: without the fragment, and "/" for an empty path
// after an authority.
uint32_t RequestUrl(const wchar_t* base, const wchar_t* reference, wchar_t* target, size_t units);
