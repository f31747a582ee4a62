/* sockets.h - the socket objects behind SOCKET handles (layer-internal).
 *
 * A SOCKET is an opaque number that is never given out twice in a process,
 * so a stale handle names no other socket: it fails with WSAENOTSOCK.
 * Each handle maps to a SocketImpl of one kind (UDP/IP in udp.cpp; IPX
 * datagram and SPX stream in ipx.cpp and spx.cpp).  Every host
 * descriptor is non-blocking; the blocking calls of Windows Sockets are
 * made from poll() in winsock.cpp, so that closesocket and the last
 * WSACleanup can wake a thread that waits on the socket.
 */
#ifndef KOVA_PLATFORM_SOCKETS_H
#define KOVA_PLATFORM_SOCKETS_H

#include "internal.h"

#include <atomic>

namespace win {
namespace detail {

/* Operations return 0 or a WSA error code. */
struct SocketImpl {
    explicit SocketImpl(int family) : af(family) {}
    virtual ~SocketImpl();
    SocketImpl(const SocketImpl &) = delete;
    SocketImpl &operator=(const SocketImpl &) = delete;

    virtual int setOption(int level, int optname, const char *optval, int optlen);
    virtual int bindTo(const struct sockaddr *name, int namelen) = 0;
    virtual int connectTo(const struct sockaddr *name, int namelen);
    virtual int localName(struct sockaddr *name, int *namelen);
    /* Sends at once or fails; *sent receives the byte count. */
    virtual int sendTo(const char *buf, int len, const struct sockaddr *to, int tolen, int *sent);
    /* One attempt: WSAEWOULDBLOCK when nothing is waiting. */
    virtual int receiveFrom(char *buf, int len, struct sockaddr *from, int *fromlen, int *got);
    virtual int sendStream(const char *buf, int len, int *sent);
    virtual int receiveStream(char *buf, int len, int *got);
    /* Called when poll() finds the descriptor readable: true when a
     * receive would deliver something (kinds that share a descriptor's
     * traffic drop what is not theirs here). */
    virtual bool readable() { return true; }
    /* True when the kind already holds what a receive would return at
     * once (data it took off the descriptor, a closed connection), so a
     * wait must not block on the descriptor. */
    virtual bool pending() { return false; }

    int fd = -1;
    int af;
    bool broadcast = false;
    bool reuseAddress = false;
    std::atomic<bool> closed{false};
    std::atomic<int> waiters{0}; /* threads in poll() on fd */
};

/* Creates a UDP socket (SOCK_DGRAM, protocol 0 or IPPROTO_UDP); returns 0
 * and the object, or a WSA error code. */
int create_inet_socket(int type, int protocol, SocketImpl **out);

/* Creates an IPX (SOCK_DGRAM, NSPROTO_IPX) or SPX (SOCK_STREAM,
 * NSPROTO_SPX) socket; returns 0 and the object, or a WSA error code.
 * Without a configured IPX segment it answers WSAEAFNOSUPPORT. */
int create_ipx_socket(int type, int protocol, SocketImpl **out);

/* Whether WSAStartup has been called more often than WSACleanup. */
bool sockets_started();

/* Host option names for the Windows ones at SOL_SOCKET; false if unknown. */
bool host_socket_option(int level, int optname, int *hostLevel, int *hostName);

}  // namespace detail
}  // namespace win

#endif
