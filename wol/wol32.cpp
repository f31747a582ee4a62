/* wol32.cpp - the engine's front end and its UDP sender.
 *
 * Who holds what during one wake: WakeUp starts Windows Sockets first and
 * cleans it up last, whatever happens in between.  Each wake socket is
 * opened and closed by one caller, around the frames it carries: WakeUp
 * for IPX, and for UDP the sender, once for each network of the host,
 * since a socket bound to one address must be closed before the next can
 * bind port 13992.  The senders and SendFrame only report whether their
 * frames went out.
 */
#include "kovawin.h"

#include "wakew32.h"
#include "wol32.h"

SOCKET m_Socket = INVALID_SOCKET;
WSADATA m_wsaData;
WORD m_wVersion = 0x0101;
int m_bVal = 1;
char networkNumber[10];
tDirectedBroadcast directedBroadcast;

/* Whether the last sender put every frame out whole (UDP: on at least one
 * network).  WakeUp reports only that a transport was set up; the front
 * end needs both. */
static int m_bSenderStatus;

#define WOL_PROTOCOL_NAME(protocol) ((protocol) == PROTO_IP ? "UDP" : "IPX")

/* A Windows Sockets call that failed: named, after the socket it was made
 * on ("UDP", "UDP from 10.1.0.1", "IPX"), with its error, on the debugging
 * channel.  Always 1, so that it sits in a failure's condition. */
static int TraceFailure(const char *pLabel, const char *pCall)
{
    WOL_TRACE("%s %s failed, error %d", pLabel, pCall, WSAGetLastError());
    (void)pLabel;
    (void)pCall;
    return 1;
}

int32_t KOVASendWakeOnLAN(char *macAddr)
{
    /* Our own copy: the caller's text may end right at its buffer's end. */
    char text[KOVA_MAC_TEXT_LEN + 1];

    memset(sequence, 0xFF, WOL_SYNC_LEN);
    if (!WolTakeMac(macAddr, text)) {
        WOL_TRACE("WAKE: \"%s\" is not a valid MAC address", macAddr);
        printf("%s is not a valid MAC address.\n", macAddr);
        return KOVA_WOL_FAILURE;
    }

    /* A directed broadcast names an IP segment, which IPX does not reach. */
    if (directedBroadcast.given) {
        if (WakeUp(text, PROTO_IP))
            return m_bSenderStatus ? 0 : KOVA_WOL_FAILURE;
        WOL_TRACE("WAKE %s failed: UDP could not be set up", text);
        return KOVA_WOL_FAILURE;
    }
    if (WakeUp(text, WOL_FIRST_PROTOCOL) || WakeUp(text, WOL_SECOND_PROTOCOL))
        return m_bSenderStatus ? 0 : KOVA_WOL_FAILURE;
    WOL_TRACE("WAKE %s failed: neither IPX nor UDP could be set up", text);
    return KOVA_WOL_FAILURE;
}

int SendFrame(const unsigned char *frame, const struct sockaddr *destination, int length,
              const char *pLabel)
{
    int sent = sendto(m_Socket, (const char *)frame, WOL_FRAME_LEN, 0, destination, length);

    if (sent == WOL_FRAME_LEN)
        return 1;
    if (sent == SOCKET_ERROR)
        TraceFailure(pLabel, "sendto");
    else
        WOL_TRACE("%s sendto sent %d of %d bytes", pLabel, sent, WOL_FRAME_LEN);
    return 0;
}

/* Set when a wait for port 13992 ran out, cleared when a bind finds it
 * free: a port another program keeps is waited for once, not again for
 * every address of a wakelan run (1,000 addresses would wait 33 minutes),
 * nor for every network of the host. */
static int m_bPortKept;

/* Port 13992 is taken only for the microseconds of one wake, so another
 * wake beside ours (a second request, a wakelan run) is no reason to fail:
 * wait for it in short pauses.  A port that stays taken for the whole wait
 * makes UDP fail. */
static int BindWakePort(const struct sockaddr_in *local, const char *pLabel)
{
    DWORD start = 0;
    int waiting = 0;

    while (bind(m_Socket, (const struct sockaddr *)local, sizeof(*local)) == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEADDRINUSE || m_bPortKept)
            return !TraceFailure(pLabel, "bind to port 13992");
        /* The clock only once the port was found taken: a free port costs
         * nothing beyond the bind. */
        if (!waiting) {
            start = GetTickCount();
            waiting = 1;
        } else if (GetTickCount() - start >= WOL_BIND_WAIT_MS) {
            WOL_TRACE("%s bind: port 13992 still in use after %d ms, error %d", pLabel,
                      WOL_BIND_WAIT_MS, WSAGetLastError());
            m_bPortKept = 1;
            return 0;
        }
        Sleep(WOL_BIND_PAUSE_MS);
    }
    m_bPortKept = 0;
    return 1;
}

