/* wol32.h - internals of the Wake-on-LAN engine: the front end, the UDP
 * and IPX senders and IPX network discovery.
 *
 * The engine is compiled once per deliverable; what differs between the two
 * builds is named in one block below, and only there is WAKELAN_BUILD tested.
 */
#ifndef WOL32_H
#define WOL32_H

#include "kovawin.h"

#include "kovadebug.h"
#include "kovatext.h"
#include "wolmac.h"

#include <atomic>

typedef enum eProtocol { PROTO_IP = 1, PROTO_IPX = 2 } eProtocol;

/* Where the passes of the IPX sender go. */
typedef enum eIpxPassRule {
    IPX_PASS_IPXNET,    /* every pass to the network of IPXNET= */
    IPX_PASS_DISCOVERED /* the local network, then one discovered network a pass */
} eIpxPassRule;

/* ---- What differs between the two builds --------------------------- */
#ifdef WAKELAN_BUILD
/* A tool for TCP/IP LANs first: IPX only where UDP cannot be set up. */
#define WOL_FIRST_PROTOCOL PROTO_IP
#define WOL_SECOND_PROTOCOL PROTO_IPX
/* wakelan's response buffer has always been one byte larger. */
#define IPX_RECEIVE_LIMIT 1014
static_assert(IPX_RECEIVE_LIMIT == 1014, "wakelan walks responses of up to 1014 bytes");
/* wakelan names no network, so it reaches those that discovery finds. */
#define IPX_PASS_RULE IPX_PASS_DISCOVERED
/* wakelan prints what it has to say; its send loop pays for nothing more. */
#define WOL_TRACE(...) ((void)0)
#else
/* The console manages IPX networks: UDP only where IPX cannot be set up. */
#define WOL_FIRST_PROTOCOL PROTO_IPX
#define WOL_SECOND_PROTOCOL PROTO_IP
/* kova32ex's response buffer: a response of 1014 bytes is one too many. */
#define IPX_RECEIVE_LIMIT 1013
static_assert(IPX_RECEIVE_LIMIT == 1013, "kova32ex walks responses of up to 1013 bytes");
/* The console names the one network to wake in with IPXNET=. */
#define IPX_PASS_RULE IPX_PASS_IPXNET
/* kova32ex has no console: why a wake failed goes to the debugging channel. */
#define WOL_TRACE(...) KovaDebug(__VA_ARGS__)
#endif

/* ---- Wire constants ------------------------------------------------ */
#define WOL_UDP_PORT 9                      /* discard port, destination */
#define WOL_UDP_SOURCE_PORT 13992           /* our local port */
#define WOL_IPX_SOCKET 0x9043               /* IPX socket of the magic packet */
#define WOL_IPX_NET_LEN 4                   /* bytes of an IPX network number */
#define WOL_MAC_COPY_LEN 31                 /* the sender's private MAC text */
#define WOL_MIN_UDP_DG 1024                 /* smallest iMaxUdpDg we accept */
#define WOL_BIND_WAIT_MS 2000               /* longest wait for port 13992 */
#define WOL_BIND_PAUSE_MS 1                 /* between two binds of it */
#define WOL_UDP_NETWORK_SLOTS 32            /* host addresses the broadcast leaves by */
#define WOL_LOOPBACK_NET 127                /* first byte of every loopback address */
#define WOL_HOST_NAME_LEN 256               /* the host's own name */
#define WOL_UDP_LABEL "UDP from "           /* a network's socket, before its address */
#define WOL_UDP_LABEL_LEN sizeof(WOL_UDP_LABEL "255.255.255.255")

