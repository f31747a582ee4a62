/* ipxdisc.cpp - IPX network discovery.
 *
 * A thread broadcasts a configuration request to the diagnostic socket of
 * every node, walks the component lists that come back, and asks the first
 * extended component that answers, over SPX, for all the networks it
 * knows.  The numbers go into NetList (the first 32) and their count into
 * NumNewNets, which the IPX sender reads on the caller's thread.
 *
 * Each FindNets begins a discovery with a new generation.  The thread of an
 * older generation is stale: it writes nothing more, and it closes no
 * socket, since the handle may by now name a socket of a later request.
 * Once its request has ended (EndDiscoveryRequest), the thread stops, and
 * the request's WSACleanup closes its sockets.  The generation, the request
 * flag and the list are changed only under m_DiscLock; the count is
 * published after the entries it covers (release), so a reader that loads
 * it (acquire) finds them filled.
 */
#include "kovawin.h"

#include "wol32.h"

StructNetworkAddress NetList[IPX_NETLIST_SLOTS];
std::atomic<int> NumNewNets{0};
HANDLE DiscThreadId = NULL;

static const char querypacket[IPX_QUERY_LEN] = {0};

static std::atomic_flag m_DiscLock = ATOMIC_FLAG_INIT;
static int m_DiscGeneration;            /* of the most recent FindNets */
static int m_DiscOpen;                  /* its request has not ended */
static SOCKET m_DiscSocket = INVALID_SOCKET; /* handed to its thread */

static void LockDiscovery(void)
{
    while (m_DiscLock.test_and_set(std::memory_order_acquire))
        Sleep(0);
}

static void UnlockDiscovery(void)
{
    m_DiscLock.clear(std::memory_order_release);
}

/* The discovery of this generation is the current one and its request is
 * still running, so its sockets are still its own. */
static int DiscoveryLive(int generation)
{
    int live;
    LockDiscovery();
    live = generation == m_DiscGeneration && m_DiscOpen;
    UnlockDiscovery();
    return live;
}

static void CloseDiscoverySocket(SOCKET s, int generation)
{
    LockDiscovery();
    if (generation == m_DiscGeneration && m_DiscOpen)
        closesocket(s);
    UnlockDiscovery();
}

/* Stores one reply's networks after those counted so far and publishes
 * the new count.  0 when the discovery is stale: nothing is written. */
static int StoreNetworks(const unsigned char *networks, int held, int generation)
{
    int count, i;

    LockDiscovery();
    if (generation != m_DiscGeneration) {
        UnlockDiscovery();
        return 0;
    }
    count = NumNewNets.load(std::memory_order_relaxed);
    for (i = 0; i < held && count + i < IPX_NETLIST_SLOTS; i++)
        memcpy(NetList[count + i].address, networks + WOL_IPX_NET_LEN * i, WOL_IPX_NET_LEN);
    if (held > 0x7FFFFFFF - count)
        held = 0x7FFFFFFF - count;
    NumNewNets.store(count + held, std::memory_order_release);
    UnlockDiscovery();
    return 1;
}

void EndDiscoveryRequest(void)
{
    LockDiscovery();
    m_DiscOpen = 0;
    UnlockDiscovery();
}

/* Host order to wire order on the little-endian target: the interface
 * names it, and the diagnostic query's socket number goes through it. */
unsigned short k_reverse_bytes_in_ushort(unsigned short intel_input)
{
    return (unsigned short)(((intel_input & 0xFF) << 8) | ((intel_input >> 8) & 0xFF));
}

unsigned long ReceivePacket(SOCKET s, SOCKADDR_IPX *address, char *packet, int *length,
                            int maxsize)
{
    int addressLen = sizeof(SOCKADDR_IPX);
    int result;

    if (s == INVALID_SOCKET)
        return 0;
    memset(address, 0, sizeof(SOCKADDR_IPX));
    result = recvfrom(s, packet, maxsize, 0, (struct sockaddr *)address, &addressLen);
    *length = result < 0 ? 0 : result;
    return 0;
}

int SendPacket(SOCKET s, SOCKADDR_IPX *address, const char *packet, int length)
{
    if (s == INVALID_SOCKET)
        return 1;
    return sendto(s, packet, length, 0, (struct sockaddr *)address, sizeof(SOCKADDR_IPX)) ==
                   length
               ? 0
               : 1;
}

