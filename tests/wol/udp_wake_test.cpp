// What the engine puts on the wire for one MAC text: the two UDP frames,
// byte for byte, as a real socket on loopback receives them.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

#include "wakew32.h"
#include "wol32.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The engine reads KOVA_UDP_TARGET once, so one listener serves the suite.
class UdpWake : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        listener = std::make_unique<kt::UdpListener>();
#ifdef _WIN32
        _putenv_s("KOVA_UDP_TARGET", listener->target().c_str());
#else
        setenv("KOVA_UDP_TARGET", listener->target().c_str(), 1);
#endif
    }
    static void TearDownTestSuite() { listener.reset(); }

    static std::vector<kt::Datagram> Wake(const std::string &text, int32_t *result)
    {
        std::vector<char> buffer(text.begin(), text.end());
        buffer.push_back('\0');
        *result = KOVASendWakeOnLAN(buffer.data());
        EXPECT_EQ(std::string(buffer.data()), text) << "the caller's text was changed";
        return listener->drain(std::chrono::milliseconds(200));
    }

    static std::unique_ptr<kt::UdpListener> listener;
};

std::unique_ptr<kt::UdpListener> UdpWake::listener;

struct FrameCase {
    const char *text;
    Bytes mac;  // the bytes the first frame carries
};

TEST_F(UdpWake, SendsTheMacThenItsByteReversalFromPort13992)
{
    const FrameCase cases[] = {
        {"00A0C9123456", {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
        {"00a0c9123456", {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
        {"00A0C912345678", {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
        {"fFfFfFfFfFfF", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        // Separated forms name the MAC they show.
        {"00-A0-C9-12-34-56", {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
        {"00:a0:c9:12:34:56", {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
        {"00-A0-C9-12-34-56\t", {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
        {"00-A0-C9-12-34-56 desk", {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}},
    };
    for (const FrameCase &c : cases) {
        SCOPED_TRACE(c.text);
        int32_t result = -1;
        auto got = Wake(c.text, &result);
        EXPECT_EQ(result, 0);
        ASSERT_EQ(got.size(), 2u);
        Bytes reversed(c.mac.rbegin(), c.mac.rend());
        EXPECT_EQ(kt::Hex(got[0].bytes), kt::Hex(kt::MagicFrame(c.mac)));
        EXPECT_EQ(kt::Hex(got[1].bytes), kt::Hex(kt::MagicFrame(reversed)));
        for (const auto &d : got)
            EXPECT_EQ(d.sourcePort, 13992);
    }
}

// Another wake holding port 13992 for a moment is waited for, not a failure.
TEST_F(UdpWake, WaitsWhileAnotherWakeHoldsPort13992)
{
    auto holder = std::make_unique<kt::UdpListener>(13992, "0.0.0.0");
    std::thread release([&holder] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        holder.reset();
    });
    int32_t result = -1;
    auto got = Wake("00A0C9123456", &result);
    release.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(got.size(), 2u);
}

// Nothing is sent for a text that names no card: not twelve hexadecimal
// digits first, nor a whole separated form.
TEST_F(UdpWake, RejectsTextThatNamesNoCard)
{
    for (const char *text :
         {"", "G0A0C9123456", "-d", " 00A0C9123456", ":00", "1", "0G", "00A0C91234",
          "00A0C912345", "00A0C9 123456", "00A0C9-123456", "0ZZZZZZZZZZZ", "00A0C912345G",
          "00-A0:C9-12-34-56", "00-A0-C9-12-34-56-78", "00-A0-C9-12-34-567", "00-A0-C9-12-34-5",
          "0-A0-C9-12-34-56"}) {
        SCOPED_TRACE(text);
        testing::internal::CaptureStdout();
        int32_t result = -1;
        auto got = Wake(text, &result);
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(result, 130);
        EXPECT_TRUE(got.empty());
        EXPECT_EQ(printed, std::string(text) + " is not a valid MAC address.\n");
    }
}

TEST_F(UdpWake, ConvertsTextByTheDigitRule)
{
    struct {
        const char *text;
        int count;
        Bytes bytes;
    } cases[] = {
        {"ABCD", 4, {0xAB, 0xCD, 0x00, 0x00}},
        {"", 4, {0, 0, 0, 0}},
        {"0000ABCD", 4, {0x00, 0x00, 0xAB, 0xCD}},
        {"12345678", 4, {0x12, 0x34, 0x56, 0x78}},
        {"G:-", 2, {0x7A, 0xD0}},
        {"abcdef", 3, {0xAB, 0xCD, 0xEF}},
    };
    for (const auto &c : cases) {
        Bytes out(size_t(c.count), 0x55);
        WolTextToBytes(c.text, out.data(), c.count);
        EXPECT_EQ(out, c.bytes) << c.text;
    }
}

}  // namespace
