// The helpers that do not depend on the host.
#include "testutil.h"

#include <cstdio>

namespace kt {

std::vector<uint8_t> MagicFrame(const std::vector<uint8_t> &mac)
{
    std::vector<uint8_t> frame(6, 0xFF);
    for (int i = 0; i < 16; i++)
        frame.insert(frame.end(), mac.begin(), mac.end());
    return frame;
}

std::string Hex(const std::vector<uint8_t> &bytes)
{
    std::string text;
    char buf[4];
    for (uint8_t b : bytes) {
        snprintf(buf, sizeof buf, "%02X", b);
        text += buf;
    }
    return text;
}

}  // namespace kt
