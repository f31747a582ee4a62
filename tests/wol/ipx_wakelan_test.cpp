// The wakelan build of the engine: IPX passes to the local and then the
// discovered networks, never past the 32 stored, and its one byte larger
// receive limit.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>
#include <string>
#include <vector>

#include "ipxtest.h"
#include "testutil.h"

#include "wakew32.h"
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

// Another program keeps port 13992 for a whole run of 100 addresses: the
// first waits for it and falls back to IPX, every later one at once.  Once
// the port has been free again, a brief hold is waited for as before.
TEST(WakelanBindWait, PortKeptForAWholeRunIsWaitedForOnce)
{
    ipxt::Segment segment;
    setenv("KOVA_IPX", segment.env().c_str(), 1);
    kt::UdpListener listener;
    setenv("KOVA_UDP_TARGET", listener.target().c_str(), 1);
    auto holder = std::make_unique<kt::UdpListener>(13992, "0.0.0.0");
    const unsigned long before = kova_binds_in_use();
    unsigned long firstWait = 0;
    size_t magic = 0;
    auto countMagic = [&](std::chrono::milliseconds quiet) {
        for (const auto &p : segment.drain(quiet))
            magic += p.dstSocket == 0x9043;
    };
    for (int i = 0; i < 100; i++) {
        char mac[16];
        snprintf(mac, sizeof mac, "02AB0C%06X", i);
        ASSERT_EQ(KOVASendWakeOnLAN(mac), 0) << mac;
        if (i == 0)
            firstWait = kova_binds_in_use() - before;
        countMagic(1ms);
    }
    EXPECT_GT(firstWait, 1u);
    EXPECT_EQ(kova_binds_in_use() - before, firstWait + 99);
    EXPECT_EQ(magic, 4u * 100);

    holder.reset();
    char mac[] = "00A0C9123456";
    EXPECT_EQ(KOVASendWakeOnLAN(mac), 0);
    holder = std::make_unique<kt::UdpListener>(13992, "0.0.0.0");
    std::thread release([&holder] {
        std::this_thread::sleep_for(300ms);
        holder.reset();
    });
    EXPECT_EQ(KOVASendWakeOnLAN(mac), 0);
    release.join();
    countMagic(50ms);
    EXPECT_EQ(magic, 4u * 100) << "a brief hold fell back to IPX";
    EXPECT_EQ(listener.drain(50ms).size(), 4u);
}

}  // namespace