int WalkComponents(const unsigned char *response, int received, ComponentQuery query,
                   void *context)
{
    const unsigned char *components;
    int size, p, j, count, entry;

    /* Shorter than its head: nothing to walk. */
    if (received < IPX_RESPONSE_HEAD)
        return 0;
    components = response + IPX_RESPONSE_HEAD;
    if (received > IPX_RECEIVE_LIMIT)
        received = IPX_RECEIVE_LIMIT;
    size = received - IPX_RESPONSE_HEAD;
    count = (signed char)response[4];
    p = 0;
    for (j = 0; j < count; j++) {
        /* The walk ends with the datagram, and before an entry whose
         * offset would not fit the request's one byte (cut to 8 bits it
         * would name another component). */
        if (p >= size || p > IPX_MAX_OFFSET)
            break;
        if ((signed char)components[p] <= IPX_SIMPLE_COMPONENT_MAX) {
            p += 1;
            continue;
        }
        if (p + IPX_EXT_HEAD > size)
            break;
        entry = IPX_EXT_HEAD + IPX_ADDR_LEN * components[p + 1];
        if (p + entry > size)
            break; /* the entry claims more networks than arrived */
        if (query((unsigned char)p, context) == 1)
            return 1;
        p += entry;
    }
    return 0;
}

int ReplyNetworks(const unsigned char *reply, int received, int *claimed)
{
    int held;

    *claimed = 0;
    if (received < IPX_REPLY_HEAD)
        return 0;
    *claimed = reply[IPX_REPLY_COUNT_AT] | (reply[IPX_REPLY_COUNT_AT + 1] << 8);
    if (reply[0] != 0)
        return 0;
    held = *claimed;
    if (held > IPX_REPLY_MAX_NETS)
        held = IPX_REPLY_MAX_NETS;
    if (held > (received - IPX_REPLY_HEAD) / WOL_IPX_NET_LEN)
        held = (received - IPX_REPLY_HEAD) / WOL_IPX_NET_LEN;
    return held;
}

int FindNetworks(SOCKET s, SOCKADDR_IPX *DiscAddress, unsigned char offset, int generation)
{
    SOCKET SpxSocket;
    SOCKADDR_IPX local;
    int localLen = sizeof(local);
    char request[IPX_SPX_REQUEST_LEN];
    unsigned char RecvBuf[IPX_RECVBUF_LEN];
    int startIndex = 0; /* this component's networks, from its first */
    int received, held, claimed;

    (void)s;
    SpxSocket = socket(AF_IPX, SOCK_STREAM, NSPROTO_SPX);
    if (SpxSocket == INVALID_SOCKET)
        return 1;
    memset(&local, 0, sizeof(local));
    local.sa_family = AF_IPX;
    if (bind(SpxSocket, (struct sockaddr *)&local, sizeof(local)) == SOCKET_ERROR ||
        getsockname(SpxSocket, (struct sockaddr *)&local, &localLen) == SOCKET_ERROR ||
        connect(SpxSocket, (struct sockaddr *)DiscAddress, sizeof(SOCKADDR_IPX)) == SOCKET_ERROR) {
        CloseDiscoverySocket(SpxSocket, generation);
        return 0;
    }
    for (;;) {
        request[0] = (char)offset;
        request[1] = IPX_SPX_REQUEST_CODE;
        request[2] = (char)(startIndex & 0xFF);
        request[3] = (char)((startIndex >> 8) & 0xFF);
        if (send(SpxSocket, request, IPX_SPX_REQUEST_LEN, 0) != IPX_SPX_REQUEST_LEN)
            break;
        memset(RecvBuf, 0, sizeof(RecvBuf));
        received = recv(SpxSocket, (char *)RecvBuf, sizeof(RecvBuf), 0);
        held = received > 0 ? ReplyNetworks(RecvBuf, received, &claimed) : 0;
        if (held == 0)
            break;
        if (!StoreNetworks(RecvBuf + IPX_REPLY_HEAD, held, generation))
            return 1; /* stale: its socket is no longer its own to close */
        startIndex += held;
        /* More may follow only after a full page that said so, and only
         * while the next start index fits its 16 bits. */
        if (claimed != IPX_REPLY_MAX_NETS || held != IPX_REPLY_MAX_NETS ||
            startIndex > IPX_MAX_START_INDEX) {
            CloseDiscoverySocket(SpxSocket, generation);
            return 1;
        }
    }
    CloseDiscoverySocket(SpxSocket, generation);
    return 0;
}

/* What the walk's queries need of the response being walked. */
typedef struct DiscoveryWalk {
    SOCKET s;
    const SOCKADDR_IPX *responder;
    const unsigned char *spxSocket; /* the response's two bytes */
    int generation;
} DiscoveryWalk;

