// IPX network discovery (kova32ex build): the component walk and the reply
// count on bytes, then whole discoveries against real ipxd processes on a
// segment of the test's own, and the IPX sender's frames.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>

#include <cstdlib>
#include <string>
#include <vector>

#include "ipxtest.h"
#include "testutil.h"

#include "wakew32.h"
#include "wol32.h"

using namespace std::chrono_literals;

namespace {

/* ---- The walk and the reply, on bytes ------------------------------ */

int RecordOffset(unsigned char offset, void *context)
{
    static_cast<std::vector<int> *>(context)->push_back(offset);
    return 0;
}

std::vector<int> Walk(const std::vector<uint8_t> &response)
{
    std::vector<int> offsets;
    EXPECT_EQ(WalkComponents(response.data(), int(response.size()), RecordOffset, &offsets), 0);
    return offsets;
}

// Head (versions, SPX socket 4A4B, count) and then the entries.
std::vector<uint8_t> Response(int count, std::vector<uint8_t> entries)
{
    entries.insert(entries.begin(), {1, 0, 0x4A, 0x4B, uint8_t(count)});
    return entries;
}

std::vector<uint8_t> Extended(int id, int networks)
{
    std::vector<uint8_t> e = {uint8_t(id), uint8_t(networks)};
    e.resize(2 + 11 * size_t(networks), 0x11);
    return e;
}

std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto &p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(DiscoveryWalk, StopsAtEndOfDatagramAndAtOffsetsBeyondOneByte)
{
    struct Case {
        const char *what;
        std::vector<uint8_t> response;
        std::vector<int> offsets;
    } cases[] = {
        {"components 0, 1, 5 with 2 networks, 7", Response(4, Join({{0, 1}, Extended(5, 2), {7, 0}})), {2, 26}},
        {"shorter than its head", {1, 0, 0x4A, 0x4B}, {}},
        {"simple only, IDs up to 4 and negative", Response(4, {0, 4, 0x80, 0xFF}), {}},
        {"count larger than the entries sent", Response(100, Join({{0}, Extended(5, 1)})), {1}},
        {"negative count", Response(0x80, Extended(5, 1)), {}},
        {"entry claims more networks than arrived", Response(2, {5, 2, 0x11, 0x11, 7, 0}), {}},
        {"numNetworks 255 read unsigned, not as -1", Response(2, {5, 0xFF, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0}), {}},
        {"entry at 257 would be cut to offset 1",
         Response(3, Join({Extended(5, 23), {6, 0}, {7, 0}})), {0, 255}},
        {"extended head cut after its ID", Response(2, {0, 9}), {}},
    };
    for (const Case &c : cases)
        EXPECT_EQ(Walk(c.response), c.offsets) << c.what;

    int stops = 0;
    auto stopAtFirst = [](unsigned char, void *context) {
        ++*static_cast<int *>(context);
        return 1;
    };
    EXPECT_EQ(WalkComponents(cases[0].response.data(), int(cases[0].response.size()), stopAtFirst, &stops), 1);
    EXPECT_EQ(stops, 1);
}

TEST(DiscoveryReply, CountsOnlyTheNetworksItHolds)
{
    auto reply = [](uint8_t code, int claimed, int held) {
        std::vector<uint8_t> r = {code, 9, 9, 9, 9, uint8_t(claimed), uint8_t(claimed >> 8)};
        r.resize(7 + 4 * size_t(held), 0x22);
        return r;
    };
    struct Case {
        const char *what;
        std::vector<uint8_t> bytes;
        int held, claimed;
    } cases[] = {
        {"ten of ten", reply(0, 10, 10), 10, 10},
        {"a full page", reply(0, 128, 128), 128, 128},
        {"claims 300 in one reply", reply(0, 300, 137), 128, 300},
        {"claims 128, holds 5", reply(0, 128, 5), 5, 128},
        {"cut in the middle of a network", {0, 0, 0, 0, 0, 10, 0, 1, 2, 3, 4, 5, 6}, 1, 10},
        {"completion code 1", reply(1, 10, 10), 0, 10},
        {"no networks", reply(0, 0, 0), 0, 0},
        {"shorter than its head", {0, 0, 0, 0, 0, 10}, 0, 0},
    };
    for (const Case &c : cases) {
        int claimed = -1;
        EXPECT_EQ(ReplyNetworks(c.bytes.data(), int(c.bytes.size()), &claimed), c.held) << c.what;
        EXPECT_EQ(claimed, c.claimed) << c.what;
    }
    EXPECT_EQ(k_reverse_bytes_in_ushort(0x0456), 0x5604);
}

/* ---- Whole discoveries against ipxd -------------------------------- */

const uint32_t kBase = 0x00C00001; // ipxd's first network

std::string Net(uint32_t n)
{
    return kt::Hex({uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
}

struct Outcome {
    int count = 0;
    std::vector<std::string> slots; // the stored networks, in hex
    std::vector<std::string> queries; // "offset O start S" as ipxd saw them
    std::vector<std::string> lines;   // all of ipxd's lines (the first ipxd)
};

// One discovery on the segment while the given ipxd run; waits for the
// thread to end, then collects what ipxd saw.
Outcome Discover(ipxt::Segment &segment, std::vector<std::unique_ptr<ipxt::Child>> responders)
{
    Outcome o;
    setenv("KOVA_IPX", segment.env().c_str(), 1);
    WSADATA data;
    EXPECT_EQ(WSAStartup(0x0101, &data), 0);
    FindNets();
    EXPECT_NE(DiscThreadId, nullptr);
    EXPECT_EQ(WaitForSingleObject(DiscThreadId, 120000), WAIT_OBJECT_0);
    WSACleanup();
    o.count = NumNewNets.load();
    for (int i = 0; i < o.count && i < IPX_NETLIST_SLOTS; i++)
        o.slots.push_back(kt::Hex({NetList[i].address, NetList[i].address + 4}));
    for (int i = o.count; i < IPX_NETLIST_SLOTS; i++)
        EXPECT_EQ(kt::Hex({NetList[i].address, NetList[i].address + 4}), "00000000") << "slot " << i;
    for (size_t r = 0; r < responders.size(); r++) {
        auto lines = responders[r]->stop(SIGTERM);
        if (r == 0)
            o.lines = lines;
        for (const std::string &line : ipxt::LinesWith(lines, "spx-query"))
            o.queries.push_back(line.substr(10, line.find(" code") - 10) + line.substr(line.find(" start")));
    }
    for (std::string &q : o.queries)
        q = q.substr(0, q.find(" component"));
    return o;
}

template <typename... Children> std::vector<std::unique_ptr<ipxt::Child>> Responders(Children... children)
{
    std::vector<std::unique_ptr<ipxt::Child>> all;
    (all.push_back(std::move(children)), ...);
    return all;
}

std::vector<std::string> Networks(uint32_t first, int n)
{
    std::vector<std::string> nets;
    for (int i = 0; i < n; i++)
        nets.push_back(Net(first + uint32_t(i)));
    return nets;
}

TEST(Discovery, NoResponderSendsOneQueryAndFindsNothing)
{
    ipxt::Segment segment;
    Outcome o = Discover(segment, {});
    EXPECT_EQ(o.count, 0);
    std::vector<ipxt::Packet> queries;
    for (auto &p : segment.drain(200ms))
        if (p.dstSocket == 0x0456)
            queries.push_back(p);
    ASSERT_EQ(queries.size(), 1u);
    EXPECT_EQ(kt::Hex(queries[0].dstNet), "00000000");
    EXPECT_EQ(kt::Hex(queries[0].dstNode), "FFFFFFFFFFFF");
    EXPECT_EQ(queries[0].data, std::vector<uint8_t>(7, 0));
    EXPECT_EQ(queries[0].type, 0);
}

TEST(Discovery, SimpleComponentsOpenNoConnection)
{
    ipxt::Segment segment;
    Outcome o = Discover(segment, Responders(ipxt::StartIpxd(segment, {"--components", "0,1,2,3,4", "--networks", "5"})));
    EXPECT_EQ(o.count, 0);
    EXPECT_EQ(ipxt::LinesWith(o.lines, "config-response").size(), 1u);
    EXPECT_TRUE(ipxt::LinesWith(o.lines, "spx-connect").empty());
}

TEST(Discovery, FailedComponentPassesToTheNextAtItsOffset)
{
    for (const char *mode : {"code", "zero", "close"}) {
        ipxt::Segment segment;
        Outcome o = Discover(segment, Responders(ipxt::StartIpxd(segment, {"--components", "0,1,5:2,7", "--networks", "3",
                                                                 "--fail", std::string("5:") + mode})));
        EXPECT_EQ(o.queries, (std::vector<std::string>{"offset 2 start 0", "offset 26 start 0"})) << mode;
        EXPECT_EQ(o.count, 3) << mode;
        EXPECT_EQ(o.slots, Networks(kBase, 3)) << mode;
    }
}

TEST(Discovery, PagesThroughThreeHundredNetworks)
{
    ipxt::Segment segment;
    Outcome o = Discover(segment, Responders(ipxt::StartIpxd(segment, {"--components", "9:1", "--networks", "300"})));
    EXPECT_EQ(o.queries, (std::vector<std::string>{"offset 0 start 0", "offset 0 start 128", "offset 0 start 256"}));
    EXPECT_EQ(o.count, 300);
    EXPECT_EQ(o.slots, Networks(kBase, 32));
    // The requests on the wire: offset, code 2, start index little-endian.
    std::vector<std::string> requests;
    for (auto &p : segment.drain(200ms))
        if (p.type == 5 && p.data.size() == 16 && !(p.data[0] & 0x80))
            requests.push_back(kt::Hex({p.data.begin() + 12, p.data.end()}));
    EXPECT_EQ(requests, (std::vector<std::string>{"00020000", "00028000", "00020001"}));
}

TEST(Discovery, NextComponentStartsAtItsOwnFirstNetwork)
{
    ipxt::Segment segment;
    Outcome o = Discover(segment, Responders(ipxt::StartIpxd(segment, {"--components", "5:0,7:0", "--networks", "300",
                                                             "--fail", "5:close@128"})));
    EXPECT_EQ(o.queries, (std::vector<std::string>{"offset 0 start 0", "offset 0 start 128", "offset 2 start 0",
                                                   "offset 2 start 128", "offset 2 start 256"}));
    EXPECT_EQ(o.count, 128 + 300);
    EXPECT_EQ(o.slots, Networks(kBase, 32));
}

TEST(Discovery, LyingRepliesCostOnlyWhatTheyDoNotHold)
{
    struct Case {
        std::vector<std::string> args;
        int count;
        size_t queries;
    } cases[] = {
        {{"--networks", "5", "--claim-128"}, 5, 1},
        {{"--networks", "10", "--lie-count", "50"}, 10, 1},
        {{"--networks", "10", "--reply-truncate", "19"}, 3, 1},
        {{"--networks", "10", "--reply-truncate", "6"}, 0, 1},
        // Always a full page that claims 128: stops before the start index
        // passes 0xFFFF.
        {{"--endless", "--claim-128"}, 65536, 512},
    };
    for (const Case &c : cases) {
        ipxt::Segment segment;
        std::vector<std::string> args = {"--components", "9:0"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        Outcome o = Discover(segment, Responders(ipxt::StartIpxd(segment, args)));
        EXPECT_EQ(o.count, c.count) << c.args[0] << " " << c.args.back();
        EXPECT_EQ(o.queries.size(), c.queries) << c.args[0] << " " << c.args.back();
        if (!o.queries.empty()) {
            EXPECT_EQ(o.queries.back(), "offset 0 start " + std::to_string((c.queries - 1) * 128));
        }
    }
}

TEST(Discovery, MalformedResponseCostsOnlyThatResponse)
{
    struct Case {
        const char *what;
        std::vector<std::string> args;
        std::vector<std::string> queries;
    } cases[] = {
        {"three bytes", {"--config-raw", "010000"}, {}},
        {"cut inside an extended entry", {"--components", "5:2", "--config-truncate", "20"}, {}},
        {"more components claimed than sent", {"--components", "0,5:1", "--config-count", "100"}, {"offset 1 start 0"}},
        {"255 networks claimed by a short entry", {"--config-raw", "01004A4B0205FF07000000"}, {}},
        {"one byte beyond the receive limit", {"--components", "5:91,0,0,0,0,0,0", "--networks", "4"}, {}},
        {"offset beyond one byte",
         {"--components", "5:23,6:0,7:0", "--fail", "5:code", "--fail", "6:code"},
         {"offset 0 start 0", "offset 255 start 0"}},
    };
    for (const Case &c : cases) {
        ipxt::Segment segment;
        std::vector<std::string> bad = c.args;
        bad.insert(bad.end(), {"--spx-socket", "4A4B"});
        auto first = ipxt::StartIpxd(segment, bad);
        auto good = ipxt::StartIpxd(segment, {"--components", "9:0", "--networks", "2", "--spx-socket", "5000",
                                              "--network-base", "00D00001", "--delay", "300"});
        Outcome o = Discover(segment, Responders(std::move(first), std::move(good)));
        ASSERT_FALSE(o.queries.empty()) << c.what;
        o.queries.pop_back(); // the good responder's
        EXPECT_EQ(o.queries, c.queries) << c.what;
        EXPECT_EQ(o.count, 2) << c.what;
        EXPECT_EQ(o.slots, Networks(0x00D00001, 2)) << c.what;
    }
}

TEST(Discovery, DatagramsLessThanTwoSecondsApartKeepCollecting)
{
    struct Case {
        const char *what;
        bool chatty;  // a responder answering every second meanwhile
        int lateMs;   // when the one with networks answers
        int count;
    } cases[] = {
        {"kept open past 2 s by a response every second", true, 3500, 2},
        {"closed after 2 s of silence", false, 4500, 0},
    };
    for (const Case &c : cases) {
        ipxt::Segment segment;
        std::vector<std::unique_ptr<ipxt::Child>> responders;
        responders.push_back(ipxt::StartIpxd(
            segment, {"--components", "9:0", "--networks", "2", "--delay", std::to_string(c.lateMs)}));
        if (c.chatty)
            responders.push_back(ipxt::StartIpxd(segment, {"--components", "0", "--repeat", "4", "--interval",
                                                           "1000", "--spx-socket", "5000"}));
        Outcome o = Discover(segment, std::move(responders));
        EXPECT_EQ(o.count, c.count) << c.what;
    }
}

TEST(Discovery, EndedRequestLeavesTheNextOneAlone)
{
    ipxt::Segment busy, empty;
    // It answers when its request is over (and the next one is collecting).
    auto responder = ipxt::StartIpxd(busy, {"--components", "9:0", "--networks", "300", "--delay", "1000"});
    setenv("KOVA_IPX", busy.env().c_str(), 1);
    WSADATA data;
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    FindNets();
    ASSERT_TRUE(responder->waitFor("config-request", 20s));
    EndDiscoveryRequest();
    WSACleanup();

    setenv("KOVA_IPX", empty.env().c_str(), 1);
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    FindNets();
    ASSERT_EQ(WaitForSingleObject(DiscThreadId, 60000), WAIT_OBJECT_0);
    WSACleanup();
    EXPECT_EQ(NumNewNets.load(), 0);
    for (auto &slot : NetList)
        EXPECT_EQ(kt::Hex({slot.address, slot.address + 4}), "00000000");
}

/* ---- The IPX sender ------------------------------------------------ */

TEST(IpxSender, FourVariantsToTheNetworkOfIpxnet)
{
    struct Case {
        const char *ipxnet;
        const char *network;
        int known; // NumNewNets when the sender starts
    } cases[] = {{"0012ABCD", "0012ABCD", 0}, {"ABCD", "ABCD0000", 0}, {"", "00000000", 0}, {"0012ABCD", "0012ABCD", 2},
                 // A responder claiming endless pages: still 1 + 32 passes.
                 {"0012ABCD", "0012ABCD", 128000}};
    const std::vector<std::vector<uint8_t>> variants = {{0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56},
                                                        {0x56, 0x34, 0x12, 0xC9, 0xA0, 0x00},
                                                        {0x00, 0x05, 0x93, 0x48, 0x2C, 0x6A},
                                                        {0x6A, 0x2C, 0x48, 0x93, 0x05, 0x00}};
    for (const Case &c : cases) {
        ipxt::Segment segment;
        setenv("KOVA_IPX", segment.env().c_str(), 1);
        WSADATA data;
        ASSERT_EQ(WSAStartup(0x0101, &data), 0);
        m_Socket = socket(AF_IPX, SOCK_DGRAM, NSPROTO_IPX);
        int on = 1;
        setsockopt(m_Socket, SOL_SOCKET, SO_BROADCAST, (const char *)&on, sizeof on);
        memset(networkNumber, 0, sizeof networkNumber);
        strcpy(networkNumber, c.ipxnet);
        memset(sequence, 0xFF, 6);
        NumNewNets.store(c.known);
        char mac[] = "00A0C9123456";
        EXPECT_EQ(DoIPX(mac), 1);
        closesocket(m_Socket);
        WSACleanup();
        NumNewNets.store(0);
        auto packets = segment.drain(300ms);
        ASSERT_EQ(packets.size(), 4u * size_t(std::min(c.known, IPX_NETLIST_SLOTS) + 1)) << c.ipxnet;
        for (size_t i = 0; i < packets.size(); i++) {
            EXPECT_EQ(kt::Hex(packets[i].dstNet), c.network);
            EXPECT_EQ(kt::Hex(packets[i].dstNode), "FFFFFFFFFFFF");
            EXPECT_EQ(packets[i].dstSocket, 0x9043);
            EXPECT_EQ(packets[i].data, kt::MagicFrame(variants[i % 4])) << i;
        }
    }
    memset(networkNumber, 0, sizeof networkNumber);
}

}  // namespace
