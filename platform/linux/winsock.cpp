/* winsock.cpp - Windows Sockets 1.1: start-up and clean-up with their
 * reference count, the handle table, the blocking calls and select. */
#include "sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace win {
namespace detail {

namespace {

/* ---- Start-up, handle table ---------------------------------------- */

std::mutex table_mutex;
int startups = 0;
uintptr_t next_handle = 0x100;
std::map<SOCKET, std::shared_ptr<SocketImpl>> sockets;

void wake_and_forget(const std::shared_ptr<SocketImpl> &socket)
{
    socket->closed = true;
    /* Wakes a thread blocked in poll() on it; the descriptor itself is
     * closed only when the last user lets go, so it cannot be reused
     * under that thread.  A UDP socket nobody waits on (every wake's) is
     * spared the system call; IPX sockets wait in loops of their own. */
    if (socket->af != WIN_AF_INET || socket->waiters > 0)
        ::shutdown(socket->fd, SHUT_RDWR);
}

/* Counts a thread in poll() on a socket for as long as it lives.  The
 * count is raised before `closed` is looked at, and a close sets `closed`
 * before it reads the count, so one of the two always sees the other. */
struct Waiting {
    explicit Waiting(SocketImpl &s) : socket(s) { socket.waiters++; }
    ~Waiting() { socket.waiters--; }
    Waiting(const Waiting &) = delete;
    Waiting &operator=(const Waiting &) = delete;
    SocketImpl &socket;
};

/* The socket behind a handle, or null with the error set. */
std::shared_ptr<SocketImpl> lookup(SOCKET s)
{
    std::lock_guard<std::mutex> lock(table_mutex);
    if (startups == 0) {
        WSASetLastError(WSANOTINITIALISED);
        return nullptr;
    }
    auto found = sockets.find(s);
    if (found == sockets.end()) {
        WSASetLastError(WSAENOTSOCK);
        return nullptr;
    }
    return found->second;
}

int fail(int error)
{
    WSASetLastError(error);
    return SOCKET_ERROR;
}

bool injected(const char *call, int error)
{
    if (!should_fail(call))
        return false;
    WSASetLastError(error);
    return true;
}

/* Waits until a receive on the socket would deliver, or the socket is
 * closed (WSAEINTR). */
int wait_readable(SocketImpl &socket)
{
    Waiting waiting(socket);
    for (;;) {
        if (socket.closed)
            return WSAEINTR;
        if (socket.pending())
            return 0;
        struct pollfd p = {socket.fd, POLLIN, 0};
        int n = ::poll(&p, 1, -1);
        if (n < 0 && errno != EINTR)
            return wsa_error_from_errno(errno);
        if (socket.closed)
            return WSAEINTR;
        if (n > 0 && socket.readable())
            return 0;
    }
}

thread_local int wsa_last_error = 0;

}  // namespace
}  // namespace detail

bool detail::sockets_started()
{
    std::lock_guard<std::mutex> lock(table_mutex);
    return startups > 0;
}

using namespace detail;

int WSAGetLastError(void) { return detail::wsa_last_error; }
void WSASetLastError(int iError) { detail::wsa_last_error = iError; }

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData)
{
    if (should_fail("WSAStartup"))
        return WSASYSNOTREADY;
    if (!lpWSAData)
        return WSAEFAULT;
    BYTE major = BYTE(wVersionRequested & 0xff);
    BYTE minor = BYTE(wVersionRequested >> 8);
    if (major < 1 || (major == 1 && minor < 1))
        return WSAVERNOTSUPPORTED;
    memset(lpWSAData, 0, sizeof *lpWSAData);
    lpWSAData->wVersion = major >= 2 ? MAKEWORD(2, 2) : MAKEWORD(1, 1);
    lpWSAData->wHighVersion = MAKEWORD(2, 2);
    strcpy(lpWSAData->szDescription, "WinSock 2.0");
    strcpy(lpWSAData->szSystemStatus, "Running");
    lpWSAData->iMaxSockets = major >= 2 ? 0 : 32767;
    static const unsigned short max_udp_dg = [] {
        const char *value = getenv("KOVA_MAXUDPDG");
        return value ? (unsigned short)strtoul(value, nullptr, 10) : (unsigned short)65467;
    }();
    lpWSAData->iMaxUdpDg = major >= 2 ? 0 : max_udp_dg;
    std::lock_guard<std::mutex> lock(table_mutex);
    startups++;
    return 0;
}

int WSACleanup(void)
{
    std::vector<std::shared_ptr<SocketImpl>> closing;
    {
        std::lock_guard<std::mutex> lock(table_mutex);
        if (startups == 0)
            return fail(WSANOTINITIALISED);
        if (--startups == 0) {
            /* The last clean-up closes every socket of the process. */
            for (auto &entry : sockets)
                closing.push_back(entry.second);
            sockets.clear();
        }
    }
    for (auto &socket : closing)
        wake_and_forget(socket);
    return 0;
}

