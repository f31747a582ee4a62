// The wakelan build of the engine: IPX passes to the local and then the
// discovered networks, never past the 32 stored, and its one byte larger
// receive limit.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "ipxtest.h"
#include "testutil.h"

#include "wol32.h"

using namespace std::chrono_literals;

namespace {

TEST(WakelanIpxSender, PassesGoToLocalThenStoredNetworks)
{
    struct Case {
        int known;
        int passes;
    } cases[] = {{0, 1}, {2, 3}, {40, 33}};
    for (const Case &c : cases) {
        ipxt::Segment segment;
        setenv("KOVA_IPX", segment.env().c_str(), 1);
        WSADATA data;
        ASSERT_EQ(WSAStartup(0x0101, &data), 0);
        m_Socket = socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX);
        int on = 1;
        setsockopt(m_Socket, SOL_SOCKET, SO_BROADCAST, (const char *)&on, sizeof on);
        memset(sequence, 0xFF, 6);
        for (int i = 0; i < IPX_NETLIST_SLOTS; i++) {
            uint8_t slot[4] = {0x0E, 0, 0, uint8_t(i + 1)};
            memcpy(NetList[i].address, slot, 4);
        }
        NumNewNets.store(c.known);
        char mac[] = "00A0C9123456";
        EXPECT_EQ(DoIPX(mac), 1);
        closesocket(m_Socket);
        WSACleanup();
        NumNewNets.store(0);

        auto packets = segment.drain(300ms);
        ASSERT_EQ(packets.size(), 4u * size_t(c.passes)) << c.known;
        for (size_t i = 0; i < packets.size(); i++) {
            int pass = int(i / 4);
            std::string expected = pass == 0 ? "00000000" : kt::Hex({0x0E, 0, 0, uint8_t(pass)});
            EXPECT_EQ(kt::Hex(packets[i].dstNet), expected) << "datagram " << i;
            EXPECT_EQ(packets[i].dstSocket, 0x9043);
        }
    }
}

TEST(WakelanDiscovery, TakesAResponseOfItsLargerLimit)
{
    // 5 + (2 + 11 * 91) + 6 = 1014 bytes: walked here, one byte too many
    // for kova32ex.
    ipxt::Segment segment;
    auto responder = ipxt::StartIpxd(segment, {"--components", "5:91,0,0,0,0,0,0", "--networks", "4"});
    setenv("KOVA_IPX", segment.env().c_str(), 1);
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    FindNets();
    ASSERT_EQ(WaitForSingleObject(DiscThreadId, 60000), WAIT_OBJECT_0);
    WSACleanup();
    auto lines = responder->stop(SIGTERM);
    auto responses = ipxt::LinesWith(lines, "config-response to");
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_NE(responses[0].find("bytes 1014"), std::string::npos);
    EXPECT_EQ(NumNewNets.load(), 4);
}

}  // namespace
