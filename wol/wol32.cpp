/* wol32.cpp - the engine's front end and its UDP sender. */
#include "kovawin.h"

#include "wakew32.h"
#include "wol32.h"

SOCKET m_Socket = INVALID_SOCKET;
WSADATA m_wsaData;
WORD m_wVersion = 0x0101;
int m_bVal = 1;
char networkNumber[10];

/* Whether the last sender put every datagram out whole.  WakeUp reports
 * only that a transport was set up; the front end needs both. */
static int m_bSenderStatus;

#define WOL_PROTOCOL_NAME(protocol) ((protocol) == PROTO_IP ? "UDP" : "IPX")

/* A Windows Sockets call that failed: named, with its error, on the
 * debugging channel.  Always 1, so that it sits in a failure's condition. */
static int TraceFailure(const char *pCall)
{
    WOL_TRACE("%s failed, error %d", pCall, WSAGetLastError());
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

    if (WakeUp(text, WOL_FIRST_PROTOCOL) || WakeUp(text, WOL_SECOND_PROTOCOL))
        return m_bSenderStatus ? 0 : KOVA_WOL_FAILURE;
    WOL_TRACE("WAKE %s failed: neither IPX nor UDP could be set up", text);
    return KOVA_WOL_FAILURE;
}

/* Set when a wait for port 13992 ran out, cleared when a bind finds it
 * free: a port another program keeps is waited for once, not again for
 * every address of a wakelan run (1,000 addresses would wait 33 minutes). */
static int m_bPortKept;

/* Port 13992 is taken only for the microseconds of one wake, so another
 * wake beside ours (a second request, a wakelan run) is no reason to fail:
 * wait for it in short pauses.  A port that stays taken for the whole wait
 * makes UDP fail. */
static int BindWakePort(const struct sockaddr_in *local)
{
    DWORD start = 0;
    int waiting = 0;

    while (bind(m_Socket, (const struct sockaddr *)local, sizeof(*local)) == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEADDRINUSE || m_bPortKept)
            return !TraceFailure("UDP bind to port 13992");
        /* The clock only once the port was found taken: a free port costs
         * nothing beyond the bind. */
        if (!waiting) {
            start = GetTickCount();
            waiting = 1;
        } else if (GetTickCount() - start >= WOL_BIND_WAIT_MS) {
            WOL_TRACE("UDP bind: port 13992 still in use after %d ms, error %d",
                      WOL_BIND_WAIT_MS, WSAGetLastError());
            m_bPortKept = 1;
            return 0;
        }
        Sleep(WOL_BIND_PAUSE_MS);
    }
    m_bPortKept = 0;
    return 1;
}

static int OpenUdpSocket(void)
{
    struct sockaddr_in local;

    m_Socket = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_Socket == INVALID_SOCKET)
        return !TraceFailure("UDP socket");
    memset(&local, 0, sizeof(local));
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(WOL_UDP_SOURCE_PORT);
    if ((setsockopt(m_Socket, SOL_SOCKET, SO_BROADCAST, (const char *)&m_bVal, sizeof(m_bVal)) ==
             SOCKET_ERROR &&
         TraceFailure("UDP setsockopt SO_BROADCAST")) ||
        !BindWakePort(&local)) {
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
        return !TraceFailure("IPX socket");
    memset(&local, 0, sizeof(local));
    local.sa_family = AF_IPX;
    local.sa_socket = htons(WOL_IPX_SOCKET);
    if ((setsockopt(m_Socket, SOL_SOCKET, SO_REUSEADDR, (const char *)&m_bVal, sizeof(m_bVal)) ==
             SOCKET_ERROR &&
         TraceFailure("IPX setsockopt SO_REUSEADDR")) ||
        (setsockopt(m_Socket, SOL_SOCKET, SO_BROADCAST, (const char *)&m_bVal, sizeof(m_bVal)) ==
             SOCKET_ERROR &&
         TraceFailure("IPX setsockopt SO_BROADCAST")) ||
        (bind(m_Socket, (struct sockaddr *)&local, sizeof(local)) == SOCKET_ERROR &&
         TraceFailure("IPX bind to socket 0x9043"))) {
        closesocket(m_Socket);
        return 0;
    }
    FindNets();
    return 1;
}