/* A UDP socket that may broadcast, bound to port 13992 of one address of
 * the host (network order; INADDR_ANY for any). */
static int OpenUdpSocket(uint32_t address, const char *pLabel)
{
    struct sockaddr_in local;

    m_Socket = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_Socket == INVALID_SOCKET)
        return !TraceFailure(pLabel, "socket");
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    local.sin_port = htons(WOL_UDP_SOURCE_PORT);
    if ((setsockopt(m_Socket, SOL_SOCKET, SO_BROADCAST, (const char *)&m_bVal, sizeof(m_bVal)) ==
             SOCKET_ERROR &&
         TraceFailure(pLabel, "setsockopt SO_BROADCAST")) ||
        !BindWakePort(&local, pLabel)) {
        closesocket(m_Socket);
        return 0;
    }
    return 1;
}

static int OpenIpxSocket(void)
{
    SOCKADDR_IPX local;

    m_Socket = socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX);
    if (m_Socket == INVALID_SOCKET)
        return !TraceFailure("IPX", "socket");
    memset(&local, 0, sizeof(local));
    local.sa_family = AF_IPX;
    local.sa_socket = htons(WOL_IPX_SOCKET);
    if ((setsockopt(m_Socket, SOL_SOCKET, SO_REUSEADDR, (const char *)&m_bVal, sizeof(m_bVal)) ==
             SOCKET_ERROR &&
         TraceFailure("IPX", "setsockopt SO_REUSEADDR")) ||
        (setsockopt(m_Socket, SOL_SOCKET, SO_BROADCAST, (const char *)&m_bVal, sizeof(m_bVal)) ==
             SOCKET_ERROR &&
         TraceFailure("IPX", "setsockopt SO_BROADCAST")) ||
        (bind(m_Socket, (struct sockaddr *)&local, sizeof(local)) == SOCKET_ERROR &&
         TraceFailure("IPX", "bind to socket 0x9043"))) {
        closesocket(m_Socket);
        return 0;
    }
    FindNets();
    return 1;
}

int WakeUp(char *macAddr, eProtocol protocol)
{
    char mac[WOL_MAC_COPY_LEN];
    int bSetUp = 0;
    int bStatus = 0;
    int startError;

    if (protocol != PROTO_IP && protocol != PROTO_IPX)
        return 0;
    startError = WSAStartup(m_wVersion, &m_wsaData);
    if (startError != 0) {
        WOL_TRACE("%s: WSAStartup failed, error %d", WOL_PROTOCOL_NAME(protocol), startError);
        printf("Cannot initialize Windows Sockets.\n");
        return 0;
    }

    /* The sender's private copy, zero-filled after the text. */
    memset(mac, 0, sizeof(mac));
    strncpy(mac, macAddr, sizeof(mac) - 1);
    if (m_wsaData.iMaxUdpDg != 0 && m_wsaData.iMaxUdpDg < WOL_MIN_UDP_DG) {
        WOL_TRACE("%s: WSAStartup reports iMaxUdpDg %d, below %d", WOL_PROTOCOL_NAME(protocol),
                  (int)m_wsaData.iMaxUdpDg, WOL_MIN_UDP_DG);
    } else if (protocol == PROTO_IP) {
        bStatus = DoTCP(mac, &bSetUp);
    } else if (OpenIpxSocket()) {
        bSetUp = 1;
        bStatus = DoIPX(mac);
        /* From here the clean-up below owns the discovery's sockets. */
        EndDiscoveryRequest();
        closesocket(m_Socket);
    }
    WSACleanup();

    if (!bSetUp)
        return 0;
    m_bSenderStatus = bStatus;
    if (bStatus)
        WOL_TRACE("woke %s over %s", macAddr, WOL_PROTOCOL_NAME(protocol));
    else
        WOL_TRACE("WAKE %s over %s failed: the send did not complete", macAddr,
                  WOL_PROTOCOL_NAME(protocol));
    return 1;
}

/* "A.B.C.D:PORT": four decimal numbers 0-255 and a port 1-65535, nothing
 * else (inet_addr's other forms such as "127.1" included). */
