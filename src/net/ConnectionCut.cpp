// Cutting a connection of the internet library from outside it.
//
// WINE: the library, closing a request whose body was not read to its end,
// first reads the rest (to keep the connection for the next request) for as
// long as the server goes on sending, and a read in progress waits for a
// server that is silent until the library's own time-out: neither can be
// stopped through the library. Its connections are sockets of this process,
// though, and one closed under it ends both at once: the library's next
// read fails and it lets go of the connection. (Shutting the socket down is
// not enough: the library reads what has arrived straight from the system,
// and a server that goes on sending keeps that from running dry.) Wine's
// sockets library closes only what it knows as a socket, so the library's
// own close of the same value afterwards closes nothing. The socket of a
// request is the one that appears, connected to its server, while the
// library connects it.
#include "net/NetInternal.h"

#include <winsock2.h>
#include <ws2tcpip.h>

namespace {

// The peer's port and address of a socket (0: not a connected socket).
uint16_t PeerOf(SOCKET s, sockaddr_storage* peer) {
    int length = sizeof *peer;
    if (getpeername(s, reinterpret_cast<sockaddr*>(peer), &length) != 0) return 0;
    if (peer->ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(peer)->sin_port);
    if (peer->ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(peer)->sin6_port);
    return 0;
}

uint16_t LocalPort(SOCKET s) {
    sockaddr_storage local{};
    int length = sizeof local;
    if (getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
    if (local.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port);
    if (local.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&local)->sin6_port);
    return 0;
}

// Calls found(socket) for each socket of the process connected to
// port at the address the library names as text. Wine numbers a process's
// handles densely from the bottom: the search ends after a long run of
// values that are no handles.
template <typename Found>
void ForEachPeerSocket(const char* address, uint16_t port, Found found) {
    int misses = 0;
    for (ULONG_PTR value = 4; misses < 256; value += 4) {
        DWORD flags;
        if (!GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++misses;
            continue;
        }
        misses = 0;
        sockaddr_storage peer{};
        if (PeerOf(static_cast<SOCKET>(value), &peer) != port) continue;
        char text[INET6_ADDRSTRLEN] = {};
        const void* ip = peer.ss_family == AF_INET
                             ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&peer)->sin_addr)
                             : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr);
        if (inet_ntop(peer.ss_family, ip, text, sizeof text) && strcmp(text, address) == 0) found(value);
    }
}

}  // namespace

void NoteConnecting(CutPoint* point, const char* address, uint16_t port) {
    point->Before = 0;
    point->Socket = 0;
    ForEachPeerSocket(address, port, [&](uintptr_t s) {
        if (point->Before < CutPoint::Known) point->Seen[point->Before++] = s;
    });
}

void NoteConnected(CutPoint* point, const char* address, uint16_t port) {
    uintptr_t fresh = 0;
    int count = 0;
    ForEachPeerSocket(address, port, [&](uintptr_t s) {
        for (int i = 0; i < point->Before; ++i)
            if (point->Seen[i] == s) return;
        fresh = s;
        ++count;
    });
    // Two new ones at once: another thread connected as well, and which
    // is whose cannot be told.
    if (count != 1) return;
    point->Port = LocalPort(static_cast<SOCKET>(fresh));
    point->Socket = fresh;
}

void CutConnection(CutPoint* point) {
    const uintptr_t s = point->Socket.exchange(0);
    // A closed socket's handle value may belong to another one by now: its
    // local port tells.
    if (!s || !point->Port || LocalPort(static_cast<SOCKET>(s)) != point->Port) return;
    shutdown(static_cast<SOCKET>(s), SD_BOTH);
    closesocket(static_cast<SOCKET>(s));
}
