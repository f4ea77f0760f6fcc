// The transfer of one address with the system's internet library, its
// bytes handed to the caller for the temporary file.
//
// The library's calls block for as long as a server keeps them waiting, and
// closing a handle does not end a call already blocked in it everywhere. So
// a worker thread makes every library call and hands the bytes over piece
// by piece; the calling thread writes them, watches for Ctrl-C and for a
// server that has gone silent, and can give up on the worker at once. A
// worker given up on ends by itself once its blocked call returns (the
// library's own time-outs bound that) and frees what it holds.
#include "net/NetInternal.h"
#include "plugin/Plugin.h"
#include "plugin/Threads.h"
#include "plugin/Version.h"

#include <winsock2.h>
#include <atomic>
#include <cwchar>
#include <new>

namespace {

constexpr DWORD HttpOpenFlags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;  // 0x84000000
constexpr DWORD FtpOpenFlags = HttpOpenFlags | INTERNET_FLAG_PASSIVE;                  // 0x8C000000
// The library's cost per read call dominates small reads: take what has
// arrived, up to this much at a time.
constexpr DWORD Piece = 1 << 20;
// What the library holds back at most between reads: when that much has
// arrived at once, the data is flowing.
constexpr DWORD FlowingSign = 8192;
constexpr int MaxRedirects = 10;
constexpr DWORD UrlUnits = MaxUrlLength + 1;
constexpr DWORD PollMs = 50;

// One download, shared by the calling thread (the caller), the worker
// that makes the library's calls, and a closer that the caller may start
// when it gives up; freed by whichever lets go last. The library's status
// callback runs on whichever of them is in the library call it reports.
struct Transfer {
    LONG Refs = 2;  // every thread's own reference, counted with Interlocked calls
    // Set by the caller before the worker starts, read-only after.
    bool Http = true;
    DWORD SilenceMs = 0;  // also the library's time-out for every wait
    HANDLE Ready = nullptr;
    HANDLE Taken = nullptr;
    // The worker's alone once it runs.
    wchar_t Url[UrlUnits] = {};  // the address, then each redirect's target
    wchar_t Next[UrlUnits] = {};
    // A redirect's target as the server wrote it; the host, user and
    // password of the request, one after another.
    wchar_t Location[UrlUnits] = {};
    wchar_t Names[UrlUnits] = {};
    // Why the download failed, where the error code alone does not say; the
    // caller reads it only after it has seen Done.
    wchar_t Reason[ReasonUnits] = {};
    // Handed over by the events: the worker fills Buffer and Got, then sets
    // Ready; the caller owns them until it sets Taken (or gives up).
    BYTE* Buffer = nullptr;
    DWORD Got = 0;
    // The worker writes Result, then sets Done; the caller reads Result
    // only after it has seen Done.
    DWORD Result = 0;  // 0, an error code, or a negated HTTP status
    std::atomic<bool> Done{false};
    std::atomic<bool> Abandoned{false};  // caller to worker: the caller has given up
    std::atomic<DWORD> Activity{0};      // tick count of the server's last sign of life (worker and caller)
    std::atomic<bool> Flowing{false};    // worker to caller: in a read of a whole piece, the library watches for silence
    // Worker to the status callback: the body's request is being closed;
    // callback to worker: that closed its connection, and the reply read then.
    std::atomic<bool> ClosingBody{false};
    std::atomic<bool> ConnectionCutOff{false};
    std::atomic<int> FtpReply{-1};  // callback to worker: the FTP server's reply to the file, -1 until it came
    bool BodyRead = false;  // the worker's: the request's body was read to its end
    CutPoint Cut;           // the request's connections: the worker notes them, whoever gives up cuts them
    // The request being made, put here by the worker: whoever takes it out
    // of this slot (with an Interlocked exchange) closes it, so it is
    // closed exactly once. Giving up closes it on a closer thread, which is
    // how the library cancels a blocked call where it can.
    HINTERNET volatile Request = nullptr;
    Transfer* NextLive = nullptr;  // under LiveLock
};

// The transfers not yet freed, for the status callback: the library may
// still report on a handle after the transfer it belongs to is gone (an
// FTP file that it closes on a thread of its own). Linked through
// NextLive; the callback reads the list, and whoever frees a transfer
// takes it out first.
SRWLOCK LiveLock = SRWLOCK_INIT;
Transfer* LiveList = nullptr;

void AddLive(Transfer* t) {
    ExclusiveLock hold(&LiveLock);
    t->NextLive = LiveList;
    LiveList = t;
}

void Release(Transfer* t) {
    if (InterlockedDecrement(&t->Refs) != 0) return;
    {
        ExclusiveLock hold(&LiveLock);
        for (Transfer** p = &LiveList; *p; p = &(*p)->NextLive)
            if (*p == t) {
                *p = t->NextLive;
                break;
            }
    }
    if (t->Ready) CloseHandle(t->Ready);
    if (t->Taken) CloseHandle(t->Taken);
    LocalFree(t->Buffer);
    t->~Transfer();
    LocalFree(t);
}

void Touch(Transfer* t) { t->Activity = GetTickCount(); }
bool GivenUp(const Transfer* t) { return t->Abandoned; }

void CloseRequest(Transfer* t) {
    HINTERNET request = InterlockedExchangePointer(&t->Request, nullptr);
    if (request) InternetCloseHandle(request);
}

// Closes an internet handle exactly once, whichever way the scope is left.
struct OwnedInternet {
    HINTERNET h = nullptr;
    ~OwnedInternet() {
        if (h) InternetCloseHandle(h);
    }
};

void LetGoOfBody(Transfer* t);

// Closes the request in the slot, if still there, before the connection it
// belongs to (declared after it, so destroyed first).
struct RequestInSlot {
    Transfer* t;
    ~RequestInSlot() {
        if (t->Request && !t->BodyRead) LetGoOfBody(t);
        CloseRequest(t);
    }
};

// WINE: the library ends a body whose last chunk was never sent as if it
// were whole. What it does differently is keep the connection: a whole
// body's connection goes back to be used again, a cut one's is closed when
// the request is closed. An FTP file's closing reads the server's reply on
// whichever thread lets go of the file last, and the library keeps the
// last reply for that thread alone: it is taken here, on that thread. Under
// Wine it also notes the address of the server being connected to, and cuts
// a connection made after the download was given up on (the caller no
// longer waits to cut it).
void CALLBACK Watch(HINTERNET, DWORD_PTR context, DWORD status, void* info, DWORD) {
    const bool connecting = status == INTERNET_STATUS_CONNECTING_TO_SERVER;
    const bool connected = status == INTERNET_STATUS_CONNECTED_TO_SERVER;
    if (status != INTERNET_STATUS_CLOSING_CONNECTION && status != INTERNET_STATUS_RESPONSE_RECEIVED && !connecting &&
        !connected)
        return;
    AcquireSRWLockShared(&LiveLock);
    Transfer* t = LiveList;
    while (t && t != reinterpret_cast<Transfer*>(context)) t = t->NextLive;
    if (t && RunsUnderWine()) {
        // The server's address, as text.
        if (connecting && info) NoteServer(&t->Cut, static_cast<const char*>(info));
        if (connected && GivenUp(t)) CutConnection(&t->Cut);
    }
    if (t && t->ClosingBody) {
        if (status == INTERNET_STATUS_CLOSING_CONNECTION) t->ConnectionCutOff = true;
        int none = -1;
        if (status == INTERNET_STATUS_RESPONSE_RECEIVED && !t->Http)
            t->FtpReply.compare_exchange_strong(none, LastFtpReply());
    }
    ReleaseSRWLockShared(&LiveLock);
}

// The worker's side of the exchange: false when the caller has given up.
bool Hand(Transfer* t, DWORD got) {
    t->Got = got;
    Touch(t);
    SetEvent(t->Ready);
    WaitForSingleObject(t->Taken, INFINITE);
    return !GivenUp(t);
}

DWORD LastErrorOr(DWORD fallback) {
    DWORD error = GetLastError();
    return error ? error : fallback;
}

// A read that fails on the library's time-out may report the network's
// own code for it.
DWORD ReadFailure() {
    DWORD error = LastErrorOr(ERROR_INTERNET_CONNECTION_ABORTED);
    return error == WSAETIMEDOUT ? ERROR_INTERNET_TIMEOUT : error;
}

// How much of the body has arrived and can be read at once, 0 at its end.
// WINE: for an FTP file on which nothing was queued yet, the library waits
// until something comes and then fails with ERROR_IO_PENDING: at least a
// byte is there.
bool Arrived(HINTERNET request, DWORD* available) {
    *available = 0;
    if (InternetQueryDataAvailable(request, available, 0, 0)) return true;
    if (GetLastError() != ERROR_IO_PENDING) return false;
    *available = 1;
    return true;
}

// Copies the body piece by piece, no further than the length announced
// (-1: none); the library hands on whatever came with the reply's header,
// bytes past the body included. A read waits until it has all it asked
// for, which a slow server may take hours to send, and the library's cost
// per read makes small reads slow. So the worker first waits until
// something has arrived and reads about that much; only when a web
// server's data is flowing (a full buffer's worth has arrived) does it
// read a whole piece, watched for silence by the library's time-out alone.
DWORD CopyBody(Transfer* t, HINTERNET request, long long announced, unsigned long long* received) {
    // Reads that give nothing although data is said to be there: a library
    // that keeps saying so is not believed for ever, and these reads are no
    // sign of life from the server.
    constexpr int MaxEmptyReads = 4;
    for (int empty = 0;;) {
        if (GivenUp(t)) return ERROR_CANCELLED;
        const unsigned long long left = announced >= 0 ? announced - *received : ~0ull;
        if (left == 0) return 0;
        DWORD available = 0;
        if (!Arrived(request, &available)) return ReadFailure();
        const bool flowing = t->Http && available >= FlowingSign;
        // A web body's read asks for one byte more than has arrived: the
        // library then looks for the end of the body within the read, and
        // lets go of the connection there when it finds it; that byte
        // waits no longer than the server's next sign of life. Nothing
        // left: this read sees the body out.
        DWORD want = Piece;
        if (!flowing && available) want = t->Http ? available + 1 : available < Piece ? available : Piece;
        if (want > left) want = static_cast<DWORD>(left);
        t->Flowing = flowing;
        DWORD got = 0;
        const BOOL read = InternetReadFile(request, t->Buffer, want, &got);
        t->Flowing = false;
        if (!read) {
            const DWORD error = ReadFailure();
            Touch(t);
            return error;
        }
        if (got == 0) {
            if (available && ++empty < MaxEmptyReads) continue;
            return 0;
        }
        empty = 0;
        *received += got;
        if (!Hand(t, got)) return ERROR_CANCELLED;
    }
}


// Every phase (connecting, sending, waiting for and reading the reply).
void SetTimeouts(HINTERNET handle, DWORD ms) {
    static const DWORD Options[] = {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_SEND_TIMEOUT,
                                    INTERNET_OPTION_RECEIVE_TIMEOUT};
    for (DWORD option : Options) InternetSetOptionW(handle, option, &ms, sizeof ms);
}


// Copies a part the library found in the address to *free and moves *free
// past it; null for a part that is absent or empty.
const wchar_t* CopyPart(const wchar_t* part, DWORD length, wchar_t** free) {
    if (!part || !length) return nullptr;
    wchar_t* copy = *free;
    wmemcpy(copy, part, length);
    copy[length] = 0;
    *free += length + 1;
    return copy;
}

// WINE: the connections the library keeps for further requests (its own,
// the host's) are let go of: a request then connects afresh, and the socket
// of its connection is found.
void LetGoOfIdleConnections() {
    if (RunsUnderWine()) InternetSetOptionW(nullptr, INTERNET_OPTION_SETTINGS_CHANGED, nullptr, 0);
}

// Sends one GET for t->Url; the request goes into t->Request.
DWORD SendRequest(Transfer* t, HINTERNET root, OwnedInternet* connection) {
    // The parts are found as places in the address, so that none has a
    // limit of its own; being parts of it, they fit together in Names.
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = parts.dwUserNameLength = parts.dwPasswordLength = 1;
    parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
    if (!InternetCrackUrlW(t->Url, 0, 0, &parts)) return LastErrorOr(ERROR_INTERNET_INVALID_URL);
    wchar_t* free = t->Names;
    const wchar_t* host = CopyPart(parts.lpszHostName, parts.dwHostNameLength, &free);
    const wchar_t* user = CopyPart(parts.lpszUserName, parts.dwUserNameLength, &free);
    const wchar_t* password = CopyPart(parts.lpszPassword, parts.dwPasswordLength, &free);
    if (!host) return ERROR_INTERNET_INVALID_URL;
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    connection->h = InternetConnectW(root, host, parts.nPort, user, password, INTERNET_SERVICE_HTTP, 0,
                                     reinterpret_cast<DWORD_PTR>(t));
    if (!connection->h) return LastErrorOr(ERROR_INTERNET_CANNOT_CONNECT);
    SetTimeouts(connection->h, t->SilenceMs);
    // The path runs on into the query (the address has a path, and no
    // fragment: RequestUrl made it so).
    const wchar_t* path = parts.lpszUrlPath;
    static const wchar_t* const AnyType[] = {L"*/*", nullptr};
    const DWORD flags = HttpOpenFlags | INTERNET_FLAG_NO_AUTO_REDIRECT | (secure ? INTERNET_FLAG_SECURE : 0);
    HINTERNET request = HttpOpenRequestW(connection->h, L"GET", path, nullptr, nullptr, const_cast<const wchar_t**>(AnyType),
                                         flags, reinterpret_cast<DWORD_PTR>(t));
    if (!request) return LastErrorOr(ERROR_INTERNET_CANNOT_CONNECT);
    InterlockedExchangePointer(&t->Request, request);
    if (GivenUp(t)) return ERROR_CANCELLED;
    LetGoOfIdleConnections();
    if (RunsUnderWine()) NoteSockets(&t->Cut, parts.nPort, 1);
    if (!HttpSendRequestW(request, nullptr, 0, nullptr, 0)) return LastErrorOr(ERROR_INTERNET_CONNECTION_ABORTED);
    return 0;
}


// Where a redirect leads: 0 with t->Next set, or the result that ends the
// download.
DWORD RedirectTarget(Transfer* t, HINTERNET request, DWORD status) {
    DWORD bytes = sizeof t->Location, index = 0;
    if (!HttpQueryInfoW(request, HTTP_QUERY_LOCATION, t->Location, &bytes, &index))
        return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ERROR_INTERNET_INVALID_URL : StatusResult(status);
    t->Location[UrlUnits - 1] = 0;
    if (!t->Location[0]) return StatusResult(status);
    if (LocationMayBeCut(t->Location)) return ERROR_INTERNET_INVALID_URL;
    wchar_t* location = t->Next;
    if (RequestUrl(t->Url, t->Location, location, UrlUnits)) return ERROR_INTERNET_INVALID_URL;
    // Only web addresses are followed; any other target leaves the status
    // as the answer.
    if (StartsWithNoCase(location, L"http://")) {
        // What came over a secure connection is not fetched again in clear.
        if (StartsWithNoCase(t->Url, L"https://")) return ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR;
        return 0;
    }
    if (StartsWithNoCase(location, L"https://")) return 0;
    return StatusResult(status);
}

DWORD FetchHttp(Transfer* t, HINTERNET root) {
    for (int redirects = 0;; ++redirects) {
        if (GivenUp(t)) return ERROR_CANCELLED;
        OwnedInternet connection;
        t->BodyRead = false;
        RequestInSlot closing{t};
        Touch(t);
        DWORD error = SendRequest(t, root, &connection);
        if (error) return error;
        Touch(t);
        HINTERNET request = t->Request;
        DWORD status = HttpStatus(request);
        if (IsRedirect(status)) {
            error = RedirectTarget(t, request, status);
            if (error) return error;
            if (redirects == MaxRedirects) return ERROR_HTTP_REDIRECT_FAILED;
            wcscpy(t->Url, t->Next);
            continue;
        }
        // A reply without a status that can be read is no reply.
        if (status < 200 || MadeUpStatusLine(request)) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        // 3xx here is a redirect that is not followed: the resource was not fetched.
        if (status >= 300) return StatusResult(status);
        long long announced = -1;
        bool chunked = false;
        error = BodyLength(request, status, &announced, &chunked, t->Reason);
        if (error) return error;
        const bool checkChunks = chunked && KeepsConnection(request);
        unsigned long long received = 0;
        error = CopyBody(t, request, announced, &received);
        if (error) return error;
        // A connection that ends before the announced length is a broken
        // download, not a short file.
        if (announced >= 0 && received < static_cast<unsigned long long>(announced))
            return ERROR_INTERNET_CONNECTION_ABORTED;
        t->BodyRead = true;
        if (checkChunks) {
            t->ClosingBody = true;
            CloseRequest(t);
            if (t->ConnectionCutOff) return ERROR_INTERNET_CONNECTION_ABORTED;
        }
        return 0;
    }
}


DWORD FetchFtp(Transfer* t, HINTERNET root) {
    Touch(t);
    // Its connections: the commands' and the file's.
    if (RunsUnderWine()) NoteSockets(&t->Cut, 0, 2);
    HINTERNET request = InternetOpenUrlW(root, t->Url, nullptr, 0, FtpOpenFlags, reinterpret_cast<DWORD_PTR>(t));
    if (!request) return LastErrorOr(ERROR_INTERNET_CANNOT_CONNECT);
    InterlockedExchangePointer(&t->Request, request);
    if (GivenUp(t)) return ERROR_CANCELLED;
    Touch(t);
    unsigned long long received = 0;
    DWORD error = CopyBody(t, request, -1, &received);
    if (error) return error;
    // The data connection ends the same way whether the file was sent whole
    // or the server gave up on it; only its reply afterwards ("226" or
    // "426") tells, and closing the file is what reads that reply. A wait
    // for data that the library began on a thread of its own may still
    // hold the file; it is then closed there, as soon as that wait ends.
    t->ClosingBody = true;
    CloseRequest(t);
    for (const DWORD start = GetTickCount(); t->FtpReply < 0; Sleep(10)) {
        if (GivenUp(t)) return ERROR_CANCELLED;
        if (GetTickCount() - start >= t->SilenceMs) return ERROR_INTERNET_TIMEOUT;
    }
    return t->FtpReply >= 400 ? ERROR_INTERNET_CONNECTION_ABORTED : 0;
}

// WINE: holds the sockets library for the worker, which looks at the
// library's sockets (as the library holds it for its own).
struct SocketsInUse {
    bool held = false;
    SocketsInUse() {
        WSADATA data;
        held = RunsUnderWine() && WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~SocketsInUse() {
        if (held) WSACleanup();
    }
};

DWORD WINAPI Fetch(void* context) {
    Transfer* t = static_cast<Transfer*>(context);
    DWORD result;
    {
        SocketsInUse sockets;
        wchar_t agent[64];
        FormatText(agent, 64, L"%s v%u.%u.%u", PluginName, BYTORA_VERSION_MAJOR, BYTORA_VERSION_MINOR,
                   BYTORA_VERSION_BUILD);
        OwnedInternet root;
        root.h = InternetOpenW(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        if (!root.h) {
            result = LastErrorOr(ERROR_INTERNET_INTERNAL_ERROR);
        } else {
            SetTimeouts(root.h, t->SilenceMs);
            InternetSetStatusCallbackW(root.h, Watch);
            result = t->Http ? FetchHttp(t, root.h) : FetchFtp(t, root.h);
            CloseRequest(t);
        }
    }
    // None is left open after the command.
    if (t->Http) LetGoOfIdleConnections();
    t->Result = result;
    t->Done = true;
    SetEvent(t->Ready);
    Release(t);
    EndOwnThread();
}

// A request left before its body was read to its end (a failure status, a
// redirect, a body cut short, a download given up).
// WINE: the library reads the rest when the request is closed, from what
// has arrived, for as long as the server sends it. A short body (an error
// page, a redirect's note) is left to it, which lets the connection serve
// again; a longer one, or one of unknown length, has its connection cut
// first.
void LetGoOfBody(Transfer* t) {
    if (!RunsUnderWine() || !t->Http) return;
    constexpr long long ShortBody = 64 * 1024;
    const long long announced = GivenUp(t) ? -1 : AnnouncedLength(t->Request);
    if (announced < 0 || announced > ShortBody) CutConnection(&t->Cut);
}

// The closer: closes the request still in the slot, then lets go.
// WINE: while the worker runs on, it goes on cutting the download's
// connections: the worker may have been finding the server's address when
// it was given up on, and connect after the caller has stopped waiting.
DWORD WINAPI CloseAway(void* context) {
    Transfer* t = static_cast<Transfer*>(context);
    CloseRequest(t);
    for (const DWORD start = GetTickCount(); RunsUnderWine() && !t->Done && GetTickCount() - start < 2 * t->SilenceMs;
         Sleep(50))
        CutConnection(&t->Cut);
    Release(t);
    EndOwnThread();
}

// The caller lets go: the worker stops at its next step, or when its
// blocked call returns. The request is closed on a thread of its own: a
// close waits for a read in progress. Without that thread the worker closes
// it when it ends. The caller waits a moment for both to let go, so that
// nothing of the download goes on after the command.
// WINE: the library's close first reads the rest of the body (to keep the
// connection), for as long as the server keeps sending, and a wait for a
// server ends only with its time-out: the connections are cut, again while
// the caller waits, as the library may still be making one.
void GiveUp(Transfer* t) {
    constexpr DWORD LetGoMs = 500;
    t->Abandoned = true;
    CutConnection(&t->Cut);
    SetEvent(t->Taken);
    InterlockedIncrement(&t->Refs);
    HANDLE closer = StartOwnThread(CloseAway, t);
    if (closer)
        CloseHandle(closer);
    else
        InterlockedDecrement(&t->Refs);
    for (const DWORD start = GetTickCount(); InterlockedCompareExchange(&t->Refs, 0, 0) > 1;) {
        if (GetTickCount() - start >= LetGoMs) break;
        Sleep(10);
        CutConnection(&t->Cut);
    }
    Release(t);
}

Transfer* StartTransfer(const wchar_t* url, bool http, DWORD silenceMs, DWORD* error) {
    Transfer* t = static_cast<Transfer*>(LocalAlloc(LMEM_FIXED, sizeof(Transfer)));
    if (!t) {
        *error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    new (t) Transfer;
    // Before the worker runs, the caller holds the only reference.
    auto fail = [&]() -> Transfer* {
        *error = LastErrorOr(ERROR_NOT_ENOUGH_MEMORY);
        t->Refs = 1;
        Release(t);
        return nullptr;
    };
    t->Http = http;
    t->SilenceMs = silenceMs;
    // What is requested: the address without its fragment and dot segments.
    if (DWORD invalid = RequestUrl(nullptr, url, t->Url, UrlUnits)) {
        SetLastError(invalid);
        return fail();
    }
    t->Buffer = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, Piece));
    t->Ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    t->Taken = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!t->Buffer || !t->Ready || !t->Taken) return fail();
    Touch(t);
    AddLive(t);
    HANDLE thread = StartOwnThread(Fetch, t);
    if (!thread) return fail();
    CloseHandle(thread);
    return t;
}

}  // namespace