int WakeUp(char *macAddr, eProtocol protocol)
{
    char mac[WOL_MAC_COPY_LEN];
    int bStatus = 0;
    int startError;
    int count;

    if (protocol != PROTO_IP && protocol != PROTO_IPX)
        return 0;
    startError = WSAStartup(m_wVersion, &m_wsaData);
    if (startError != 0) {
        WOL_TRACE("%s: WSAStartup failed, error %d", WOL_PROTOCOL_NAME(protocol), startError);
        printf("Cannot initialize Windows Sockets.\n");
        return 0;
    }
    if (m_wsaData.iMaxUdpDg != 0 && m_wsaData.iMaxUdpDg < WOL_MIN_UDP_DG) {
        WOL_TRACE("%s: WSAStartup reports iMaxUdpDg %d, below %d", WOL_PROTOCOL_NAME(protocol),
                  (int)m_wsaData.iMaxUdpDg, WOL_MIN_UDP_DG);
        WSACleanup();
        return 0;
    }
    if (!(protocol == PROTO_IP ? OpenUdpSocket() : OpenIpxSocket())) {
        WSACleanup();
        return 0;
    }

    for (count = 1; count > 0; count--) {
        memset(mac, 0, sizeof(mac));
        strncpy(mac, macAddr, sizeof(mac) - 1);
        bStatus = protocol == PROTO_IP ? DoTCP(mac) : DoIPX(mac);
        if (!bStatus)
            break;
    }
    m_bSenderStatus = bStatus;
    if (bStatus)
        WOL_TRACE("woke %s over %s", macAddr, WOL_PROTOCOL_NAME(protocol));
    else
        WOL_TRACE("WAKE %s over %s failed: the send did not complete", macAddr,
                  WOL_PROTOCOL_NAME(protocol));
    if (bStatus) {
        closesocket(m_Socket);
        WSACleanup();
    }
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

/* KOVA_UDP_TARGET, a test and demo aid, sends the two frames to
 * A.B.C.D:PORT instead of the limited broadcast.  Any other value is a
 * mistake that must never become the real broadcast: then there is no
 * destination (0) and nothing is sent. */
static int UdpDestination(struct sockaddr_in *destination)
{
    static int loaded = 0;
    static int valid = 1;
    static uint32_t address = INADDR_BROADCAST;
    static unsigned short port = WOL_UDP_PORT;

    if (!loaded) {
        const char *target = getenv("KOVA_UDP_TARGET");
        if (target != NULL)
            valid = ParseUdpTarget(target, &address, &port);
        loaded = 1;
    }
    memset(destination, 0, sizeof(*destination));
    destination->sin_family = AF_INET;
    destination->sin_addr.s_addr = htonl(address);
    destination->sin_port = htons(port);
    return valid;
}

static int SendUdpFrame(const unsigned char *frame, const struct sockaddr_in *destination)
{
    int sent = sendto(m_Socket, (const char *)frame, WOL_FRAME_LEN, 0,
                      (const struct sockaddr *)destination, sizeof(*destination));

    if (sent != WOL_FRAME_LEN) {
        if (sent == SOCKET_ERROR)
            TraceFailure("UDP sendto");
        else
            WOL_TRACE("UDP sendto sent %d of %d bytes", sent, WOL_FRAME_LEN);
        closesocket(m_Socket);
        WSACleanup();
        return 0;
    }
    return 1;
}

int DoTCP(char *lpszMac)
{
    struct sockaddr_in destination;
    unsigned char bMAC1[WOL_MAC_LEN], bMAC2[WOL_MAC_LEN];
    unsigned char cFrame1[WOL_FRAME_LEN], cFrame2[WOL_FRAME_LEN];

    if (!UdpDestination(&destination)) {
        WOL_TRACE("UDP: KOVA_UDP_TARGET is not A.B.C.D:PORT, nothing sent");
        closesocket(m_Socket);
        WSACleanup();
        return 0;
    }
    WolTextToBytes(lpszMac, bMAC1, WOL_MAC_LEN);
    WolReverseByteOrder(bMAC2, bMAC1);

    if (setsockopt(m_Socket, SOL_SOCKET, SO_BROADCAST, (const char *)&m_bVal, sizeof(m_bVal)) ==
        SOCKET_ERROR) {
        TraceFailure("UDP setsockopt SO_BROADCAST");
        closesocket(m_Socket);
        WSACleanup();
        return 0;
    }
    WolBuildFrame(cFrame1, bMAC1);
    if (!SendUdpFrame(cFrame1, &destination))
        return 0;
    WolBuildFrame(cFrame2, bMAC2);
    return SendUdpFrame(cFrame2, &destination);
}