static int ParseUdpTarget(const char *pText, uint32_t *pAddress, unsigned short *pPort)
{
    uint32_t address = 0, value = 0;
    int part, digits;

    for (part = 0; part < 5; part++) {
        value = 0;
        for (digits = 0; *pText >= '0' && *pText <= '9'; digits++, pText++) {
            if (digits == 5)
                return 0;
            value = value * 10 + (uint32_t)(*pText - '0');
        }
        if (digits == 0)
            return 0;
        if (part < 4) {
            if (value > 255 || *pText != (part < 3 ? '.' : ':'))
                return 0;
            address = (address << 8) | value;
            pText++;
        } else if (value < 1 || value > 65535 || *pText != '\0') {
            return 0;
        }
    }
    *pAddress = address;
    *pPort = (unsigned short)value;
    return 1;
}

/* Where the frames go.  KOVA_UDP_TARGET, a test and demo aid, sends them
 * to A.B.C.D:PORT; any other value of it is a mistake that must never
 * become the real broadcast: then there is no destination (0) and nothing
 * is sent.  Else a directed broadcast asked for, else the limited
 * broadcast.  *pbOneSocket: the frames leave from one socket, bound to
 * any address; clear only for the limited broadcast, which leaves by
 * every network of the host. */
static int UdpDestination(struct sockaddr_in *destination, int *pbOneSocket)
{
    static int loaded = 0;
    static int targeted = 0;
    static int valid = 1;
    static uint32_t target = INADDR_BROADCAST;
    static unsigned short port = WOL_UDP_PORT;
    uint32_t address = htonl(INADDR_BROADCAST);

    if (!loaded) {
        const char *pTarget = getenv("KOVA_UDP_TARGET");
        if (pTarget != NULL) {
            targeted = 1;
            valid = ParseUdpTarget(pTarget, &target, &port);
        }
        loaded = 1;
    }
    if (targeted)
        address = htonl(target);
    else if (directedBroadcast.given)
        address = directedBroadcast.address;
    memset(destination, 0, sizeof(*destination));
    destination->sin_family = AF_INET;
    destination->sin_addr.s_addr = address;
    destination->sin_port = htons(targeted ? port : WOL_UDP_PORT);
    *pbOneSocket = targeted || directedBroadcast.given;
    return valid;
}

/* The networks the limited broadcast leaves by: the host's own IPv4
 * addresses (network order), learnt once per process, as the port wait
 * is, and only when the limited broadcast is sent.  Windows sends that
 * broadcast out of one adapter only, but from a socket bound to an
 * adapter's address out of that adapter. */
static uint32_t m_Networks[WOL_UDP_NETWORK_SLOTS];
/* Each one's name, "UDP from A.B.C.D", made once with it. */
static char m_NetworkLabels[WOL_UDP_NETWORK_SLOTS][WOL_UDP_LABEL_LEN];
/* A network whose send failed has been reported on standard output. */
static int m_bNetworkReported[WOL_UDP_NETWORK_SLOTS];
static int m_NumNetworks;
static int m_bNetworksLearnt;

static int KnownNetwork(uint32_t address)
{
    int i;
    for (i = 0; i < m_NumNetworks; i++)
        if (m_Networks[i] == address)
            return 1;
    return 0;
}

/* "UDP from A.B.C.D": the socket of one network, as it is named. */
static void NetworkLabel(char *pLabel, size_t size, uint32_t address)
{
    const unsigned char *pByte = (const unsigned char *)&address;
    snprintf(pLabel, size, "%s%u.%u.%u.%u", WOL_UDP_LABEL, pByte[0], pByte[1], pByte[2],
             pByte[3]);
}

/* gethostbyname of the host's own name lists every adapter's address on
 * every Windows version.  Loopback, 0.0.0.0 and repeats lead to no
 * network; a failed lookup leaves none, and the frames then go from any
 * address, as they always did. */
