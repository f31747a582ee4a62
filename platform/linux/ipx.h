/* ipx.h - IPX over UDP for the layer's IPX and SPX sockets: the IPX header
 * on the wire, addresses, and the socket kind both protocols build on. */
#ifndef KOVA_PLATFORM_IPX_H
#define KOVA_PLATFORM_IPX_H

#include "sockets.h"

#include <netinet/in.h>

#include <mutex>

namespace win {
namespace detail {

/* The IPX header: where each field starts (numbers big-endian). */
constexpr int kIpxChecksum = 0;         /* 0xFFFF: none */
constexpr int kIpxLength = 2;           /* header and data */
constexpr int kIpxControl = 4;          /* transport control: routers passed */
constexpr int kIpxType = 5;             /* packet type */
constexpr int kIpxDestNet = 6;
constexpr int kIpxDestNode = 10;
constexpr int kIpxDestSocket = 16;
constexpr int kIpxSourceNet = 18;
constexpr int kIpxSourceNode = 22;
constexpr int kIpxSourceSocket = 28;
constexpr int kIpxHeader = 30;
static_assert(kIpxSourceSocket + 2 == kIpxHeader, "the IPX fields fill its header");
constexpr int kIpxMaxData = 1470;       /* an Ethernet frame less the header */
constexpr int kIpxMaxPacket = kIpxHeader + kIpxMaxData;
constexpr uint8_t kTypeSpx = 5;         /* IPX packet type of SPX */
constexpr uint8_t kTypeDefault = 0;
constexpr uint8_t kBroadcastNode[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

inline uint16_t get16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }
inline void put16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

/* An IPX address in wire order. */
struct IpxAddress {
    uint8_t net[4] = {};
    uint8_t node[6] = {};
    uint16_t socket = 0; /* host order */
};

/* The segment named by KOVA_IPX: its network number and where its packets go. */
struct Segment {
    uint8_t net[4];
    ::sockaddr_in broadcast;
};

/* A Windows sockaddr_ipx in (0 or a WSA error code) and out. */
int read_address(const struct sockaddr *name, int namelen, IpxAddress *address);
void write_address(const IpxAddress &address, struct sockaddr *name, int *namelen);

/* What the two kinds share: the segment, the node, the socket number and
 * the tunnel's descriptor. */
struct IpxSocket : SocketImpl {
    explicit IpxSocket(const Segment &seg);
    ~IpxSocket() override;

    /* IPX options only change what this socket allows; the tunnel's
     * descriptor always has broadcast and shared-port set. */
    int setOption(int level, int optname, const char *optval, int optlen) override;

    int bindTo(const struct sockaddr *name, int namelen) override;
    int localName(struct sockaddr *name, int *namelen) override;

    /* An unbound socket takes a dynamic number at its first send. */
    int ensureBound();
    uint16_t boundNumber();

    /* Puts one IPX packet on the segment. */
    int transmit(uint8_t packetType, const IpxAddress &to, const uint8_t *head, int headLen,
                 const char *data, int len);

    /* True when a received packet of n bytes is addressed to this socket
     * and was not sent by it; *dataLen receives the bytes after the IPX
     * header, as its length field says. */
    bool accepts(const uint8_t *packet, ssize_t n, bool spx, int *dataLen);

    /* The source address of a received packet. */
    static void sourceOf(const uint8_t *packet, IpxAddress *from);

    Segment segment;
    uint8_t node[6];
    std::mutex mutex;
    uint16_t number = 0; /* 0: not bound yet */
};

/* A new SPX stream socket on the segment (spx.cpp). */
IpxSocket *new_spx_socket(const Segment &segment);

}  // namespace detail
}  // namespace win

#endif
