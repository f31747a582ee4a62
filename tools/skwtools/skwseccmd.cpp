// skwseccmd.cpp - substitute for the agent's security tool SKWSECCMD and
// its store of outgoing credentials.
//
//   SKWSECCMD /LISTOUT /HOST:"h"                  the credential for h
//   SKWSECCMD /ADDOUT:"h" /SETUID:"u" /PWD:"p"    store (or replace) it
//   SKWSECCMD /DELOUT /HOST:"h"                   delete it
//
// The store (SKW_CREDSTORE) is a text file, one credential per line:
// host, user ID and password separated by tabs.  A replaced credential
// keeps its place, a new one goes at the end, so storing a credential
// again and deleting a new one give back the same bytes.  Every change is
// written to a temporary file and renamed over the store.
//
// One command changes the store at a time: a lock on the file
// SKW_CREDSTORE.lock is held around reading, changing and renaming.
//
// Knobs of its own, besides those of skwtool.h:
//   SKW_LISTOUT_HOST=H    /LISTOUT lists the credential of H instead
//   SKW_LISTOUT_ALL=1     /LISTOUT lists every stored credential
//   SKW_NOISE=L1|L2|...   /LISTOUT prints these lines before the credentials
//   SKW_IGNORE=1          /ADDOUT and /DELOUT answer as usual, change nothing
#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/file.h>
#endif

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "skwtool.h"

namespace {

struct Credential {
    std::string host, userId, password;
};

bool ReadStore(const std::string &path, std::vector<Credential> &store)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return true;  // no file yet: an empty store
    std::string line;
    while (std::getline(in, line)) {
        size_t a = line.find('\t');
        size_t b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos || line.find('\t', b + 1) != std::string::npos)
            return false;
        store.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
    }
    return true;
}

bool WriteStore(const std::string &path, const std::vector<Credential> &store)
{
    std::string temporary = path + ".tmp." + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        for (const Credential &c : store)
            out << c.host << '\t' << c.userId << '\t' << c.password << '\n';
        out.flush();
        if (!out)
            return false;
    }
    // Replaces the old store in one step, on Windows too.
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
}

bool Storable(const std::string &value)
{
    return value.find_first_of("\t\r\n") == std::string::npos;
}

std::string Listed(const Credential &c)
{
    return "HOST= \"" + c.host + "\" USERID= \"" + c.userId + "\" PWD= \"" + c.password + "\"";
}

// "/HOST:h" -> "h" when the argument starts with the prefix.
bool Value(const char *arg, const std::string &prefix, std::string &value)
{
    std::string text = arg;
    if (text.compare(0, prefix.size(), prefix) != 0)
        return false;
    value = text.substr(prefix.size());
    return true;
}

// Store tools of one store change it one at a time, as a real credential
// store would: a lock file beside the store is held around reading,
// changing and renaming, and the kernel lets go of it if the tool dies.
class StoreLock {
public:
    explicit StoreLock(const std::string &store)
    {
        std::string path = store + ".lock";
#ifdef _WIN32
        handle_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        OVERLAPPED at{};
        if (handle_ != INVALID_HANDLE_VALUE && !LockFileEx(handle_, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &at)) {
            CloseHandle(handle_);
            handle_ = INVALID_HANDLE_VALUE;
        }
#else
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                close(fd_);
                fd_ = -1;
            }
        }
#endif
    }
    ~StoreLock()
    {
#ifdef _WIN32
        if (handle_ != INVALID_HANDLE_VALUE)
            CloseHandle(handle_);
#else
        if (fd_ >= 0)
            close(fd_);
#endif
    }
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;
#ifdef _WIN32
    bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
#endif
};

struct Reply {
    std::vector<std::string> lines;
    int status;
};

// Carries out one command on the store; the caller holds the lock.
// ignore: answer as usual, change nothing.
Reply Carry(const std::string &word, int argc, char **argv, const std::string &path, bool ignore)
{
    std::vector<Credential> store;
    if (!ReadStore(path, store))
        return {{"SKWSECCMD: no credential store"}, 1};

    std::string host, userId, password;
    if (word == "/LISTOUT" && argc == 3 && Value(argv[2], "/HOST:", host)) {
        std::vector<std::string> lines = {"Outgoing credentials:"};
        for (const std::string &noise : skw::Split(skw::Env("SKW_NOISE"), '|'))
            lines.push_back(noise);
        std::string wanted = getenv("SKW_LISTOUT_HOST") ? skw::Env("SKW_LISTOUT_HOST") : host;
        bool all = skw::EnvInt("SKW_LISTOUT_ALL") != 0;
        size_t before = lines.size();
        for (const Credential &c : store)
            if (all || c.host == wanted)
                lines.push_back(Listed(c));
        if (lines.size() == before)
            lines.push_back("(none)");
        return {lines, 0};
    }
    if (word == "/ADDOUT" && argc == 4 && Value(argv[1], "/ADDOUT:", host) &&
        Value(argv[2], "/SETUID:", userId) && Value(argv[3], "/PWD:", password)) {
        if (!Storable(host) || !Storable(userId) || !Storable(password))
            return {{"SKWSECCMD: a value holds a tab or a line end"}, 1};
        bool replaced = false;
        for (Credential &c : store) {
            if (c.host == host) {
                c = {host, userId, password};
                replaced = true;
            }
        }
        if (!replaced)
            store.push_back({host, userId, password});
        if (!ignore && !WriteStore(path, store))
            return {{"SKWSECCMD: cannot write the credential store"}, 1};
        return {{"Credential stored."}, 0};
    }
    if (word == "/DELOUT" && argc == 3 && Value(argv[2], "/HOST:", host)) {
        size_t before = store.size();
        std::erase_if(store, [&](const Credential &c) { return c.host == host; });
        if (store.size() == before)
            return {{"No credential to delete."}, 0};
        if (!ignore && !WriteStore(path, store))
            return {{"SKWSECCMD: cannot write the credential store"}, 1};
        return {{"Credential deleted."}, 0};
    }
    return {{"SKWSECCMD: unknown command"}, 2};
}

}  // namespace

int main(int argc, char **argv)
{
    skw::Knobs knobs;
    std::string word = skw::Begin(argc, argv, "SKWSECCMD: the credential store is locked", &knobs);

    std::string path = skw::Env("SKW_CREDSTORE");
    if (path.empty())
        skw::Answer(knobs, {"SKWSECCMD: no credential store"}, 1);
    Reply reply;
    {
        StoreLock lock(path);
        if (!lock.held())
            skw::Answer(knobs, {"SKWSECCMD: cannot lock the credential store"}, 1);
        reply = Carry(word, argc, argv, path, knobs.ignore);
    }
    // The answer comes after the lock is gone: a tool told to stay silent
    // or never end must not hold up the next change.
    skw::Answer(knobs, reply.lines, reply.status);
}