// Runs the worker and writes what it hands over into the file, until it
// is done, the user breaks off, the server is silent too long, or a write
// fails.
DWORD RunTransfer(const wchar_t* url, bool http, DWORD silenceMs, HANDLE file, wchar_t* reason) {
    DWORD error = 0;
    Transfer* t = StartTransfer(url, http, silenceMs, &error);
    if (!t) return error;
    for (;;) {
        DWORD waited = WaitForSingleObject(t->Ready, PollMs);
        if (BreakRequested) {
            GiveUp(t);
            return ERROR_CANCELLED;
        }
        if (waited != WAIT_OBJECT_0) {
            if (t->Flowing || GetTickCount() - t->Activity < silenceMs) continue;
            GiveUp(t);
            return ERROR_INTERNET_TIMEOUT;
        }
        if (t->Done) {
            DWORD result = t->Result;
            // The library's own time-out ends its wait with whatever code
            // the phase gives; after that long a silence it is the time-out.
            if (result && static_cast<int>(result) > 0 &&
                GetTickCount() - t->Activity >= silenceMs)
                result = ERROR_INTERNET_TIMEOUT;
            else if (result && reason)
                wcscpy(reason, t->Reason);
            Release(t);
            return result;
        }
        DWORD put = 0;
        if (!WriteFile(file, t->Buffer, t->Got, &put, nullptr) || put != t->Got) {
            // A short write without an error code means the disk is full.
            error = LastErrorOr(ERROR_DISK_FULL);
            GiveUp(t);
            return error;
        }
        Touch(t);
        SetEvent(t->Taken);
    }
}
