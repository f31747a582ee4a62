// skwtool.cpp - log, knobs and printer of the substitute agent tools.
#include "skwtool.h"

#include <fcntl.h>
#include <unistd.h>
#ifdef _WIN32
#include <windows.h>
#include <tlhelp32.h>
#include <io.h>
#define O_CLOEXEC _O_BINARY /* no inheritance question here; no CR LF either */
#endif

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace skw {

namespace {

const char *const kQuotedFields[] = {"/HOST:", "/ADDOUT:", "/SETUID:", "/PWD:"};

// A Windows program goes on when the process that started it ends.
const bool g_outlive = getenv("SKW_OUTLIVE") && atoi(getenv("SKW_OUTLIVE")) != 0;

#ifdef _WIN32
// The tools' output is read byte for byte: no text-mode translation.
const int g_binaryOutput = _setmode(1, _O_BINARY);

// Windows has no getppid: the parent is found in a process snapshot.
HANDLE OpenParent(DWORD access)
{
    DWORD self = GetCurrentProcessId(), parent = 0;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (entry.th32ProcessID == self)
            parent = entry.th32ParentProcessID;
    CloseHandle(snapshot);
    return parent ? OpenProcess(access, FALSE, parent) : nullptr;
}
const HANDLE g_parent = OpenParent(SYNCHRONIZE);

bool ParentGone()
{
    return g_parent && WaitForSingleObject(g_parent, 0) == WAIT_OBJECT_0;
}
#else
pid_t g_parent = getppid();

bool ParentGone()
{
    return getppid() != g_parent;
}
#endif

bool WriteAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool Listed(const std::string &list, const std::string &word)
{
    std::stringstream items(list);
    std::string item;
    while (std::getline(items, item, ','))
        if (item == word)
            return true;
    return false;
}

}  // namespace

std::string Env(const char *name)
{
    const char *value = getenv(name);
    return value ? value : "";
}

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

int EnvInt(const char *name)
{
    return atoi(Env(name).c_str());
}

std::string RebuildCommandLine(int argc, char **argv)
{
    std::string line = argc > 0 ? argv[0] : "";
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        line += ' ';
        bool quoted = false;
        for (const char *field : kQuotedFields) {
            size_t n = strlen(field);
            if (arg.compare(0, n, field) == 0) {
                line += arg.substr(0, n) + '"' + arg.substr(n) + '"';
                quoted = true;
                break;
            }
        }
        if (!quoted)
            line += arg;
    }
    return line;
}

void LogCommandLine(const std::string &line)
{
    std::string path = Env("SKW_LOG");
    if (path.empty())
        return;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    WriteAll(fd, line + "\n");  // one write: lines of tools in turn never mix
    close(fd);
}

std::string CommandWord(int argc, char **argv)
{
    if (argc < 2)
        return "";
    std::string word = argv[1];
    return word.substr(0, word.find(':'));
}

Knobs ReadKnobs(const std::string &commandWord, const std::string &commandLine)
{
    Knobs knobs;
    std::string only = Env("SKW_ONLY");
    std::string match = Env("SKW_MATCH");
    if ((!only.empty() && !Listed(only, commandWord)) ||
        (!match.empty() && commandLine.find(match) == std::string::npos))
        return knobs;
    knobs.delayMs = EnvInt("SKW_DELAY_MS");
    knobs.pauseMs = EnvInt("SKW_PAUSE_MS");
    knobs.slowMs = EnvInt("SKW_SLOW_MS");
    knobs.silent = EnvInt("SKW_SILENT") != 0;
    knobs.neverEnd = EnvInt("SKW_NEVER_END") != 0;
    knobs.crlf = EnvInt("SKW_CRLF") != 0;
    knobs.longLines = EnvInt("SKW_LONG_LINES");
    knobs.noFinalNewline = EnvInt("SKW_NO_FINAL_NEWLINE") != 0;
    knobs.fail = EnvInt("SKW_FAIL") != 0;
    knobs.ignore = EnvInt("SKW_IGNORE") != 0;
    knobs.lingerMs = EnvInt("SKW_LINGER_MS");
    knobs.chatter = Env("SKW_CHATTER");
    return knobs;
}

void Nap(int ms)
{
    while (ms > 0) {
        if (!g_outlive && ParentGone())
            _exit(3);
        int step = ms < 50 ? ms : 50;
        std::this_thread::sleep_for(std::chrono::milliseconds(step));
        ms -= step;
    }
}

// Ends the process that started this tool, at once.
void KillCaller()
{
#ifdef _WIN32
    HANDLE process = OpenParent(PROCESS_TERMINATE);
    if (process) {
        TerminateProcess(process, 9);
        WaitForSingleObject(process, 5000);
        CloseHandle(process);
    }
#else
    kill(g_parent, SIGKILL);
#endif
}

std::string Begin(int argc, char **argv, const char *failText, Knobs *knobs)
{
    std::string line = RebuildCommandLine(argc, argv);
    LogCommandLine(line);
    std::string kill = Env("SKW_KILL_CALLER");
    if (!kill.empty() && line.find(kill) != std::string::npos) {
        KillCaller();
        if (!g_outlive)
            _exit(3);
#ifndef _WIN32
        signal(SIGPIPE, SIG_IGN);  // its reader is gone: writes fail, as on Windows
#endif
        std::string gate = Env("SKW_GATE");
        std::error_code ec;
        for (int i = 0; !gate.empty() && !std::filesystem::exists(gate, ec) && i < 1500; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string word = CommandWord(argc, argv);
    *knobs = ReadKnobs(word, line);
    Nap(knobs->delayMs);
    if (knobs->fail)
        Answer(*knobs, {failText}, 1);
    return word;
}

// Writes the same text for ever (until the reader or the parent goes).
[[noreturn]] void Chatter(const std::string &text)
{
    for (unsigned n = 0;; n++) {
        if (!WriteAll(1, text) && !g_outlive)
            _exit(4);
        if (n % 1024 == 0 && ParentGone())
            _exit(3);
    }
}

void Answer(const Knobs &knobs, const std::vector<std::string> &lines, int status)
{
    const std::string end = knobs.crlf ? "\r\n" : "\n";
    if (!knobs.chatter.empty() && (knobs.silent || lines.empty()))
        Chatter(knobs.chatter);
    if (!knobs.silent) {
        for (size_t i = 0; i < lines.size(); i++) {
            Nap(knobs.slowMs);
            if (knobs.longLines > 0 && !WriteAll(1, std::string(size_t(knobs.longLines), '#') + end) &&
                !g_outlive)
                _exit(4);
            bool last = i + 1 == lines.size();
            if (!WriteAll(1, lines[i] + (last && knobs.noFinalNewline ? "" : end)) && !g_outlive)
                _exit(4);  // the reader has gone
            if (i == 0)
                Nap(knobs.pauseMs);
            if (i == 0 && !knobs.chatter.empty())
                Chatter(knobs.chatter);
        }
    }
    while (knobs.neverEnd)
        Nap(1000);
    Nap(knobs.lingerMs);
    if (!knobs.snapshotAtEnd.empty())
        CopyStore(knobs.snapshotAtEnd);
    _exit(status);
}

void CopyStore(const std::string &path)
{
    std::string from = Env("SKW_CREDSTORE");
    if (path.empty() || from.empty())
        return;
    std::error_code ec;
    std::filesystem::copy_file(from, path, std::filesystem::copy_options::overwrite_existing, ec);
}

}  // namespace skw
