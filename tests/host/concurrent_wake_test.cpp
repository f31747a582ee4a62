// Wakes that overlap: every UDP wake binds port 13992 for a moment, and
// none may fail because a neighbour's wake holds it just then.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

using namespace std::chrono_literals;

namespace {

const std::string kKovacon = std::string(KOVA_TOOLS_DIR) + "/kovacon/kovacon";

// Frames reaching one loopback listener, taken off its socket on a thread
// of their own while the senders run.
class Collector {
public:
    Collector()
        : thread_([this] {
              while (!stop_)
                  if (auto d = listener_.receive(20ms))
                      macs_.push_back(Mac(*d));
          })
    {
    }
    std::string target() const { return listener_.target(); }
    // Everything received, as "MAC" per frame (or what was wrong with it).
    std::vector<std::string> stop()
    {
        stop_ = true;
        thread_.join();
        for (const auto &d : listener_.drain(100ms))
            macs_.push_back(Mac(d));
        std::sort(macs_.begin(), macs_.end());
        return macs_;
    }

private:
    static std::string Mac(const kt::Datagram &d)
    {
        if (d.bytes.size() != 102 || d.sourcePort != 13992)
            return "bad " + kt::Hex(d.bytes);
        return kt::Hex({d.bytes.begin() + 6, d.bytes.begin() + 12});
    }
    kt::UdpListener listener_;
    std::vector<std::string> macs_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

std::string Reversed(const std::string &mac)
{
    std::string r;
    for (size_t i = mac.size(); i >= 2; i -= 2)
        r += mac.substr(i - 2, 2);
    return r;
}

std::string Mac(unsigned prefix, int n)
{
    char text[16];
    snprintf(text, sizeof text, "%06X%06X", prefix, unsigned(n));
    return text;
}

// WAKE requests through the console driver, `count` at a time; returns
// their answers.
std::vector<std::string> WakeAll(const std::string &target, int first, int n, int atOnce)
{
    std::vector<std::string> answers;
    for (int start = first; start < first + n; start += atOnce) {
        std::vector<std::future<kt::RunResult>> runs;
        for (int i = start; i < std::min(first + n, start + atOnce); i++)
            runs.push_back(std::async(std::launch::async, [&target, i] {
                kt::RunOptions options;
                options.env = {{"KOVA_UDP_TARGET", target}};
                return kt::Run({kKovacon, "WAKE " + Mac(0x02CD00, i)}, options);
            }));
        for (auto &run : runs)
            answers.push_back(run.get().out);
    }
    return answers;
}

std::vector<std::string> Expected(std::vector<std::string> macs)
{
    std::vector<std::string> frames;
    for (const auto &mac : macs) {
        frames.push_back(mac);
        frames.push_back(Reversed(mac));
    }
    std::sort(frames.begin(), frames.end());
    return frames;
}

TEST(ConcurrentWakes, HundredRequestsAtOnceAllSucceed)
{
#ifndef KOVA_HUNDRED_WAKES
    GTEST_SKIP() << "runs in the plain Debug build only";
#endif
    Collector collector;
    auto answers = WakeAll(collector.target(), 0, 100, 100);
    EXPECT_EQ(std::count(answers.begin(), answers.end(), "WAKE-SUCCESS\r\n"), 100);
    std::vector<std::string> macs;
    for (int i = 0; i < 100; i++)
        macs.push_back(Mac(0x02CD00, i));
    EXPECT_EQ(collector.stop(), Expected(macs));
}

TEST(ConcurrentWakes, WakelanBesideWakeRequestsWakesEveryAddress)
{
    kt::TempDir dir;
    kt::WriteFile(dir / "list.ini", "02AB0C000000-02AB0C0001F3\n");  // 500 addresses
    Collector collector;
    kt::RunOptions options;
    options.cwd = dir.path();
    options.env = {{"KOVA_UDP_TARGET", collector.target()}};
    // Paced, so that the listener keeps up with both.
    auto wakelan = std::async(std::launch::async,
                              [&] { return kt::Run({WAKELAN_BIN, "/d1", "/flist.ini"}, options); });
    auto answers = WakeAll(collector.target(), 0, 40, 4);
    kt::RunResult run = wakelan.get();
    EXPECT_EQ(run.exitCode, 0) << run.out;
    EXPECT_EQ(std::count(answers.begin(), answers.end(), "WAKE-SUCCESS\r\n"), 40);
    std::vector<std::string> macs;
    for (int i = 0; i < 500; i++)
        macs.push_back(Mac(0x02AB0C, i));
    for (int i = 0; i < 40; i++)
        macs.push_back(Mac(0x02CD00, i));
    EXPECT_EQ(collector.stop(), Expected(macs));
}

}  // namespace
