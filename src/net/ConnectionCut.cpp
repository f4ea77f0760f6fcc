// Cutting a connection of the internet library from outside it.
//
// WINE: the library, closing a request whose body was not read to its end,
// first reads the rest (to keep the connection for the next request) for as
// long as the server goes on sending; a read in progress waits for a server
// that is silent until the library's own time-out, an FTP file's read for
// ever; and a connection being made waits for a server that never takes it
// until the time-out (a web server) or the system's (an FTP server). None of
// these can be stopped through the library. Its connections are sockets of
// this process, though, and one closed under it ends each wait at once: the
// library's next call on it fails and it lets go of the connection.
// (Shutting the socket down is not enough: the library reads what has
// arrived straight from the system, and a server that goes on sending keeps
// that from running dry.) Wine's sockets library closes only what it knows
// as a socket, so the library's own close of the same value afterwards
// closes nothing, unless another socket has taken the value by then: the
// command that gives up on a download waits (briefly) for the library to let
// go before it returns. A download's sockets are the ones that appear while
// the library connects, connected to its server or on their way there.
#include "net/NetInternal.h"
#include "plugin/Threads.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

uint16_t PortOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

// Calls found(socket) for each stream socket of the process. Wine numbers a
// process's handles densely from the bottom: the search ends after a long
// run of values that are no handles.
template <typename Found>
void ForEachSocket(Found found) {
    int misses = 0;
    for (ULONG_PTR value = 4; misses < 256; value += 4) {
        DWORD flags;
        if (!GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++misses;
            continue;
        }
        misses = 0;
        int type = 0, length = sizeof type;
        if (getsockopt(static_cast<SOCKET>(value), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0 &&
            type == SOCK_STREAM)
            found(value);
    }
}

// Whether a socket new since the note is the download's: connected to its
// server, or with a local port and no peer yet (connecting; a listening
// socket is nobody's connection).
bool Belongs(const CutPoint* point, SOCKET s) {
    sockaddr_storage peer{};
    int length = sizeof peer;
    if (getpeername(s, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        if (WSAGetLastError() != WSAENOTCONN) return false;
        BOOL listening = FALSE;
        length = sizeof listening;
        if (getsockopt(s, SOL_SOCKET, SO_ACCEPTCONN, reinterpret_cast<char*>(&listening), &length) == 0 && listening)
            return false;
        sockaddr_storage local{};
        length = sizeof local;
        return getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) == 0 && PortOf(local) != 0;
    }
    if (point->Port && PortOf(peer) != point->Port) return false;
    char text[INET6_ADDRSTRLEN] = {};
    const void* ip = peer.ss_family == AF_INET
                         ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&peer)->sin_addr)
                         : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr);
    return inet_ntop(peer.ss_family, ip, text, sizeof text) && strcmp(text, point->Address) == 0;
}

}  // namespace

void NoteSockets(CutPoint* point, uint16_t port, int most) {
    ExclusiveLock hold(&point->Lock);
    point->Before = 0;
    point->Address[0] = 0;
    point->Port = port;
    point->Most = most;
    ForEachSocket([&](uintptr_t s) {
        if (point->Before >= 0 && point->Before < CutPoint::Known)
            point->Seen[point->Before++] = s;
        else
            point->Before = -1;
    });
}

void NoteServer(CutPoint* point, const char* address) {
    ExclusiveLock hold(&point->Lock);
    if (strlen(address) < sizeof point->Address) strcpy(point->Address, address);
}

void CutConnection(CutPoint* point) {
    ExclusiveLock hold(&point->Lock);
    if (point->Before < 0 || !point->Address[0]) return;
    uintptr_t found[CutPoint::Known];
    int count = 0;
    ForEachSocket([&](uintptr_t s) {
        for (int i = 0; i < point->Before; ++i)
            if (point->Seen[i] == s) return;
        if (count < CutPoint::Known && Belongs(point, static_cast<SOCKET>(s))) found[count++] = s;
    });
    // More than the download has at once: another thread of the process
    // connects there as well, and which is whose cannot be told.
    if (count > point->Most) return;
    for (int i = 0; i < count; ++i) {
        shutdown(static_cast<SOCKET>(found[i]), SD_BOTH);
        closesocket(static_cast<SOCKET>(found[i]));
    }
}
