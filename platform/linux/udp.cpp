/* udp.cpp - UDP over IP sockets, what every socket kind does by default,
 * the byte-order and address helpers of Windows Sockets, and the host's
 * own name and addresses. */
#include "sockets.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

namespace win {
namespace detail {

SocketImpl::~SocketImpl()
{
    if (fd >= 0)
        ::close(fd);
}

int SocketImpl::setOption(int level, int optname, const char *optval, int optlen)
{
    int hostLevel, hostName;
    if (!host_socket_option(level, optname, &hostLevel, &hostName))
        return WSAENOPROTOOPT;
    if (!optval || optlen < int(sizeof(int)))
        return WSAEFAULT;
    int value = 0;
    memcpy(&value, optval, sizeof value);
    value = value != 0;
    /* Both options start off on the host too; setting the value a socket
     * already has needs no system call (the sender sets SO_BROADCAST twice
     * per wake). */
    if ((optname == WIN_SO_BROADCAST && value == broadcast) ||
        (optname == WIN_SO_REUSEADDR && value == reuseAddress))
        return 0;
    if (::setsockopt(fd, hostLevel, hostName, &value, sizeof value) != 0)
        return wsa_error_from_errno(errno);
    if (optname == WIN_SO_BROADCAST)
        broadcast = value;
    if (optname == WIN_SO_REUSEADDR)
        reuseAddress = value;
    return 0;
}

int SocketImpl::connectTo(const struct sockaddr *, int) { return WSAEOPNOTSUPP; }
int SocketImpl::localName(struct sockaddr *, int *) { return WSAEOPNOTSUPP; }
int SocketImpl::sendTo(const char *, int, const struct sockaddr *, int, int *)
{
    return WSAEOPNOTSUPP;
}
int SocketImpl::receiveFrom(char *, int, struct sockaddr *, int *, int *) { return WSAEOPNOTSUPP; }
int SocketImpl::sendStream(const char *, int, int *) { return WSAEOPNOTSUPP; }
int SocketImpl::receiveStream(char *, int, int *) { return WSAEOPNOTSUPP; }

bool host_socket_option(int level, int optname, int *hostLevel, int *hostName)
{
    if (level != WIN_SOL_SOCKET)
        return false;
    *hostLevel = SOL_SOCKET;
    switch (optname) {
    case WIN_SO_BROADCAST: *hostName = SO_BROADCAST; return true;
    case WIN_SO_REUSEADDR: *hostName = SO_REUSEADDR; return true;
    default: return false;
    }
}

namespace {

/* ---- UDP over IP --------------------------------------------------- */

bool to_host_address(const struct sockaddr *name, int namelen, ::sockaddr_in *host)
{
    if (!name || namelen < int(sizeof(win::sockaddr_in)))
        return false;
    win::sockaddr_in in;
    memcpy(&in, name, sizeof in);
    memset(host, 0, sizeof *host);
    host->sin_family = AF_INET;
    host->sin_port = in.sin_port;
    host->sin_addr.s_addr = in.sin_addr.s_addr;
    return in.sin_family == WIN_AF_INET;
}

void from_host_address(const ::sockaddr_in &host, struct sockaddr *name, int *namelen)
{
    if (!name || !namelen || *namelen < int(sizeof(win::sockaddr_in)))
        return;
    win::sockaddr_in in;
    memset(&in, 0, sizeof in);
    in.sin_family = WIN_AF_INET;
    in.sin_port = host.sin_port;
    in.sin_addr.s_addr = host.sin_addr.s_addr;
    memcpy(name, &in, sizeof in);
    *namelen = sizeof in;
}

struct InetSocket : SocketImpl {
    InetSocket() : SocketImpl(WIN_AF_INET) {}

    int bindTo(const struct sockaddr *name, int namelen) override
    {
        ::sockaddr_in host;
        if (!name || namelen < int(sizeof(win::sockaddr_in)))
            return WSAEFAULT;
        if (!to_host_address(name, namelen, &host))
            return WSAEAFNOSUPPORT;
        if (::bind(fd, reinterpret_cast<::sockaddr *>(&host), sizeof host) != 0)
            return wsa_error_from_errno(errno);
        return 0;
    }

    int localName(struct sockaddr *name, int *namelen) override
    {
        ::sockaddr_in host;
        socklen_t len = sizeof host;
        if (!name || !namelen || *namelen < int(sizeof(win::sockaddr_in)))
            return WSAEFAULT;
        if (::getsockname(fd, reinterpret_cast<::sockaddr *>(&host), &len) != 0)
            return wsa_error_from_errno(errno);
        from_host_address(host, name, namelen);
        return 0;
    }

    int sendTo(const char *buf, int len, const struct sockaddr *to, int tolen, int *sent) override
    {
        ::sockaddr_in host;
        if (!to || tolen < int(sizeof(win::sockaddr_in)))
            return WSAEFAULT;
        if (!to_host_address(to, tolen, &host))
            return WSAEAFNOSUPPORT;
        for (;;) {
            ssize_t put = retry_interrupted([&] {
                return ::sendto(fd, buf, size_t(len), 0, reinterpret_cast<::sockaddr *>(&host),
                                sizeof host);
            });
            if (put >= 0) {
                *sent = int(put);
                return 0;
            }
            if (errno == EAGAIN) {
                /* A blocking socket waits for room in the send buffer. */
                struct pollfd p = {fd, POLLOUT, 0};
                ::poll(&p, 1, 100);
                if (closed)
                    return WSAEINTR;
                continue;
            }
            return wsa_error_from_errno(errno);
        }
    }

