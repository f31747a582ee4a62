// kovacon - does what the management console does for one request: starts
// kova32ex with one command line in a working directory, waits for it,
// checks that the busy marker is gone and prints the result file as is.
//
//   kovacon [--dir DIR] [--exe PATH] "<command line>"
//
// Without --dir a fresh temporary directory is used and removed afterwards.
// The exit status is 0 only when kova32ex exited with 0, "KOVABUSY" is gone
// and "KOVA.TMP" exists.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

namespace fs = std::filesystem;

namespace {

void usage()
{
    std::cerr << "usage: kovacon [--dir DIR] [--exe PATH] \"<command line>\"\n";
}

std::string default_exe()
{
    const char *env = getenv("KOVA32EX");
    return env && *env ? env : KOVA32EX_PATH;
}

// Runs exe with one argument in dir; returns the wait status or -1.
int run_in(const std::string &exe, const std::string &dir, const std::string &line)
{
    pid_t pid = fork();
    if (pid < 0) {
        std::cerr << "kovacon: fork: " << strerror(errno) << "\n";
        return -1;
    }
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) {
            std::cerr << "kovacon: chdir " << dir << ": " << strerror(errno) << "\n";
            _exit(127);
        }
        // A GUI-subsystem program has no console: what it prints goes nowhere.
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, 1);
            dup2(null, 2);
        }
        execl(exe.c_str(), exe.c_str(), line.c_str(), static_cast<char *>(nullptr));
        std::cerr << "kovacon: cannot start " << exe << ": " << strerror(errno) << "\n";
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            std::cerr << "kovacon: waitpid: " << strerror(errno) << "\n";
            return -1;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    std::string dir;
    std::string exe = default_exe();
    int i = 1;
    for (; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--dir" && i + 1 < argc) {
            dir = argv[++i];
        } else if (arg == "--exe" && i + 1 < argc) {
            exe = argv[++i];
        } else if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else {
            break;
        }
    }
    if (i != argc - 1) {
        usage();
        return 2;
    }
    std::string line = argv[i];

    bool temporary = dir.empty();
    if (temporary) {
        std::string pattern = (fs::temp_directory_path() / "kovacon.XXXXXX").string();
        if (!mkdtemp(pattern.data())) {
            std::cerr << "kovacon: cannot make a working directory: " << strerror(errno) << "\n";
            return 2;
        }
        dir = pattern;
    }

    int status = run_in(exe, dir, line);
    bool ok = true;
    if (status < 0) {
        ok = false;
    } else if (WIFSIGNALED(status)) {
        std::cerr << "kovacon: kova32ex was killed by signal " << WTERMSIG(status) << "\n";
        ok = false;
    } else if (WEXITSTATUS(status) != 0) {
        std::cerr << "kovacon: kova32ex exited with " << WEXITSTATUS(status) << "\n";
        ok = false;
    }
    std::error_code ec;
    if (fs::exists(fs::path(dir) / "KOVABUSY", ec)) {
        std::cerr << "kovacon: KOVABUSY was left behind\n";
        ok = false;
    }
    fs::path result = fs::path(dir) / "KOVA.TMP";
    if (!fs::is_regular_file(result, ec)) {
        std::cerr << "kovacon: no KOVA.TMP\n";
        ok = false;
    } else {
        std::ifstream in(result, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::cout << bytes << std::flush;
    }
    if (temporary)
        fs::remove_all(dir, ec);
    return ok ? 0 : 1;
}
