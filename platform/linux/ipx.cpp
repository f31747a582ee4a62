/* ipx.cpp - IPX over UDP: the segment, socket numbers, what IPX and SPX
 * sockets share, and IPX datagram sockets (SPX streams are in spx.cpp).
 *
 * An IPX segment is a UDP broadcast domain named by KOVA_IPX
 * (NETWORK@BROADCAST[:PORT], port 213 unless given).  Every IPX packet is
 * one UDP datagram holding the whole packet: the 30-byte IPX header
 * (checksum 0xFFFF, length, transport control, packet type, destination
 * and source network/node/socket, all big-endian) and the data.
 *
 * The segment is a hub, like the shared cable of an old Ethernet: each IPX
 * socket has a UDP descriptor of its own bound to the segment's port (with
 * SO_REUSEADDR, so that every process on the segment can join), every
 * packet, unicast too, goes to the broadcast address and that port, and
 * each socket keeps what is addressed to it (network 0 or the segment's,
 * its node or FF:FF:FF:FF:FF:FF, its socket number) and not sent by
 * itself.  The rest is dropped unread.
 *
 * Node numbers: 02 4B followed by the process id, big-endian.  One process
 * is one node; its sockets are told apart by their socket numbers, which
 * the process hands out (dynamic ones from 0x5000 to 0x7FFF).
 *
 * Port 213 is privileged on Linux: a process that may not bind it has no
 * IPX there (socket() fails with WSAENETDOWN); tests use ports of their own.
 */
#include "ipx.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