#define IPX_DIAG_SOCKET 0x0456              /* IPX diagnostic service */
#define IPX_QUERY_LEN 7                     /* configuration request */
#define IPX_RESPONSE_HEAD 5                 /* versions, SPX socket, count */
#define IPX_SIMPLE_COMPONENT_MAX 4          /* IDs up to 4 are one byte long */
#define IPX_EXT_HEAD 2                      /* compID, numNetworks */
#define IPX_ADDR_LEN 11                     /* networkType, network, node */
#define IPX_SPX_REQUEST_LEN 4               /* offset, code, start index */
#define IPX_SPX_REQUEST_CODE 2              /* all known networks */
#define IPX_REPLY_HEAD 7                    /* code, 4 bytes, numNetworks */
#define IPX_REPLY_COUNT_AT 5                /* numNetworks, little-endian */
#define IPX_REPLY_MAX_NETS 128              /* networks in one reply */
#define IPX_MAX_START_INDEX 0xFFFF          /* the request's 16-bit start index */
#define IPX_MAX_OFFSET 0xFF                 /* the request's one-byte offset */
#define IPX_RECVBUF_LEN 576
#define IPX_NETLIST_SLOTS 32
#define IPX_DISCOVERY_WAIT_S 2

/* ---- Module state (one wake request at a time) --------------------- */
extern SOCKET m_Socket;
extern WSADATA m_wsaData;
extern WORD m_wVersion;
extern int m_bVal;

/* ---- Front end and UDP sender -------------------------------------- */
int WakeUp(char *macAddr, eProtocol protocol);
/* 1 when both frames went out whole, on at least one network of the host
 * for the limited broadcast; *pbSetUp: at least one socket could be set
 * up, so that the other protocol is not tried. */
int DoTCP(char *lpszMac, int *pbSetUp);

/* One frame on m_Socket, whatever the transport; 1 when it went out whole.
 * A failure is traced after pLabel, the socket's name ("UDP", "IPX"). */
int SendFrame(const unsigned char *frame, const struct sockaddr *destination, int length,
              const char *pLabel);


/* ---- IPX sender ---------------------------------------------------- */
int DoIPX(char *lpszMac);

/* ---- IPX network discovery ----------------------------------------- */
typedef struct StructNetworkAddress {
    unsigned char address[WOL_IPX_NET_LEN];
} StructNetworkAddress;

/* A configuration response as received: at least as large as the receive
 * limit of the build, so no datagram can run past it. */
typedef struct StructConfigurationResponse {
    unsigned char majorVersion;
    unsigned char minorVersion;
    unsigned char SPXDiagnosticSocket[2]; /* network order, used unchanged */
    signed char numberOfComponents;
    unsigned char componentStructure[IPX_RECEIVE_LIMIT - IPX_RESPONSE_HEAD];
} StructConfigurationResponse;
static_assert(sizeof(StructConfigurationResponse) >= IPX_RECEIVE_LIMIT,
              "no datagram of the receive limit runs past the response");

extern StructNetworkAddress NetList[IPX_NETLIST_SLOTS];
extern std::atomic<int> NumNewNets;
extern HANDLE DiscThreadId;

int FindNets(void);
/* The thread procedure; its parameter is the discovery's generation. */
DWORD WINAPI DoDiscovery(LPVOID lpParameter);
/* generation: the discovery this query belongs to; a stale one's networks
 * are dropped. */
int FindNetworks(SOCKET s, SOCKADDR_IPX *DiscAddress, unsigned char offset, int generation);
unsigned long ReceivePacket(SOCKET s, SOCKADDR_IPX *address, char *packet, int *length,
                            int maxsize);
int SendPacket(SOCKET s, SOCKADDR_IPX *address, const char *packet, int length);
unsigned short k_reverse_bytes_in_ushort(unsigned short intel_input);

/* Called by WakeUp when an IPX request ends: from then on the
 * request's WSACleanup owns the discovery's sockets, and the thread stops
 * using them. */
void EndDiscoveryRequest(void);

/* The walk over one configuration response of `received` bytes.  For each
 * extended component whose entry lies wholly inside the datagram at an
 * offset that fits one byte, calls query(offset, context); a result of 1
 * stops the walk.  Returns 1 when a query stopped it, 0 otherwise. */
typedef int (*ComponentQuery)(unsigned char offset, void *context);
int WalkComponents(const unsigned char *response, int received, ComponentQuery query,
                   void *context);

/* The networks that one all-known-networks reply of `received` bytes
 * really holds: 0 for a failed reply (short, completion code not 0, or no
 * networks), else at most 128 and at most (received - 7) / 4.  *claimed
 * receives its numNetworks field (0 when it has none). */
int ReplyNetworks(const unsigned char *reply, int received, int *claimed);

#endif
