// rtpchild - a console program that does what its arguments say, in order,
// so tests can shape the output a parent reads from it.
//
//   out=TEXT    write TEXT; \n \r \t \z (Ctrl-Z) \\ are decoded
//   err=TEXT    the same on standard error
//   fill=N      write N bytes: lines of 99 'x' and a newline, the last cut short
//   long=N      one line of N letters and a newline
//   sleep=MS    pause
//   spew=TEXT   write TEXT over and over, never ending (until killed)
//   hold        wait until standard input ends (the parent let go), at most 60 s
//   touch=PATH  create an empty file
//   pid=PATH    write the process id into a file
//   args        write each argument as "<arg>" on a line of its own
//   fds         write each open descriptor as "N -> target" on a line
//   exit=N      end now with status N
//
// Writes go straight to the descriptor, unbuffered, so a parent sees each
// one as it happens.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <string>
#include <thread>

namespace {

void write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            _exit(3);
        done += size_t(put);
    }
}

std::string decode(const char *text)
{
    std::string out;
    for (const char *p = text; *p; p++) {
        if (*p != '\\' || !p[1]) {
            out += *p;
            continue;
        }
        switch (*++p) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'z': out += '\x1a'; break;
        default: out += *p; break;
        }
    }
    return out;
}

void pause_ms(long ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void hold()
{
    for (int waited = 0; waited < 60000; waited += 100) {
        struct pollfd p = {0, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[256];
            ssize_t got = read(0, buf, sizeof buf);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                return;
        }
    }
}

void list_fds()
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        _exit(4);
    std::string text;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(dir))
            continue;
        char target[512] = "";
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t len = readlink(link.c_str(), target, sizeof target - 1);
        target[len > 0 ? len : 0] = '\0';
        text += std::string(entry->d_name) + " -> " + target + "\n";
    }
    closedir(dir);
    write_all(1, text);
}

bool starts(const char *arg, const char *word, const char **value)
{
    size_t len = strlen(word);
    if (strncmp(arg, word, len) != 0)
        return false;
    *value = arg + len;
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; i++) {
        const char *v;
        if (starts(argv[i], "out=", &v)) {
            write_all(1, decode(v));
        } else if (starts(argv[i], "err=", &v)) {
            write_all(2, decode(v));
        } else if (starts(argv[i], "fill=", &v)) {
            long n = atol(v);
            std::string text;
            for (long k = 0; k < n; k++)
                text += (k % 100 == 99) ? '\n' : 'x';
            write_all(1, text);
        } else if (starts(argv[i], "long=", &v)) {
            long n = atol(v);
            std::string text;
            for (long k = 0; k < n; k++)
                text += char('a' + k % 26);
            write_all(1, text + "\n");
        } else if (starts(argv[i], "spew=", &v)) {
            std::string text = decode(v);
            for (;;)
                write_all(1, text);
        } else if (starts(argv[i], "sleep=", &v)) {
            pause_ms(atol(v));
        } else if (strcmp(argv[i], "hold") == 0) {
            hold();
        } else if (starts(argv[i], "touch=", &v)) {
            int fd = open(v, O_WRONLY | O_CREAT, 0644);
            if (fd >= 0)
                close(fd);
        } else if (starts(argv[i], "pid=", &v)) {
            int fd = open(v, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                write_all(fd, std::to_string(getpid()));
                close(fd);
            }
        } else if (strcmp(argv[i], "args") == 0) {
            std::string text;
            for (int k = 1; k < argc; k++)
                text += std::string("<") + argv[k] + ">\n";
            write_all(1, text);
        } else if (strcmp(argv[i], "fds") == 0) {
            list_fds();
        } else if (starts(argv[i], "exit=", &v)) {
            return atoi(v);
        } else {
            write_all(2, std::string("rtpchild: unknown action ") + argv[i] + "\n");
            return 2;
        }
    }
    return 0;
}