namespace win {
namespace detail {
namespace {

const uint16_t kDefaultPort = 213;  /* IPX over UDP */
/* Dynamic socket numbers: the upper part of 0x4000-0x7FFF, clear of the
 * NetWare message sockets 0x4001 and 0x4003, so that captures decode our
 * SPX as SPX. */
const uint16_t kDynamicFirst = 0x5000;
const uint16_t kDynamicLast = 0x7FFF;

/* KOVA_IPX: 0 and the segment, WSAEAFNOSUPPORT when unset (no IPX, as on
 * a Windows host without it), WSAENETDOWN when it cannot be read. */
int read_segment(Segment *segment)
{
    const char *value = getenv("KOVA_IPX");
    if (!value || !*value)
        return WSAEAFNOSUPPORT;
    std::string text = value;
    size_t at = text.find('@');
    if (at == std::string::npos || at == 0 || at > 8)
        return WSAENETDOWN;
    char *end = nullptr;
    std::string netText = text.substr(0, at);
    unsigned long net = strtoul(netText.c_str(), &end, 16);
    if (*end != '\0' || !isxdigit((unsigned char)netText[0]))
        return WSAENETDOWN;
    std::string rest = text.substr(at + 1);
    unsigned long port = kDefaultPort;
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        std::string portText = rest.substr(colon + 1);
        port = strtoul(portText.c_str(), &end, 10);
        if (portText.empty() || *end != '\0' || port == 0 || port > 65535)
            return WSAENETDOWN;
        rest.erase(colon);
    }
    memset(segment, 0, sizeof *segment);
    segment->broadcast.sin_family = AF_INET;
    segment->broadcast.sin_port = htons(uint16_t(port));
    if (inet_pton(AF_INET, rest.c_str(), &segment->broadcast.sin_addr) != 1)
        return WSAENETDOWN;
    for (int i = 0; i < 4; i++)
        segment->net[i] = uint8_t(net >> (24 - 8 * i));
    return 0;
}

void own_node(uint8_t *node)
{
    uint32_t pid = uint32_t(getpid());
    node[0] = 0x02; /* locally administered */
    node[1] = 0x4B;
    for (int i = 0; i < 4; i++)
        node[2 + i] = uint8_t(pid >> (24 - 8 * i));
}

/* Socket numbers in use in this process (this process is one node).
 * Never destroyed: a discovery thread may let go of its socket while the
 * process is exiting. */
std::mutex &numbers_mutex = *new std::mutex;
std::map<uint16_t, int> &numbers_in_use = *new std::map<uint16_t, int>;
uint16_t next_dynamic = kDynamicFirst;

/* Takes a socket number; 0 asks for a free dynamic one.  Returns the
 * number, or 0 when it is taken (and shared is false) or none is free. */
uint16_t take_number(uint16_t wanted, bool shared)
{
    std::lock_guard<std::mutex> lock(numbers_mutex);
    if (wanted != 0) {
        auto found = numbers_in_use.find(wanted);
        if (found != numbers_in_use.end() && !shared)
            return 0;
        numbers_in_use[wanted]++;
        return wanted;
    }
    for (int tries = 0; tries <= kDynamicLast - kDynamicFirst; tries++) {
        uint16_t candidate = next_dynamic;
        next_dynamic = next_dynamic == kDynamicLast ? kDynamicFirst : uint16_t(next_dynamic + 1);
        if (numbers_in_use.find(candidate) == numbers_in_use.end()) {
            numbers_in_use[candidate] = 1;
            return candidate;
        }
    }
    return 0;
}

void release_number(uint16_t number)
{
    std::lock_guard<std::mutex> lock(numbers_mutex);
    auto found = numbers_in_use.find(number);
    if (found != numbers_in_use.end() && --found->second == 0)
        numbers_in_use.erase(found);
}

}  // namespace

/* A Windows sockaddr_ipx in and out. */
int read_address(const struct sockaddr *name, int namelen, IpxAddress *address)
{
    if (!name || namelen < int(sizeof(win::sockaddr_ipx)))
        return WSAEFAULT;
    win::sockaddr_ipx ipx;
    memcpy(&ipx, name, sizeof ipx);
    if (ipx.sa_family != WIN_AF_IPX)
        return WSAEAFNOSUPPORT;
    memcpy(address->net, ipx.sa_netnum, 4);
    memcpy(address->node, ipx.sa_nodenum, 6);
    address->socket = ntohs(ipx.sa_socket);
    return 0;
}

void write_address(const IpxAddress &address, struct sockaddr *name, int *namelen)
{
    win::sockaddr_ipx ipx;
    memset(&ipx, 0, sizeof ipx);
    ipx.sa_family = WIN_AF_IPX;
    memcpy(ipx.sa_netnum, address.net, 4);
    memcpy(ipx.sa_nodenum, address.node, 6);
    ipx.sa_socket = htons(address.socket);
    memcpy(name, &ipx, sizeof ipx);
    *namelen = sizeof ipx;
}

/* ---- What the two kinds share ------------------------------------ */

IpxSocket::IpxSocket(const Segment &seg) : SocketImpl(WIN_AF_IPX), segment(seg)
{
    own_node(node);
}

IpxSocket::~IpxSocket()
{
    if (number)
        release_number(number);
}

/* IPX options only change what this socket allows; the tunnel's
 * descriptor always has broadcast and shared-port set. */
int IpxSocket::setOption(int level, int optname, const char *optval, int optlen)
{
    if (level != WIN_SOL_SOCKET || (optname != WIN_SO_BROADCAST && optname != WIN_SO_REUSEADDR))
        return WSAENOPROTOOPT;
    if (!optval || optlen < int(sizeof(int)))
        return WSAEFAULT;
    int value = 0;
    memcpy(&value, optval, sizeof value);
    if (optname == WIN_SO_BROADCAST)
        broadcast = value != 0;
    else
        reuseAddress = value != 0;
    return 0;
}

int IpxSocket::bindTo(const struct sockaddr *name, int namelen)
{
    IpxAddress wanted;
    int error = read_address(name, namelen, &wanted);
    if (error)
        return error;
    static const uint8_t zero[6] = {};
    if (memcmp(wanted.net, zero, 4) != 0 && memcmp(wanted.net, segment.net, 4) != 0)
        return WSAEADDRNOTAVAIL;
    if (memcmp(wanted.node, zero, 6) != 0 && memcmp(wanted.node, node, 6) != 0)
        return WSAEADDRNOTAVAIL;
    std::lock_guard<std::mutex> lock(mutex);
    if (number)
        return WSAEINVAL;
    number = take_number(wanted.socket, reuseAddress);
    return number ? 0 : WSAEADDRINUSE;
}

int IpxSocket::localName(struct sockaddr *name, int *namelen)
{
    if (!name || !namelen || *namelen < int(sizeof(win::sockaddr_ipx)))
        return WSAEFAULT;
    IpxAddress local;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!number)
            return WSAEINVAL;
        local.socket = number;
    }
    memcpy(local.net, segment.net, 4);
    memcpy(local.node, node, 6);
    write_address(local, name, namelen);
    return 0;
}

