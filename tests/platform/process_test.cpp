// The layer's pipes and child processes against real children (rtpchild).
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testutil.h"

#include "kovawin.h"

namespace {

const std::string kChild = RTPCHILD_BIN;

std::string Quoted(const std::string &path) { return "\"" + path + "\""; }

// A pipe whose ends the test owns.
struct Pipe {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    explicit Pipe(bool inheritable = true)
    {
        SECURITY_ATTRIBUTES sa = {DWORD(sizeof sa), nullptr, inheritable};
        EXPECT_TRUE(CreatePipe(&read, &write, &sa, 1024));
    }
    ~Pipe()
    {
        if (read)
            CloseHandle(read);
        if (write)
            CloseHandle(write);
    }
    void CloseWrite()
    {
        CloseHandle(write);
        write = nullptr;
    }
};

struct Started {
    BOOL ok = FALSE;
    DWORD error = 0;
    PROCESS_INFORMATION pi{};
    std::string out;
};

// Starts a command line with its output on a pipe, the error handle null,
// and collects everything it writes until it ends.
Started RunCommand(std::string line, bool inheritable = true, BOOL inheritHandles = TRUE)
{
    Started run;
    Pipe out(inheritable);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out.write;
    si.hStdError = nullptr;
    run.ok = CreateProcessA(nullptr, &line[0], nullptr, nullptr, inheritHandles,
                            DETACHED_PROCESS | HIGH_PRIORITY_CLASS, nullptr, nullptr, &si, &run.pi);
    run.error = GetLastError();
    out.CloseWrite();
    if (!run.ok)
        return run;
    char buf[512];
    DWORD got = 0;
    while (ReadFile(out.read, buf, sizeof buf, &got, nullptr) && got > 0)
        run.out.append(buf, got);
    EXPECT_EQ(WaitForSingleObject(run.pi.hProcess, 60000), WAIT_OBJECT_0);
    CloseHandle(run.pi.hThread);
    CloseHandle(run.pi.hProcess);
    return run;
}

std::string ArgsOutput(const std::vector<std::string> &args)
{
    std::string text;
    for (const std::string &arg : args)
        text += "<" + arg + ">\n";
    return text;
}

// ---- Command lines --------------------------------------------------------

// The program name is quoted in every line: quotes group it, no escapes.
TEST(CommandLine, SplitsLikeTheWindowsRuntime)
{
    struct Case {
        const char *tail;
        std::vector<std::string> args;
    } cases[] = {
        {"a b\tc", {"a", "b", "c"}},
        {"  a   b  ", {"a", "b"}},
        {R"("a b" c)", {"a b", "c"}},
        {R"(x"a b"y)", {"xa by"}},
        {R"(a\\b\c)", {R"(a\\b\c)"}},
        {R"(a\"b)", {R"(a"b)"}},
        {R"("a\\" b)", {R"(a\)", "b"}},
        {R"(a\\\"b)", {R"(a\"b)"}},
        {R"("a""b" c)", {R"(a"b)", "c"}},
        {R"("" x)", {"", "x"}},
        {R"("unterminated b)", {"unterminated b"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tail);
        Started run = RunCommand(Quoted(kChild) + " args " + c.tail);
        ASSERT_TRUE(run.ok) << run.error;
        std::vector<std::string> expected = {"args"};
        expected.insert(expected.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(run.out, ArgsOutput(expected));
    }
}

// ---- Finding the program ---------------------------------------------------

class ProgramSearch : public ::testing::Test {
protected:
    void SetUp() override
    {
        oldPath_ = getenv("PATH") ? getenv("PATH") : "";
        ASSERT_EQ(mkdir(onPath_.c_str(), 0755), 0);
        ASSERT_EQ(symlink(kChild.c_str(), (onPath_ + "/toolx").c_str()), 0);
        std::ofstream(onPath_ + "/plain") << "not a program\n";
        setenv("PATH", (":" + onPath_ + "::" + oldPath_).c_str(), 1);
    }
    void TearDown() override { setenv("PATH", oldPath_.c_str(), 1); }
    kt::TempDir dir_;
    std::string onPath_ = dir_ / "bin";
    std::string oldPath_;
};

TEST_F(ProgramSearch, FindsBareNamesOnPathWithOrWithoutExe)
{
    struct Case {
        std::string line;
        DWORD error; // ERROR_SUCCESS: starts
    } cases[] = {
        {"toolx args", ERROR_SUCCESS},
        {"toolx.exe args", ERROR_SUCCESS},
        {"toolx.EXE args", ERROR_SUCCESS},
        {"\"toolx.exe\" args", ERROR_SUCCESS},
        {onPath_ + "/toolx args", ERROR_SUCCESS},
        {onPath_ + "/toolx.exe args", ERROR_SUCCESS},
        {"toolx.exe.exe args", ERROR_FILE_NOT_FOUND},
        {"no-such-tool args", ERROR_FILE_NOT_FOUND},
        {onPath_ + "/no-such-tool args", ERROR_FILE_NOT_FOUND},
        {"plain", ERROR_ACCESS_DENIED},
        {"   ", ERROR_FILE_NOT_FOUND},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        Started run = RunCommand(c.line);
        EXPECT_EQ(run.ok, c.error == ERROR_SUCCESS ? TRUE : FALSE);
        if (c.error == ERROR_SUCCESS)
            EXPECT_EQ(run.out, ArgsOutput({"args"}));
        else
            EXPECT_EQ(run.error, c.error);
    }
}

TEST_F(ProgramSearch, LooksInTheCurrentDirectoryAsWindowsDoes)
{
    std::string here = dir_ / "here";
    ASSERT_EQ(mkdir(here.c_str(), 0755), 0);
    ASSERT_EQ(symlink(kChild.c_str(), (here + "/cwdtool").c_str()), 0);
    char old[4096];
    ASSERT_TRUE(getcwd(old, sizeof old));
    ASSERT_EQ(chdir(here.c_str()), 0);
    Started run = RunCommand("cwdtool args");
    ASSERT_EQ(chdir(old), 0);
    ASSERT_TRUE(run.ok) << run.error;
    EXPECT_EQ(run.out, ArgsOutput({"args"}));
}

// ---- What the child receives -----------------------------------------------

TEST(ChildHandles, OnlyStandardHandlesReachTheChild)
{
    int stray[2];
    ASSERT_EQ(pipe(stray), 0); // no close-on-exec of its own
    Pipe other;                // inheritable, but not the child's
    Started run = RunCommand(Quoted(kChild) + " fds");
    close(stray[0]);
    close(stray[1]);
    ASSERT_TRUE(run.ok) << run.error;
    std::vector<std::string> lines;
    std::string line;
    for (char c : run.out) {
        if (c == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    ASSERT_EQ(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines[0], "0 -> /dev/null");
    EXPECT_EQ(lines[1].rfind("1 -> socket:", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2], "2 -> /dev/null");
}

TEST(ChildHandles, HandlesNotInheritedBecomeTheNullDevice)
{
    // The output pipe is not inheritable, or inheritance is off: the child
    // writes into the null device and the pipe stays empty.
    for (auto [inheritable, inheritHandles] : {std::pair{false, TRUE}, std::pair{true, FALSE}}) {
        Started run = RunCommand(Quoted(kChild) + " out=lost", inheritable, inheritHandles);
        ASSERT_TRUE(run.ok) << run.error;
        EXPECT_EQ(run.out, "");
    }
}

// ---- Pipes -----------------------------------------------------------------

TEST(Pipes, PeekCopiesWithoutConsuming)
{
    Pipe p;
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(p.write, "hello world", 11, &done, nullptr));
    for (int i = 0; i < 2; i++) {
        char buf[8] = {};
        DWORD copied = 99, avail = 99, left = 99;
        ASSERT_TRUE(PeekNamedPipe(p.read, buf, 5, &copied, &avail, &left));
        EXPECT_EQ(std::string(buf, copied), "hello");
        EXPECT_EQ(avail, 11u);
        EXPECT_EQ(left, 0u);
    }
    char all[32];
    ASSERT_TRUE(ReadFile(p.read, all, sizeof all, &done, nullptr));
    EXPECT_EQ(std::string(all, done), "hello world");
    DWORD copied = 99, avail = 99;
    ASSERT_TRUE(PeekNamedPipe(p.read, all, sizeof all, &copied, &avail, nullptr));
    EXPECT_EQ(copied, 0u);
    EXPECT_EQ(avail, 0u);
}

TEST(Pipes, NowaitReadsAndBrokenPipes)
{
    Pipe p;
    DWORD mode = PIPE_NOWAIT;
    ASSERT_TRUE(SetNamedPipeHandleState(p.read, &mode, nullptr, nullptr));
    char buf[16];
    DWORD got = 99;
    EXPECT_FALSE(ReadFile(p.read, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_DATA));
    EXPECT_EQ(got, 0u);

    ASSERT_TRUE(WriteFile(p.write, "tail", 4, &got, nullptr));
    p.CloseWrite();
    ASSERT_TRUE(ReadFile(p.read, buf, sizeof buf, &got, nullptr)); // still there after close
    EXPECT_EQ(std::string(buf, got), "tail");
    EXPECT_FALSE(ReadFile(p.read, buf, sizeof buf, &got, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BROKEN_PIPE));
    EXPECT_FALSE(PeekNamedPipe(p.read, buf, sizeof buf, &got, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_BROKEN_PIPE));
    EXPECT_FALSE(PeekNamedPipe(p.write, buf, sizeof buf, &got, nullptr, nullptr));
}

TEST(Pipes, WriteWithoutReaderFailsInsteadOfKilling)
{
    Pipe p;
    CloseHandle(p.read);
    p.read = nullptr;
    DWORD put = 99;
    EXPECT_FALSE(WriteFile(p.write, "x", 1, &put, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_DATA));
}

// ---- Processes -------------------------------------------------------------

PROCESS_INFORMATION Start(std::string line)
{
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION pi{};
    EXPECT_TRUE(CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                               &si, &pi));
    return pi;
}

// GetFileType as Windows answers it, for a stream's handle
// (_get_osfhandle(_fileno(f))) and for pipe ends.
TEST(Files, TypeOfWhatAStreamOrHandleReads)
{
    kt::TempDir dir;
    kt::WriteFile(dir / "plain.txt", "x\n");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    const struct {
        std::string path;
        DWORD type;
    } cases[] = {{dir / "plain.txt", FILE_TYPE_DISK}, {"/dev/null", FILE_TYPE_CHAR},
                 {dir / "fifo", FILE_TYPE_PIPE}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        FILE *f = fopen(c.path.c_str(), "r");
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(GetFileType(HANDLE(_get_osfhandle(_fileno(f)))), c.type);
        fclose(f);
    }
    Pipe pipe;
    EXPECT_EQ(GetFileType(pipe.read), DWORD(FILE_TYPE_PIPE));
    EXPECT_EQ(_get_osfhandle(1234), intptr_t(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetFileType(INVALID_HANDLE_VALUE), DWORD(FILE_TYPE_UNKNOWN));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST(Processes, WaitIsRepeatableAndKeepsTheExitCode)
{
    PROCESS_INFORMATION pi = Start(Quoted(kChild) + " exit=7");
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(pi.hThread, 0), WAIT_OBJECT_0);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 7u);
    EXPECT_FALSE(TerminateProcess(pi.hProcess, 1)); // already ended
    EXPECT_FALSE(TerminateProcess(pi.hThread, 1));  // not a process
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

TEST(Processes, TerminateEndsARunningChildWithTheGivenCode)
{
    PROCESS_INFORMATION pi = Start(Quoted(kChild) + " sleep=60000");
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 20), WAIT_TIMEOUT);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, DWORD(STILL_ACTIVE));
    ASSERT_TRUE(TerminateProcess(pi.hProcess, 42));
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

char ProcessState(DWORD pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t paren = text.rfind(')');
    return paren == std::string::npos || paren + 2 >= text.size() ? '-' : text[paren + 2];
}

TEST(Processes, ClosedHandleLeavesNoZombieBehind)
{
    PROCESS_INFORMATION pi = Start(Quoted(kChild) + " exit=0");
    DWORD pid = pi.dwProcessId;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 6000 && ProcessState(pid) != 'Z' && ProcessState(pid) != '-'; i++)
        usleep(10000);
    PROCESS_INFORMATION next = Start(Quoted(kChild) + " exit=0"); // reaps what was let go
    EXPECT_EQ(ProcessState(pid), '-');
    WaitForSingleObject(next.hProcess, 60000);
    CloseHandle(next.hThread);
    CloseHandle(next.hProcess);
}

DWORD WINAPI ReturnNine(LPVOID) { return 9; }

TEST(Threads, ExitCodeWithNowhereToPutItFailsWithAnError)
{
    HANDLE thread = CreateThread(nullptr, 0, ReturnNine, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
    SetLastError(ERROR_SUCCESS);
    EXPECT_FALSE(GetExitCodeThread(thread, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 9u);
    CloseHandle(thread);
}

// ---- Platform version ------------------------------------------------------

TEST(Version, NtUnlessAskedForTheOlderPlatform)
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = 148;
    unsetenv("KOVA_WINVER");
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, DWORD(VER_PLATFORM_WIN32_NT));
    setenv("KOVA_WINVER", "95", 1);
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwPlatformId, DWORD(VER_PLATFORM_WIN32_WINDOWS));
    unsetenv("KOVA_WINVER");
    info.dwOSVersionInfoSize = 147;
    EXPECT_FALSE(GetVersionExA(&info));
}

}  // namespace