static int QueryComponent(unsigned char offset, void *context)
{
    DiscoveryWalk *walk = (DiscoveryWalk *)context;
    SOCKADDR_IPX DiscAddress;

    if (!DiscoveryLive(walk->generation))
        return 1;
    memset(&DiscAddress, 0, sizeof(DiscAddress));
    DiscAddress.sa_family = AF_IPX;
    memcpy(DiscAddress.sa_netnum, walk->responder->sa_netnum, sizeof(DiscAddress.sa_netnum));
    memcpy(DiscAddress.sa_nodenum, walk->responder->sa_nodenum, sizeof(DiscAddress.sa_nodenum));
    memcpy(&DiscAddress.sa_socket, walk->spxSocket, sizeof(DiscAddress.sa_socket));
    return FindNetworks(walk->s, &DiscAddress, offset, walk->generation);
}

/* One select for readability of s; 1 when it reported s readable. */
static int WaitReadable(SOCKET s, long seconds)
{
    fd_set readSet;
    struct timeval CheckWait;

    FD_ZERO(&readSet);
    FD_SET(s, &readSet);
    CheckWait.tv_sec = seconds;
    CheckWait.tv_usec = 0;
    return select(0, &readSet, NULL, NULL, &CheckWait) == 1;
}

DWORD WINAPI DoDiscovery(LPVOID lpParameter)
{
    int generation = (int)(INT_PTR)lpParameter;
    SOCKET s;
    SOCKADDR_IPX queryAddress, recvaddress;
    StructConfigurationResponse c;
    DiscoveryWalk walk;
    int length, found;

    LockDiscovery();
    s = generation == m_DiscGeneration ? m_DiscSocket : INVALID_SOCKET;
    UnlockDiscovery();
    if (s == INVALID_SOCKET)
        return 1; /* stale before it began */

    /* Drain whatever is waiting already. */
    while (DiscoveryLive(generation) && WaitReadable(s, 0))
        ReceivePacket(s, &recvaddress, (char *)&c, &length, IPX_RECEIVE_LIMIT);

    walk.s = s;
    walk.responder = &recvaddress;
    walk.spxSocket = c.SPXDiagnosticSocket;
    walk.generation = generation;
    memset(&queryAddress, 0, sizeof(queryAddress));
    queryAddress.sa_family = AF_IPX;
    memset(queryAddress.sa_nodenum, 0xFF, sizeof(queryAddress.sa_nodenum));
    queryAddress.sa_socket = k_reverse_bytes_in_ushort(IPX_DIAG_SOCKET);
    if (DiscoveryLive(generation) && SendPacket(s, &queryAddress, querypacket, IPX_QUERY_LEN) == 0) {
        /* Collect until a wait of IPX_DISCOVERY_WAIT_S brings nothing; each
         * datagram starts a new wait. */
        found = 0;
        while (DiscoveryLive(generation) && WaitReadable(s, IPX_DISCOVERY_WAIT_S)) {
            ReceivePacket(s, &recvaddress, (char *)&c, &length, IPX_RECEIVE_LIMIT);
            if (found)
                continue;
            /* Only the bytes of this datagram: a failed receive has length 0,
             * so an older response left in c is never walked again. */
            found = WalkComponents((const unsigned char *)&c, length, QueryComponent, &walk);
        }
        if (!found && DiscoveryLive(generation))
            WOL_TRACE("IPX discovery found no network: no component answered within %d s",
                      IPX_DISCOVERY_WAIT_S);
    }
    CloseDiscoverySocket(s, generation);
    return 1;
}

int FindNets(void)
{
    SOCKET s;
    HANDLE thread;
    DWORD threadId;
    int bVal = 1;
    int generation;

    /* From here on an older discovery is stale and writes nothing. */
    LockDiscovery();
    generation = ++m_DiscGeneration;
    m_DiscOpen = 1;
    m_DiscSocket = INVALID_SOCKET;
    NumNewNets.store(0, std::memory_order_release);
    memset(NetList, 0, sizeof(NetList));
    UnlockDiscovery();

    s = socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX);
    if (s == INVALID_SOCKET) {
        WOL_TRACE("IPX discovery: socket failed, error %d", WSAGetLastError());
        return 0;
    }
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, (const char *)&bVal, sizeof(bVal)) ==
        SOCKET_ERROR) {
        WOL_TRACE("IPX discovery: setsockopt SO_BROADCAST failed, error %d", WSAGetLastError());
        closesocket(s);
        return 0;
    }
    if (DiscThreadId != NULL) {
        CloseHandle(DiscThreadId);
        DiscThreadId = NULL;
    }
    LockDiscovery();
    m_DiscSocket = s;
    UnlockDiscovery();
    thread = CreateThread(NULL, 0, DoDiscovery, (LPVOID)(INT_PTR)generation, 0, &threadId);
    if (thread == NULL) {
        WOL_TRACE("IPX discovery: CreateThread failed, error %d", (int)GetLastError());
        LockDiscovery();
        m_DiscSocket = INVALID_SOCKET;
        UnlockDiscovery();
        closesocket(s);
        return 0;
    }
    DiscThreadId = thread;
    return 0;
}