SOCKET socket(int af, int type, int protocol)
{
    {
        std::lock_guard<std::mutex> lock(table_mutex);
        if (startups == 0) {
            WSASetLastError(WSANOTINITIALISED);
            return INVALID_SOCKET;
        }
    }
    if (injected("socket", WSAEMFILE))
        return INVALID_SOCKET;
    SocketImpl *created = nullptr;
    if (af == WIN_AF_INET) {
        int error = create_inet_socket(type, protocol, &created);
        if (error) {
            WSASetLastError(error);
            return INVALID_SOCKET;
        }
    } else if (af == WIN_AF_IPX) {
        int error = create_ipx_socket(type, protocol, &created);
        if (error) {
            WSASetLastError(error);
            return INVALID_SOCKET;
        }
    } else {
        WSASetLastError(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    std::shared_ptr<SocketImpl> owned(created);
    std::lock_guard<std::mutex> lock(table_mutex);
    if (startups == 0) {
        WSASetLastError(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    SOCKET handle = next_handle;
    next_handle += 4;
    sockets[handle] = owned;
    return handle;
}

int closesocket(SOCKET s)
{
    std::shared_ptr<SocketImpl> socket;
    {
        std::lock_guard<std::mutex> lock(table_mutex);
        if (startups == 0)
            return fail(WSANOTINITIALISED);
        auto found = sockets.find(s);
        if (found == sockets.end())
            return fail(WSAENOTSOCK);
        socket = found->second;
        sockets.erase(found);
    }
    wake_and_forget(socket);
    return 0;
}

namespace {

/* The frame of every call on one socket: the handle, the KOVA_FAIL seam and
 * the Windows result convention.  op returns 0 or a WSA error code, and
 * may give a byte count. */
template <typename Op> int socket_call(SOCKET s, const char *call, int injectedError, Op op)
{
    auto socket = lookup(s);
    if (!socket)
        return SOCKET_ERROR;
    if (injected(call, injectedError))
        return SOCKET_ERROR;
    int count = 0;
    int error = op(*socket, &count);
    return error ? fail(error) : count;
}

/* A blocking receive: waits until one attempt delivers. */
template <typename Attempt> int receive_blocking(SocketImpl &socket, Attempt attempt, int *got)
{
    for (;;) {
        int error = wait_readable(socket);
        if (error)
            return error;
        error = attempt(got);
        if (error != WSAEWOULDBLOCK)
            return error;
    }
}

}  // namespace

int setsockopt(SOCKET s, int level, int optname, const char *optval, int optlen)
{
    return socket_call(s, "setsockopt", WSAENOPROTOOPT, [&](SocketImpl &socket, int *) {
        return socket.setOption(level, optname, optval, optlen);
    });
}

static std::atomic<unsigned long> binds_in_use{0};

int bind(SOCKET s, const struct sockaddr *name, int namelen)
{
    int result = socket_call(s, "bind", WSAEADDRINUSE,
                             [&](SocketImpl &socket, int *) { return socket.bindTo(name, namelen); });
    if (result == SOCKET_ERROR && WSAGetLastError() == WSAEADDRINUSE)
        binds_in_use++;
    return result;
}

unsigned long kova_binds_in_use(void)
{
    return binds_in_use.load();
}

int connect(SOCKET s, const struct sockaddr *name, int namelen)
{
    return socket_call(s, "connect", WSAECONNREFUSED,
                       [&](SocketImpl &socket, int *) { return socket.connectTo(name, namelen); });
}

int getsockname(SOCKET s, struct sockaddr *name, int *namelen)
{
    return socket_call(s, "getsockname", WSAEINVAL,
                       [&](SocketImpl &socket, int *) { return socket.localName(name, namelen); });
}

int sendto(SOCKET s, const char *buf, int len, int, const struct sockaddr *to, int tolen)
{
    return socket_call(s, "sendto", WSAENETDOWN, [&](SocketImpl &socket, int *sent) {
        return !buf || len < 0 ? WSAEFAULT : socket.sendTo(buf, len, to, tolen, sent);
    });
}

int recvfrom(SOCKET s, char *buf, int len, int, struct sockaddr *from, int *fromlen)
{
    return socket_call(s, "recvfrom", WSAENETDOWN, [&](SocketImpl &socket, int *got) {
        if (!buf || len < 0)
            return WSAEFAULT;
        return receive_blocking(
            socket, [&](int *n) { return socket.receiveFrom(buf, len, from, fromlen, n); }, got);
    });
}

int send(SOCKET s, const char *buf, int len, int)
{
    return socket_call(s, "send", WSAECONNRESET, [&](SocketImpl &socket, int *sent) {
        return !buf || len < 0 ? WSAEFAULT : socket.sendStream(buf, len, sent);
    });
}

int recv(SOCKET s, char *buf, int len, int)
{
    return socket_call(s, "recv", WSAECONNRESET, [&](SocketImpl &socket, int *got) {
        if (!buf || len < 0)
            return WSAEFAULT;
        return receive_blocking(socket, [&](int *n) { return socket.receiveStream(buf, len, n); },
                                got);
    });
}

int __WSAFDIsSet(SOCKET s, win_fd_set *set)
{
    if (!set)
        return 0;
    for (UINT i = 0; i < set->fd_count && i < WIN_FD_SETSIZE; i++)
        if (set->fd_array[i] == s)
            return 1;
    return 0;
}

namespace {

/* A socket that select watches, for reading or for writing. */
struct Watched {
    SOCKET handle;
    std::shared_ptr<SocketImpl> socket;
    bool forWrite;
};

/* The sockets of both sets; false, with the error set, when one of them
 * is not a socket. */
bool watch_sets(win_fd_set *readfds, win_fd_set *writefds, std::vector<Watched> &watched)
{
    for (int pass = 0; pass < 2; pass++) {
        win_fd_set *set = pass == 0 ? readfds : writefds;
        if (!set)
            continue;
        for (UINT i = 0; i < set->fd_count && i < WIN_FD_SETSIZE; i++) {
            auto socket = lookup(set->fd_array[i]);
            if (!socket)
                return false;
            watched.push_back({set->fd_array[i], socket, pass == 1});
        }
    }
    return true;
}

/* Leaves in each set only its sockets that were found ready. */
void keep_ready(const std::vector<Watched> &watched, const std::vector<bool> &isReady,
                win_fd_set *readfds, win_fd_set *writefds)
{
    if (readfds)
        readfds->fd_count = 0;
    if (writefds)
        writefds->fd_count = 0;
    for (size_t i = 0; i < watched.size(); i++) {
        if (!isReady[i])
            continue;
        win_fd_set *set = watched[i].forWrite ? writefds : readfds;
        set->fd_array[set->fd_count++] = watched[i].handle;
    }
}

}  // namespace

int select(int, win_fd_set *readfds, win_fd_set *writefds, win_fd_set *exceptfds,
           const struct ::timeval *timeout)
{
    if (injected("select", WSAENETDOWN))
        return SOCKET_ERROR;
    std::vector<Watched> watched;
    if (!watch_sets(readfds, writefds, watched))
        return SOCKET_ERROR;
    std::vector<std::unique_ptr<Waiting>> waiting;
    for (const Watched &w : watched)
        waiting.push_back(std::make_unique<Waiting>(*w.socket));
    if (exceptfds)
        exceptfds->fd_count = 0; /* nothing out-of-band here */
    if (watched.empty()) {
        /* Windows refuses a select without sockets. */
        return fail(WSAEINVAL);
    }
    uint64_t deadline = 0;
    bool forever = timeout == nullptr;
    if (!forever)
        deadline = now_ms() + uint64_t(timeout->tv_sec) * 1000u + uint64_t(timeout->tv_usec) / 1000u;
    std::vector<struct pollfd> polled(watched.size());
    for (;;) {
        bool held = false;
        for (size_t i = 0; i < watched.size(); i++) {
            if (watched[i].socket->closed)
                return fail(lookup(watched[i].handle) ? WSAEINTR : WSAGetLastError());
            polled[i] = {watched[i].socket->fd, short(watched[i].forWrite ? POLLOUT : POLLIN), 0};
            held = held || (!watched[i].forWrite && watched[i].socket->pending());
        }
        int wait = -1;
        if (held) {
            wait = 0;
        } else if (!forever) {
            uint64_t now = now_ms();
            wait = now >= deadline ? 0 : int(deadline - now);
        }
        int n = ::poll(polled.data(), polled.size(), wait);
        if (n < 0 && errno != EINTR)
            return fail(wsa_error_from_errno(errno));
        int ready = 0;
        std::vector<bool> isReady(watched.size(), false);
        for (size_t i = 0; (n > 0 || held) && i < watched.size(); i++) {
            if (watched[i].socket->closed)
                return fail(lookup(watched[i].handle) ? WSAEINTR : WSAGetLastError());
            bool holds = !watched[i].forWrite && watched[i].socket->pending();
            if (!polled[i].revents && !holds)
                continue;
            if (holds || watched[i].forWrite || watched[i].socket->readable()) {
                isReady[i] = true;
                ready++;
            }
        }
        if (ready > 0 || (!forever && now_ms() >= deadline)) {
            keep_ready(watched, isReady, readfds, writefds);
            return ready;
        }
    }
}

}  // namespace win
