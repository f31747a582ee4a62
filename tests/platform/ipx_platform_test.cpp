// The layer's IPX and SPX sockets: the bytes they put on the segment, what
// each socket keeps, socket numbers, and clean-up waking a blocked thread.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ipxtest.h"
#include "testutil.h"

#include "kovawin.h"

using namespace std::chrono_literals;

namespace {

const std::vector<uint8_t> kAll = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

std::vector<uint8_t> OwnNode()
{
    uint32_t pid = uint32_t(getpid());
    return {0x02, 0x4B, uint8_t(pid >> 24), uint8_t(pid >> 16), uint8_t(pid >> 8), uint8_t(pid)};
}

SOCKADDR_IPX Ipx(std::vector<uint8_t> net, std::vector<uint8_t> node, uint16_t socketNumber)
{
    SOCKADDR_IPX a;
    memset(&a, 0, sizeof a);
    a.sa_family = AF_IPX;
    memcpy(a.sa_netnum, net.data(), 4);
    memcpy(a.sa_nodenum, node.data(), 6);
    a.sa_socket = htons(socketNumber);
    return a;
}

// Windows Sockets started on a segment of the test's own.
class IpxSockets : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("KOVA_IPX", segment.env().c_str(), 1);
        WSADATA data;
        ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    }
    void TearDown() override { WSACleanup(); }

    SOCKET Open(int type, uint16_t number, bool bound = true)
    {
        SOCKET s = socket(AF_IPX, type, type == SOCK_DGRAM ? NSPROTO_IPX : NSPROTO_SPX);
        EXPECT_NE(s, INVALID_SOCKET) << WSAGetLastError();
        int on = 1;
        EXPECT_EQ(setsockopt(s, SOL_SOCKET, SO_BROADCAST, (const char *)&on, sizeof on), 0);
        SOCKADDR_IPX local = Ipx({0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, number);
        if (bound) {
            EXPECT_EQ(bind(s, (struct sockaddr *)&local, sizeof local), 0) << WSAGetLastError();
        }
        return s;
    }

    uint16_t NumberOf(SOCKET s)
    {
        SOCKADDR_IPX local;
        int len = sizeof local;
        if (getsockname(s, (struct sockaddr *)&local, &len) != 0)
            return 0;
        return ntohs(local.sa_socket);
    }

    ipxt::Segment segment{0x0000ABCD};
    const std::vector<uint8_t> net = {0x00, 0x00, 0xAB, 0xCD};
};

TEST(IpxWithoutSegment, EverySocketFailsAsWithoutIpx)
{
    unsetenv("KOVA_IPX");
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
    EXPECT_EQ(socket(AF_IPX, SOCK_STREAM, NSPROTO_SPX), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEAFNOSUPPORT);
    SOCKET udp = socket(AF_INET, SOCK_DGRAM, 0);
    EXPECT_NE(udp, INVALID_SOCKET);
    closesocket(udp);
    WSACleanup();
}

TEST_F(IpxSockets, DatagramTravelsAsWholeIpxPacket)
{
    SOCKET s = Open(SOCK_DGRAM, 0x9043);
    SOCKADDR_IPX to = Ipx({0x00, 0x12, 0xAB, 0xCD}, kAll, 0x0456);
    ASSERT_EQ(sendto(s, "\x01\x02\x03", 3, 0, (struct sockaddr *)&to, sizeof to), 3);
    auto packets = segment.drain(300ms);
    ASSERT_EQ(packets.size(), 1u);
    const ipxt::Packet &p = packets[0];
    EXPECT_EQ(p.udpSize, 33u);
    EXPECT_EQ(p.checksum, 0xFFFF);
    EXPECT_EQ(p.length, 33);
    EXPECT_EQ(p.control, 0);
    EXPECT_EQ(p.type, 0);
    EXPECT_EQ(kt::Hex(p.dstNet), "0012ABCD");
    EXPECT_EQ(p.dstNode, kAll);
    EXPECT_EQ(p.dstSocket, 0x0456);
    EXPECT_EQ(p.srcNet, net);
    EXPECT_EQ(p.srcNode, OwnNode());
    EXPECT_EQ(p.srcSocket, 0x9043);
    EXPECT_EQ(p.data, (std::vector<uint8_t>{1, 2, 3}));
}

