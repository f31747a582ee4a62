// rtpprobe - runs commands through the child-process text pipe in a
// process of its own, the way the agent adapter reads them, and reports
// what it saw.  Tests use it for what is per process: the platform answer
// that is asked once per run, the filler total of the run, KOVA_FAIL.
//
//   rtpprobe [--wait-end] [--check-first] [--num N] "<command line>"...
//
// The commands run one after the other.  --wait-end waits for each child
// to end before reading; --check-first then calls CheckEOF once before the
// first reading pass.  Output, one item a line: "fds N" (open descriptors
// at the start), then per command "null" or "stream", "line TEXT" per line
// delivered (CR, LF and Ctrl-Z shown as \r, \n, \z), "eof R" (the CheckEOF
// result that ended the passes), "drain TEXT" per line of the drain,
// "pclose R"; at the end "fds N" again.
#include "kovawin.h"

#include "rtpopen.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

int count_fds()
{
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (struct dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            count++;
    closedir(dir);
    return count;
}

std::string shown(const char *text)
{
    std::string out;
    for (const char *p = text; *p; p++) {
        if (*p == '\n')
            out += "\\n";
        else if (*p == '\r')
            out += "\\r";
        else if (*p == '\x1a')
            out += "\\z";
        else
            out += *p;
    }
    return out;
}

void run(std::string command, bool waitEnd, bool checkFirst, int num)
{
    FILE *stream = ReadTextPopen(&command[0]);
    printf("%s\n", stream ? "stream" : "null");
    if (!stream)
        return;
    if (waitEnd)
        WaitForSingleObject(GetPopenedInstance(stream)->hProcess, 60000);
    int result = checkFirst ? CheckEOF(stream) : 0;
    std::vector<char> line(size_t(num) + 1);
    for (int pass = 0; pass < 100000 && result == 0; pass++) {
        if (ReadTextFgets(line.data(), num, stream))
            printf("line %s\n", shown(line.data()).c_str());
        result = CheckEOF(stream);
    }
    printf("eof %d\n", result);
    while (ReadTextFgets(line.data(), num, stream))
        printf("drain %s\n", shown(line.data()).c_str());
    printf("pclose %d\n", ReadTextPclose(stream));
}

}  // namespace

int main(int argc, char **argv)
{
    bool waitEnd = false;
    bool checkFirst = false;
    int num = 512;
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
        if (strcmp(argv[i], "--wait-end") == 0)
            waitEnd = true;
        else if (strcmp(argv[i], "--check-first") == 0)
            checkFirst = true;
        else if (strcmp(argv[i], "--num") == 0 && i + 1 < argc)
            num = atoi(argv[++i]);
        else
            break;
    }
    if (i >= argc || num < 1) {
        fprintf(stderr,
                "usage: rtpprobe [--wait-end] [--check-first] [--num N] \"<command line>\"...\n");
        return 2;
    }
    printf("fds %d\n", count_fds());
    for (; i < argc; i++)
        run(argv[i], waitEnd, checkFirst, num);
    printf("fds %d\n", count_fds());
    return 0;
}
