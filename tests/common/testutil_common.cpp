// The helpers that do not depend on the host.
#include "testutil.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace kt {

void SetEnv(const std::string &name, const std::string &value)
{
#ifdef _WIN32
    _putenv_s(name.c_str(), value.c_str());
#else
    setenv(name.c_str(), value.c_str(), 1);
#endif
}

void UnsetEnv(const std::string &name)
{
#ifdef _WIN32
    _putenv_s(name.c_str(), "");
#else
    unsetenv(name.c_str());
#endif
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool Exists(const std::string &path)
{
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

std::string UdpListener::target() const
{
    return address_ + ":" + std::to_string(port_);
}

std::vector<Datagram> UdpListener::drain(std::chrono::milliseconds quiet)
{
    std::vector<Datagram> all;
    while (auto d = receive(quiet))
        all.push_back(std::move(*d));
    return all;
}

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