    int receiveFrom(char *buf, int len, struct sockaddr *from, int *fromlen, int *got) override
    {
        ::sockaddr_in host;
        socklen_t hostlen = sizeof host;
        memset(&host, 0, sizeof host);
        ssize_t n = ::recvfrom(fd, buf, size_t(len < 0 ? 0 : len), MSG_TRUNC,
                               reinterpret_cast<::sockaddr *>(&host), &hostlen);
        if (n < 0)
            return wsa_error_from_errno(errno);
        from_host_address(host, from, fromlen);
        if (n > len) {
            /* Windows delivers the first part and reports the rest lost. */
            *got = len;
            return WSAEMSGSIZE;
        }
        *got = int(n);
        return 0;
    }
};

}  // namespace

int create_inet_socket(int type, int protocol, SocketImpl **out)
{
    *out = nullptr;
    if (type != WIN_SOCK_DGRAM)
        return WSAESOCKTNOSUPPORT;
    if (protocol != 0 && protocol != WIN_IPPROTO_UDP)
        return WSAEPROTONOSUPPORT;
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return wsa_error_from_errno(errno);
    SocketImpl *created = new InetSocket();
    created->fd = fd;
    *out = created;
    return 0;
}

}  // namespace detail

/* glibc may define the host's byte-order functions as macros. */
#undef htons
#undef ntohs
#undef htonl
#undef ntohl
unsigned short htons(unsigned short hostshort) { return __builtin_bswap16(hostshort); }
unsigned short ntohs(unsigned short netshort) { return __builtin_bswap16(netshort); }
uint32_t htonl(uint32_t hostlong) { return __builtin_bswap32(hostlong); }
uint32_t ntohl(uint32_t netlong) { return __builtin_bswap32(netlong); }
uint32_t inet_addr(const char *cp)
{
    struct ::in_addr address;
    if (!cp || ::inet_aton(cp, &address) == 0)
        return 0xffffffffu; /* INADDR_NONE */
    return address.s_addr;
}

namespace {

/* Windows Sockets 1.1 answers with at most 35 addresses. */
constexpr int kHostAddresses = 35;

/* One thread's answer of gethostbyname, as Windows keeps one per thread. */
struct HostAnswer {
    char name[256];
    char *aliases[1];
    struct in_addr addresses[kHostAddresses];
    char *list[kHostAddresses + 1];
    struct hostent entry;
};

thread_local HostAnswer host_answer;

bool own_name(char *name, size_t size)
{
    if (::gethostname(name, size) != 0)
        return false;
    name[size - 1] = '\0';
    return true;
}

}  // namespace

int gethostname(char *name, int namelen)
{
    char own[256];
    if (!detail::sockets_started()) {
        WSASetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    if (detail::should_fail("gethostname")) {
        WSASetLastError(WSAENETDOWN);
        return SOCKET_ERROR;
    }
    if (!own_name(own, sizeof own)) {
        WSASetLastError(detail::wsa_error_from_errno(errno));
        return SOCKET_ERROR;
    }
    if (!name || namelen <= int(strlen(own))) {
        WSASetLastError(WSAEFAULT);
        return SOCKET_ERROR;
    }
    strcpy(name, own);
    return 0;
}

/* Windows answers its own name with the address of every adapter, and
 * with the loopback address alone when it has none; here the adapters are
 * the interfaces that are up, loopback aside.  No other name is resolved:
 * the system asks for its own only. */
struct hostent *gethostbyname(const char *name)
{
    char own[256];
    struct ifaddrs *interfaces = nullptr;
    HostAnswer &a = host_answer;
    int count = 0;

    if (!detail::sockets_started()) {
        WSASetLastError(WSANOTINITIALISED);
        return nullptr;
    }
    if (detail::should_fail("gethostbyname")) {
        WSASetLastError(WSAHOST_NOT_FOUND);
        return nullptr;
    }
    if (!name) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    if (!own_name(own, sizeof own) || strcasecmp(name, own) != 0) {
        WSASetLastError(WSANO_RECOVERY);
        return nullptr;
    }
    if (::getifaddrs(&interfaces) != 0) {
        WSASetLastError(WSANO_RECOVERY);
        return nullptr;
    }
    for (struct ifaddrs *i = interfaces; i && count < kHostAddresses; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP) ||
            (i->ifa_flags & IFF_LOOPBACK))
            continue;
        a.addresses[count++].s_addr =
            reinterpret_cast<const ::sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
    }
    ::freeifaddrs(interfaces);
    if (count == 0)
        a.addresses[count++].s_addr = htonl(0x7F000001u);
    for (int k = 0; k < count; k++)
        a.list[k] = reinterpret_cast<char *>(&a.addresses[k]);
    a.list[count] = nullptr;
    a.aliases[0] = nullptr;
    strcpy(a.name, own);
    a.entry.h_name = a.name;
    a.entry.h_aliases = a.aliases;
    a.entry.h_addrtype = WIN_AF_INET;
    a.entry.h_length = sizeof(struct in_addr);
    a.entry.h_addr_list = a.list;
    return &a.entry;
}

}  // namespace win
