// kova32ex as a process on an IPX segment: it reaches ipxd over IPX and
// sends nothing over UDP; without IPX it falls back to UDP; tshark decodes
// its wake as IPX.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <map>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "ipxtest.h"
#include "testutil.h"

using namespace std::chrono_literals;

namespace {

kt::RunResult Wake(const std::string &line, std::map<std::string, std::string> env, kt::TempDir &dir)
{
    kt::RunOptions options;
    options.cwd = dir.path();
    options.env = std::move(env);
    return kt::Run({KOVA32EX_BIN, line}, options);
}

TEST(Kova32exIpx, ReachesIpxdOverIpxAndNothingOverUdp)
{
    ipxt::Segment segment;
    kt::UdpListener udp;
    auto ipxd = ipxt::StartIpxd(segment, {"--magic"});
    kt::TempDir dir;
    auto run = Wake("WAKE IPXNET=0000ABCD 00A0C9123456",
                    {{"KOVA_IPX", segment.env()}, {"KOVA_UDP_TARGET", udp.target()}}, dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(kt::ReadFile(dir / "KOVA.TMP").substr(0, 12), "WAKE-SUCCESS");
    ipxd->waitFor("mac 6A2C48930500", 10s);
    auto magic = ipxt::LinesWith(ipxd->stop(SIGTERM), "magic");
    const char *macs[] = {"00A0C9123456", "563412C9A000", "000593482C6A", "6A2C48930500"};
    ASSERT_EQ(magic.size(), 4u);
    for (int i = 0; i < 4; i++) {
        // From the wake socket, 0x9043, of kova32ex's node on the segment.
        EXPECT_EQ(magic[i].rfind("magic net 0000ABCD node FFFFFFFFFFFF socket 9043 from 0000ABCD:024B", 0), 0u)
            << magic[i];
        EXPECT_NE(magic[i].find(std::string(":9043 bytes 102 mac ") + macs[i] + " frame ok"), std::string::npos)
            << magic[i];
    }
    EXPECT_FALSE(udp.receive(500ms).has_value());
}

TEST(Kova32exIpx, WithoutIpxFallsBackToUdp)
{
    kt::UdpListener udp;
    kt::TempDir dir;
    auto run = Wake("WAKE IPXNET=0000ABCD 00A0C9123456", {{"KOVA_IPX", "\x01"}, {"KOVA_UDP_TARGET", udp.target()}},
                    dir);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(kt::ReadFile(dir / "KOVA.TMP").substr(0, 12), "WAKE-SUCCESS");
    auto frames = udp.drain(1000ms);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].bytes, kt::MagicFrame({0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}));
}

TEST(Kova32exIpx, TsharkDecodesTheWakeAsIpx)
{
    if (access("/usr/bin/tshark", X_OK) != 0 || access("/usr/bin/dumpcap", X_OK) != 0)
        GTEST_SKIP() << "tshark is not installed";
    ipxt::Segment segment;
    kt::TempDir dir;
    std::string capture = dir / "wake.pcapng";
    std::string filter = "udp port " + std::to_string(segment.port());
    ipxt::Child dumpcap({"/usr/bin/dumpcap", "-i", "lo", "-f", filter, "-w", capture});
    if (!dumpcap.waitFor("Capturing on", 20s))
        GTEST_SKIP() << "cannot capture here: " << dumpcap.output();
    // dumpcap reports before its filter is attached; give it time.
    std::this_thread::sleep_for(1s);
    kt::UdpListener udp;
    auto run = Wake("WAKE IPXNET=0000ABCD 00A0C9123456",
                    {{"KOVA_IPX", segment.env()}, {"KOVA_UDP_TARGET", udp.target()}}, dir);
    EXPECT_EQ(run.exitCode, 0);
    std::this_thread::sleep_for(1s); // let the capture take the last packets
    dumpcap.stop(SIGINT);
    auto decoded = kt::Run({"/usr/bin/tshark", "-r", capture, "-d",
                            "udp.port==" + std::to_string(segment.port()) + ",ipx", "-Y", "ipx.dst.socket == 0x9043",
                            "-T", "fields", "-e", "ipx.dst.net", "-e", "ipx.dst.node", "-e", "ipx.len", "-e",
                            "data.len"});
    ASSERT_EQ(decoded.exitCode, 0) << decoded.err;
    std::vector<std::string> rows;
    std::istringstream in(decoded.out);
    for (std::string row; std::getline(in, row);)
        rows.push_back(row);
    ASSERT_EQ(rows.size(), 4u) << decoded.out;
    for (const std::string &row : rows)
        EXPECT_EQ(row, "0x0000abcd\tff:ff:ff:ff:ff:ff\t132\t102");
}

}  // namespace