TEST_F(IpxSockets, SocketNumbersAreAssignedAndGuarded)
{
    SOCKET a = Open(SOCK_DGRAM, 0), b = Open(SOCK_DGRAM, 0);
    uint16_t na = NumberOf(a), nb = NumberOf(b);
    EXPECT_GE(na, 0x5000);
    EXPECT_LE(na, 0x7FFF);
    EXPECT_NE(na, nb);

    // Unbound: no name yet, a dynamic number at the first send.
    SOCKET c = Open(SOCK_DGRAM, 0, false);
    EXPECT_EQ(NumberOf(c), 0);
    SOCKADDR_IPX to = Ipx({0, 0, 0, 0}, kAll, 0x1234);
    ASSERT_EQ(sendto(c, "x", 1, 0, (struct sockaddr *)&to, sizeof to), 1);
    uint16_t nc = NumberOf(c);
    EXPECT_GE(nc, 0x5000);
    auto packets = segment.drain(300ms);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].srcSocket, nc);

    // A fixed number twice: only with SO_REUSEADDR.
    SOCKET d = Open(SOCK_DGRAM, 0x5555);
    SOCKET e = Open(SOCK_DGRAM, 0, false);
    SOCKADDR_IPX same = Ipx({0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0x5555);
    EXPECT_EQ(bind(e, (struct sockaddr *)&same, sizeof same), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    int on = 1;
    setsockopt(e, SOL_SOCKET, SO_REUSEADDR, (const char *)&on, sizeof on);
    EXPECT_EQ(bind(e, (struct sockaddr *)&same, sizeof same), 0);
    SOCKADDR_IPX elsewhere = Ipx({1, 2, 3, 4}, {0, 0, 0, 0, 0, 0}, 0);
    SOCKET f = Open(SOCK_DGRAM, 0, false);
    EXPECT_EQ(bind(f, (struct sockaddr *)&elsewhere, sizeof elsewhere), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEADDRNOTAVAIL);
    for (SOCKET s : {a, b, c, d, e, f})
        closesocket(s);
}

TEST_F(IpxSockets, KeepsOnlyWhatIsAddressedToIt)
{
    SOCKET a = Open(SOCK_DGRAM, 0x6001), b = Open(SOCK_DGRAM, 0x6002);
    struct Case {
        const char *what;
        std::vector<uint8_t> net, node;
        uint16_t socketNumber;
        bool arrives;
    } cases[] = {
        {"network 0, own node", {0, 0, 0, 0}, OwnNode(), 0x6002, true},
        {"own network, all nodes", net, kAll, 0x6002, true},
        {"another network", {0, 0, 0, 9}, kAll, 0x6002, false},
        {"another node", {0, 0, 0, 0}, {2, 0x4B, 0, 0, 0, 1}, 0x6002, false},
        {"another socket", {0, 0, 0, 0}, kAll, 0x6003, false},
    };
    for (const Case &c : cases) {
        SOCKADDR_IPX to = Ipx(c.net, c.node, c.socketNumber);
        ASSERT_EQ(sendto(a, "hello", 5, 0, (struct sockaddr *)&to, sizeof to), 5) << c.what;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(b, &readable);
        struct timeval wait = {0, 300000};
        int ready = select(0, &readable, NULL, NULL, &wait);
        ASSERT_EQ(ready, c.arrives ? 1 : 0) << c.what;
        if (!c.arrives)
            continue;
        char buf[16];
        SOCKADDR_IPX from;
        int fromLen = sizeof from;
        ASSERT_EQ(recvfrom(b, buf, sizeof buf, 0, (struct sockaddr *)&from, &fromLen), 5) << c.what;
        EXPECT_EQ(ntohs(from.sa_socket), 0x6001);
        EXPECT_EQ(memcmp(from.sa_nodenum, OwnNode().data(), 6), 0);
        EXPECT_EQ(memcmp(from.sa_netnum, net.data(), 4), 0);
    }
    // Its own broadcast does not come back to the sender.
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(a, &readable);
    struct timeval none = {0, 200000};
    EXPECT_EQ(select(0, &readable, NULL, NULL, &none), 0);

    // Broadcast needs SO_BROADCAST; a datagram longer than the buffer is cut.
    SOCKET quiet = socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX);
    SOCKADDR_IPX toB = Ipx(net, kAll, 0x6002);
    EXPECT_EQ(sendto(quiet, "x", 1, 0, (struct sockaddr *)&toB, sizeof toB), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEACCES);
    ASSERT_EQ(sendto(a, "0123456789", 10, 0, (struct sockaddr *)&toB, sizeof toB), 10);
    char small[4];
    EXPECT_EQ(recvfrom(b, small, sizeof small, 0, NULL, NULL), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
}

TEST_F(IpxSockets, LastCleanupFailsBlockedCalls)
{
    SOCKET d = Open(SOCK_DGRAM, 0x6101);
    SOCKET s = Open(SOCK_STREAM, 0);
    auto blockedRecvfrom = std::async(std::launch::async, [d] {
        char buf[8];
        return recvfrom(d, buf, sizeof buf, 0, NULL, NULL);
    });
    auto blockedConnect = std::async(std::launch::async, [s] {
        // Nobody answers on this node: the connection attempt is under way
        // when the clean-up comes.
        SOCKADDR_IPX to = Ipx({0, 0, 0, 0}, {2, 0x4B, 0, 0, 0, 1}, 0x4444);
        return connect(s, (struct sockaddr *)&to, sizeof to);
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(WSACleanup(), 0);
    ASSERT_EQ(blockedRecvfrom.wait_for(20s), std::future_status::ready);
    ASSERT_EQ(blockedConnect.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(blockedRecvfrom.get(), SOCKET_ERROR);
    EXPECT_EQ(blockedConnect.get(), SOCKET_ERROR);
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
}

// A peer of our own on the tap: answers the connection request, then sends
// one message in three packets, a short one, and the end of the connection.
std::vector<uint8_t> SpxPacket(const ipxt::Packet &request, uint8_t control, uint8_t datastream,
                               uint16_t seq, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> p(42);
    p[0] = p[1] = 0xFF;
    p[2] = uint8_t((42 + data.size()) >> 8);
    p[3] = uint8_t(42 + data.size());
    p[5] = 5;
    std::copy(request.srcNet.begin(), request.srcNet.end(), p.begin() + 6);
    std::copy(request.srcNode.begin(), request.srcNode.end(), p.begin() + 10);
    p[16] = uint8_t(request.srcSocket >> 8);
    p[17] = uint8_t(request.srcSocket);
    std::copy(request.dstNet.begin(), request.dstNet.end(), p.begin() + 18);
    std::copy(request.dstNode.begin(), request.dstNode.end(), p.begin() + 22);
    p[28] = uint8_t(request.dstSocket >> 8);
    p[29] = uint8_t(request.dstSocket);
    p[30] = control;
    p[31] = datastream;
    p[32] = 0x77; // our connection ID 0x7777
    p[33] = 0x77;
    p[34] = request.data[2]; // theirs
    p[35] = request.data[3];
    p[36] = uint8_t(seq >> 8);
    p[37] = uint8_t(seq);
    size_t head = p.size();
    p.resize(head + data.size());
    std::copy(data.begin(), data.end(), p.begin() + ptrdiff_t(head));
    return p;
}

TEST_F(IpxSockets, SpxRecvReturnsOneMessageWhateverCarriesIt)
{
    SOCKET s = Open(SOCK_STREAM, 0);
    const std::vector<uint8_t> peerNode = {0x02, 0x4B, 0, 0, 0, 1};
    auto client = std::async(std::launch::async, [&] {
        SOCKADDR_IPX to = Ipx({0, 0, 0, 0}, peerNode, 0x4444);
        std::vector<int> results = {connect(s, (struct sockaddr *)&to, sizeof to)};
        char buf[2000];
        for (int i = 0; i < 3; i++)
            results.push_back(recv(s, buf, sizeof buf, 0));
        return results;
    });
    // The connection request: SPX, system and acknowledgement wanted, to an
    // unknown connection.
    std::vector<ipxt::Packet> seen;
    for (int tries = 0; tries < 40 && seen.empty(); tries++)
        for (auto &p : segment.drain(100ms))
            if (p.type == 5 && p.dstSocket == 0x4444)
                seen.push_back(p);
    ASSERT_FALSE(seen.empty());
    const ipxt::Packet request = seen[0];
    ASSERT_EQ(request.data.size(), 12u);
    EXPECT_EQ(request.data[0], 0xC0);
    EXPECT_EQ(request.data[4], 0xFF);
    EXPECT_EQ(request.data[5], 0xFF);
    EXPECT_EQ(request.dstNode, peerNode);

    segment.send(SpxPacket(request, 0x80, 0, 0, {}));
    std::vector<uint8_t> big(1200);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = uint8_t(i);
    segment.send(SpxPacket(request, 0x40, 0, 0, {big.begin(), big.begin() + 534}));
    segment.send(SpxPacket(request, 0x40, 0, 1, {big.begin() + 534, big.begin() + 1068}));
    segment.send(SpxPacket(request, 0x50, 0, 2, {big.begin() + 1068, big.end()}));
    segment.send(SpxPacket(request, 0x50, 0, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    segment.send(SpxPacket(request, 0x40, 0xFE, 4, {}));
    ASSERT_EQ(client.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(client.get(), (std::vector<int>{0, 1200, 10, 0}));

    // Every data packet was acknowledged.
    uint16_t lastAck = 0;
    for (auto &p : segment.drain(300ms))
        if (p.type == 5 && p.dstSocket == 0x4444 && p.data.size() >= 12 && (p.data[0] & 0x80))
            lastAck = uint16_t(p.data[8] << 8 | p.data[9]);
    EXPECT_EQ(lastAck, 5);
    closesocket(s);
}

}  // namespace
