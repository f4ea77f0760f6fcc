// Pieces the files of the network room share; no other room includes this.
#pragma once
#include "net/Net.h"

#include <wininet.h>
#include <atomic>

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
// The length a reply announced by those rules; -1 when it announced none
// (chunked, to the end of the connection) or its framing is broken.
long long AnnouncedLength(HINTERNET request);
// The status line the library makes up for a reply without one.
bool MadeUpStatusLine(HINTERNET request);
// The number at the start of the FTP server's last reply, 0 when none.
int LastFtpReply();

// ---- Cutting a connection (ConnectionCut.cpp) ------------------------------
// The connection of a download's current request, as a socket of this
// process, so that giving up on the download can cut it (only under Wine;
// see ConnectionCut.cpp). The worker notes the sockets connected to the
// server when the library starts to connect and, once it has connected,
// takes the one that is new; whoever gives up cuts it, once.
struct CutPoint {
    static constexpr int Known = 16;
    uintptr_t Seen[Known] = {};  // the worker's
    int Before = 0;
    uint16_t Port = 0;                  // its local port, written before Socket
    std::atomic<uintptr_t> Socket{0};  // 0: none known
};
void NoteConnecting(CutPoint* point, const char* address, uint16_t port);
void NoteConnected(CutPoint* point, const char* address, uint16_t port);
void CutConnection(CutPoint* point);
