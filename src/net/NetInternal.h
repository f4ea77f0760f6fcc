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
// A download's connections, as sockets of this process, so that giving up on
// it can cut them (only under Wine; see ConnectionCut.cpp). Before the
// library connects, the worker notes the sockets that are there already; the
// status callback names the server's address; a cut closes the sockets that
// are new since then and are the download's: connected to that address
// (at the server's port, when one is named), or still connecting. Any thread
// may cut, as often as it likes.
struct CutPoint {
    static constexpr int Known = 64;
    SRWLOCK Lock = SRWLOCK_INIT;
    uintptr_t Seen[Known] = {};
    int Before = -1;       // how many were there; -1: none noted, or more than Known
    char Address[46] = {}; // the server's, as the library names it; empty: not known yet
    uint16_t Port = 0;     // the server's port; 0: any (an FTP server's data connections)
    int Most = 1;          // the download's connections at once
};
// The worker, before the library makes connections to the server at port:
// at most `most` of them at a time.
void NoteSockets(CutPoint* point, uint16_t port, int most);
void NoteServer(CutPoint* point, const char* address);
void CutConnection(CutPoint* point);
