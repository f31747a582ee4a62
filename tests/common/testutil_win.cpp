// The test helpers on Windows (run under Wine in CI): the same interface,
// on Win32 and Windows Sockets.  Network namespaces do not exist here.
#ifdef _WIN32

#include "testutil.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace kt {

namespace {

struct SocketsUp {
    SocketsUp()
    {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
};

void EnsureSockets()
{
    static SocketsUp up;
}

// One argument quoted by the rules the C runtime splits by.
std::string Quote(const std::string &arg)
{
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        if (c == '"')
            out.append(backslashes * 2 + 1, '\\');
        else
            out.append(backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

void ReadAll(HANDLE pipe, std::string *into)
{
    char buf[4096];
    DWORD got = 0;
    while (::ReadFile(pipe, buf, sizeof buf, &got, nullptr) && got > 0)
        into->append(buf, got);
}

}  // namespace

TempDir::TempDir()
{
    std::random_device rd;
    for (int attempt = 0; attempt < 100; attempt++) {
        fs::path candidate = fs::temp_directory_path() / ("kovatest." + std::to_string(rd()));
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot make a temporary directory");
}

TempDir::~TempDir()
{
    std::error_code ec;
    fs::remove_all(path_, ec);
}

UdpListener::UdpListener(uint16_t port, const std::string &address) : address_(address)
{
    EnsureSockets();
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = inet_addr(address.c_str());
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
        throw std::runtime_error("UdpListener: bind failed");
    int len = sizeof local;
    getsockname(s, reinterpret_cast<sockaddr *>(&local), &len);
    port_ = ntohs(local.sin_port);
    fd_ = int(s);
}

UdpListener::~UdpListener()
{
    if (fd_ >= 0)
        closesocket(SOCKET(fd_));
}

std::optional<Datagram> UdpListener::receive(std::chrono::milliseconds timeout)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(SOCKET(fd_), &set);
    timeval tv{long(timeout.count() / 1000), long((timeout.count() % 1000) * 1000)};
    if (select(0, &set, nullptr, nullptr, &tv) <= 0)
        return std::nullopt;
    char buf[65536];
    sockaddr_in from{};
    int fromlen = sizeof from;
    int n = recvfrom(SOCKET(fd_), buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromlen);
    if (n < 0)
        return std::nullopt;
    Datagram d;
    d.bytes.assign(buf, buf + n);
    d.sourceAddress = inet_ntoa(from.sin_addr);
    d.sourcePort = ntohs(from.sin_port);
    return d;
}

RunResult Run(const std::vector<std::string> &argv, const RunOptions &options)
{
    RunResult result;
    std::string line;
    for (const auto &a : argv) {
        if (!line.empty())
            line += ' ';
        line += Quote(a);
    }

    // The child's environment: ours, with the options applied.
    std::map<std::string, std::string> env;
    if (LPCH block = GetEnvironmentStringsA()) {
        for (LPCH p = block; *p; p += strlen(p) + 1) {
            std::string entry = p;
            size_t eq = entry.find('=', 1);
            if (eq != std::string::npos)
                env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
        FreeEnvironmentStringsA(block);
    }
    for (const auto &[name, value] : options.env) {
        if (value == "\x01")
            env.erase(name);
        else
            env[name] = value;
    }
    std::string envBlock;
    for (const auto &[name, value] : env)
        envBlock += name + "=" + value + '\0';
    envBlock += '\0';

    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE outR, outW, errR, errW, inR, inW;
    CreatePipe(&outR, &outW, &sa, 0);
    CreatePipe(&errR, &errW, &sa, 0);
    CreatePipe(&inR, &inW, &sa, 0);
    SetHandleInformation(outR, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errR, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inW, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inR;
    si.hStdOutput = outW;
    si.hStdError = errW;
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, envBlock.data(),
                                  options.cwd.empty() ? nullptr : options.cwd.c_str(), &si, &pi);
    CloseHandle(outW);
    CloseHandle(errW);
    CloseHandle(inR);
    if (!started) {
        CloseHandle(outR);
        CloseHandle(errR);
        CloseHandle(inW);
        result.exitCode = 127;
        return result;
    }
    std::thread outReader(ReadAll, outR, &result.out);
    std::thread errReader(ReadAll, errR, &result.err);
    if (!options.input.empty()) {
        DWORD put = 0;
        ::WriteFile(inW, options.input.data(), DWORD(options.input.size()), &put, nullptr);
    }
    CloseHandle(inW);
    if (WaitForSingleObject(pi.hProcess, DWORD(options.timeout.count())) == WAIT_TIMEOUT) {
        TerminateProcess(pi.hProcess, 1);
        result.timedOut = true;
        WaitForSingleObject(pi.hProcess, INFINITE);
    }
    outReader.join();
    errReader.join();
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    result.exitCode = int(code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    CloseHandle(outR);
    CloseHandle(errR);
    return result;
}

// No network namespaces on Windows: ok() stays false.
ConsoleNetworks::ConsoleNetworks(int, bool) {}
ConsoleNetworks::~ConsoleNetworks() {}
std::unique_ptr<UdpListener> ConsoleNetworks::ListenAtPc(int) const { return nullptr; }

}  // namespace kt

#endif  // _WIN32