/* An unbound socket takes a dynamic number at its first send. */
int IpxSocket::ensureBound()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!number)
        number = take_number(0, false);
    return number ? 0 : WSAENOBUFS;
}

uint16_t IpxSocket::boundNumber()
{
    std::lock_guard<std::mutex> lock(mutex);
    return number;
}

/* Puts one IPX packet on the segment. */
int IpxSocket::transmit(uint8_t packetType, const IpxAddress &to, const uint8_t *head,
                        int headLen, const char *data, int len)
{
    uint8_t packet[kIpxMaxPacket];
    int total = kIpxHeader + headLen + len;
    put16(packet + kIpxChecksum, 0xFFFF);
    put16(packet + kIpxLength, uint16_t(total));
    packet[kIpxControl] = 0; /* no router passed */
    packet[kIpxType] = packetType;
    memcpy(packet + kIpxDestNet, to.net, 4);
    memcpy(packet + kIpxDestNode, to.node, 6);
    put16(packet + kIpxDestSocket, to.socket);
    memcpy(packet + kIpxSourceNet, segment.net, 4);
    memcpy(packet + kIpxSourceNode, node, 6);
    put16(packet + kIpxSourceSocket, boundNumber());
    if (headLen)
        memcpy(packet + kIpxHeader, head, size_t(headLen));
    if (len)
        memcpy(packet + kIpxHeader + headLen, data, size_t(len));
    for (;;) {
        if (closed)
            return WSAEINTR;
        ssize_t put = retry_interrupted([&] {
            return ::sendto(fd, packet, size_t(total), 0,
                            reinterpret_cast<const ::sockaddr *>(&segment.broadcast),
                            sizeof segment.broadcast);
        });
        if (put == total)
            return 0;
        if (put >= 0)
            return WSAENOBUFS;
        if (errno == EAGAIN) {
            struct pollfd p = {fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        return wsa_error_from_errno(errno);
    }
}

/* True when a received packet of n bytes is addressed to this socket
 * and was not sent by it; *dataLen receives the bytes after the IPX
 * header, as its length field says. */
bool IpxSocket::accepts(const uint8_t *packet, ssize_t n, bool spx, int *dataLen)
{
    if (n < kIpxHeader)
        return false;
    int length = get16(packet + kIpxLength);
    if (length < kIpxHeader || length > n)
        return false;
    if ((packet[kIpxType] == kTypeSpx) != spx)
        return false;
    uint16_t mine = boundNumber();
    static const uint8_t zero[4] = {};
    if (!mine || get16(packet + kIpxDestSocket) != mine)
        return false;
    const uint8_t *net = packet + kIpxDestNet, *to = packet + kIpxDestNode;
    if (memcmp(net, zero, 4) != 0 && memcmp(net, segment.net, 4) != 0)
        return false;
    if (memcmp(to, node, 6) != 0 && memcmp(to, kBroadcastNode, 6) != 0)
        return false;
    if (memcmp(packet + kIpxSourceNode, node, 6) == 0 && get16(packet + kIpxSourceSocket) == mine)
        return false;
    *dataLen = length - kIpxHeader;
    return true;
}

void IpxSocket::sourceOf(const uint8_t *packet, IpxAddress *from)
{
    memcpy(from->net, packet + kIpxSourceNet, 4);
    memcpy(from->node, packet + kIpxSourceNode, 6);
    from->socket = get16(packet + kIpxSourceSocket);
}

namespace {

/* ---- IPX datagrams ------------------------------------------------- */

struct IpxDatagramSocket : IpxSocket {
    explicit IpxDatagramSocket(const Segment &seg) : IpxSocket(seg) {}

    int sendTo(const char *buf, int len, const struct sockaddr *to, int tolen, int *sent) override
    {
        IpxAddress destination;
        int error = read_address(to, tolen, &destination);
        if (error)
            return error;
        if (len > kIpxMaxData)
            return WSAEMSGSIZE;
        if (memcmp(destination.node, kBroadcastNode, 6) == 0 && !broadcast)
            return WSAEACCES;
        error = ensureBound();
        if (error)
            return error;
        error = transmit(kTypeDefault, destination, nullptr, 0, buf, len);
        if (error)
            return error;
        *sent = len;
        return 0;
    }

    int receiveFrom(char *buf, int len, struct sockaddr *from, int *fromlen, int *got) override
    {
        if (from && (!fromlen || *fromlen < int(sizeof(win::sockaddr_ipx))))
            return WSAEFAULT;
        uint8_t packet[kIpxMaxPacket + 1];
        for (;;) {
            if (closed)
                return WSAEINTR;
            ssize_t n = retry_interrupted(
                [&] { return ::recv(fd, packet, sizeof packet, MSG_DONTWAIT | MSG_TRUNC); });
            if (n < 0)
                return wsa_error_from_errno(errno);
            int dataLen = 0;
            if (n > kIpxMaxPacket || !accepts(packet, n, false, &dataLen))
                continue;
            if (from) {
                IpxAddress source;
                sourceOf(packet, &source);
                write_address(source, from, fromlen);
            }
            int copied = dataLen < len ? dataLen : len;
            if (copied > 0)
                memcpy(buf, packet + kIpxHeader, size_t(copied));
            *got = copied;
            /* Windows hands over the first part and reports the rest lost. */
            return dataLen > len ? WSAEMSGSIZE : 0;
        }
    }

    /* Drops what is not ours from the head of the queue; true when a
     * packet for us is next. */
    bool readable() override
    {
        uint8_t head[kIpxHeader];
        for (;;) {
            if (closed)
                return true; /* the receive reports it; a shut-down descriptor reads 0 */
            /* MSG_TRUNC: n is the datagram's whole size. */
            ssize_t n = ::recv(fd, head, sizeof head, MSG_DONTWAIT | MSG_PEEK | MSG_TRUNC);
            if (n < 0)
                return errno != EAGAIN && errno != EINTR; /* let the receive report it */
            int dataLen = 0;
            if (n >= kIpxHeader && n <= kIpxMaxPacket && accepts(head, n, false, &dataLen))
                return true;
            char discard;
            ::recv(fd, &discard, 0, MSG_DONTWAIT);
        }
    }
};

}  // namespace

int create_ipx_socket(int type, int protocol, SocketImpl **out)
{
    *out = nullptr;
    Segment segment;
    int error = read_segment(&segment);
    if (error)
        return error;
    bool datagram = type == WIN_SOCK_DGRAM;
    if (!datagram && type != WIN_SOCK_STREAM)
        return WSAESOCKTNOSUPPORT;
    if (protocol != (datagram ? NSPROTO_IPX : NSPROTO_SPX))
        return WSAEPROTONOSUPPORT;

    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return wsa_error_from_errno(errno);
    int on = 1;
    ::sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = segment.broadcast.sin_port;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        ::bind(fd, reinterpret_cast<::sockaddr *>(&local), sizeof local) != 0) {
        int failure = errno;
        ::close(fd);
        /* The segment's port cannot be joined: no IPX network here. */
        return failure == EACCES || failure == EADDRINUSE ? WSAENETDOWN
                                                         : wsa_error_from_errno(failure);
    }
    IpxSocket *created;
    if (datagram)
        created = new IpxDatagramSocket(segment);
    else
        created = new_spx_socket(segment);
    created->fd = fd;
    *out = created;
    return 0;
}

}  // namespace detail
}  // namespace win
