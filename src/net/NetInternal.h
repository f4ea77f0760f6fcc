// Pieces the files of the network room share; no other room includes this.
#pragma once
#include "net/Net.h"

#include <wininet.h>

// ---- The transfer (Transfer.cpp) --------------------------------------------
// Runs one download's worker and writes what it hands over into file, until
// it is done, the user breaks off, the server is silent for silenceMs, or a
// write fails: 0, an error code, or a negated HTTP status. reason: as for
// FetchUrl, or null.
DWORD RunTransfer(const wchar_t* url, bool http, DWORD silenceMs, HANDLE file, wchar_t* reason);

// ---- The reply (HttpReply.cpp) ----------------------------------------------
// The numeric HTTP status, 0 when it cannot be read.
DWORD HttpStatus(HINTERNET request);
bool IsRedirect(DWORD status);
// A status that ends the download: the result is the status negated.
DWORD StatusResult(DWORD status);
// Whether a reply's Location may have been cut by the library.
bool LocationMayBeCut(const wchar_t* location);
// A chunked reply on a connection the server keeps open.
bool KeepsConnection(HINTERNET request);
// The body's length by HTTP's rules: 0 for none, the length, or -1 when it
// runs to the end of the connection or of its chunks (*chunked); else the
// failure, named in reason (ReasonUnits units).
DWORD BodyLength(HINTERNET request, DWORD status, long long* length, bool* chunked, wchar_t* reason);
// The status line the library makes up for a reply without one.
bool MadeUpStatusLine(HINTERNET request);
// The number at the start of the FTP server's last reply, 0 when none.
int LastFtpReply();