static void LearnNetworks(void)
{
    char name[WOL_HOST_NAME_LEN];
    struct hostent *pHost;
    uint32_t address;
    int i;

    if (m_bNetworksLearnt)
        return;
    m_bNetworksLearnt = 1;
    if (gethostname(name, sizeof(name)) == SOCKET_ERROR) {
        TraceFailure("UDP", "gethostname");
        return;
    }
    pHost = gethostbyname(name);
    if (pHost == NULL) {
        TraceFailure("UDP", "gethostbyname of the host's own name");
        return;
    }
    if (pHost->h_addrtype != AF_INET || pHost->h_length != (int)sizeof(address))
        return;
    for (i = 0; pHost->h_addr_list[i] != NULL; i++) {
        memcpy(&address, pHost->h_addr_list[i], sizeof(address));
        if (address == htonl(INADDR_ANY) || (ntohl(address) >> 24) == WOL_LOOPBACK_NET ||
            KnownNetwork(address))
            continue;
        if (m_NumNetworks == WOL_UDP_NETWORK_SLOTS) {
            WOL_TRACE("UDP: the host has more than %d addresses; the others are not used",
                      WOL_UDP_NETWORK_SLOTS);
            break;
        }
        NetworkLabel(m_NetworkLabels[m_NumNetworks], WOL_UDP_LABEL_LEN, address);
        m_Networks[m_NumNetworks++] = address;
    }
}

/* The two frames of one wake. */
typedef struct tUdpFrames {
    unsigned char cFrame1[WOL_FRAME_LEN]; /* the MAC */
    unsigned char cFrame2[WOL_FRAME_LEN]; /* the MAC byte-reversed */
} tUdpFrames;

/* One socket, bound to address, carries both frames and is closed again.
 * 1 when both went out whole; *pbSetUp: the socket could be set up.  A
 * null destination (a KOVA_UDP_TARGET that names none) sends nothing. */
static int SendFromAddress(uint32_t address, const char *pLabel, const tUdpFrames *pFrames,
                           const struct sockaddr_in *destination, int *pbSetUp)
{
    int bSent = 0;

    *pbSetUp = OpenUdpSocket(address, pLabel);
    if (!*pbSetUp)
        return 0;
    if (destination == NULL)
        WOL_TRACE("UDP: KOVA_UDP_TARGET is not A.B.C.D:PORT, nothing sent");
    else if (setsockopt(m_Socket, SOL_SOCKET, SO_BROADCAST, (const char *)&m_bVal,
                        sizeof(m_bVal)) == SOCKET_ERROR)
        TraceFailure(pLabel, "setsockopt SO_BROADCAST");
    else
        bSent = SendFrame(pFrames->cFrame1, (const struct sockaddr *)destination,
                          sizeof(*destination), pLabel) &&
                SendFrame(pFrames->cFrame2, (const struct sockaddr *)destination,
                          sizeof(*destination), pLabel);
    closesocket(m_Socket);
    return bSent;
}

/* A wake that reached some networks but not all is still a success, so
 * wakelan's user learns of a network that missed it from this line, once
 * a run for each network (the channel has the failed call). */
static void ReportMissedNetworks(const int *bMissed)
{
    int i;

    for (i = 0; i < m_NumNetworks; i++) {
        if (!bMissed[i] || m_bNetworkReported[i])
            continue;
        printf("Cannot send from %s.\n", m_NetworkLabels[i] + sizeof(WOL_UDP_LABEL) - 1);
        m_bNetworkReported[i] = 1;
    }
}

int DoTCP(char *lpszMac, int *pbSetUp)
{
    struct sockaddr_in destination;
    unsigned char bMAC1[WOL_MAC_LEN], bMAC2[WOL_MAC_LEN];
    tUdpFrames frames;
    int bMissed[WOL_UDP_NETWORK_SLOTS];
    int bValid, bOneSocket, bSetUp, i;
    int bSent = 0;

    bValid = UdpDestination(&destination, &bOneSocket);
    WolTextToBytes(lpszMac, bMAC1, WOL_MAC_LEN);
    WolReverseByteOrder(bMAC2, bMAC1);
    WolBuildFrame(frames.cFrame1, bMAC1);
    WolBuildFrame(frames.cFrame2, bMAC2);

    *pbSetUp = 0;
    if (!bOneSocket) {
        LearnNetworks();
        for (i = 0; i < m_NumNetworks; i++) {
            bMissed[i] = !SendFromAddress(m_Networks[i], m_NetworkLabels[i], &frames, &destination,
                                          &bSetUp);
            bSent = bSent || !bMissed[i];
            *pbSetUp = *pbSetUp || bSetUp;
        }
        if (bSent)
            ReportMissedNetworks(bMissed);
        if (*pbSetUp)
            return bSent;
        if (m_NumNetworks > 0)
            WOL_TRACE("UDP: no address of the host could be bound; sending from any address");
    }
    return SendFromAddress(htonl(INADDR_ANY), "UDP", &frames, bValid ? &destination : NULL,
                           pbSetUp);
}
