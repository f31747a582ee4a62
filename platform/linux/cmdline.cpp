/* cmdline.cpp - the Windows C runtime's split of a command line into
 * words, and the search for the program that CreateProcessA runs. */
#include "internal.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace win {
namespace detail {
namespace {

bool is_space(char c) { return c == ' ' || c == '\t'; }

}  // namespace

/* The Windows C runtime's split: blanks separate words outside quotes;
 * double quotes group; 2n backslashes before a quote give n backslashes and
 * the quote groups, 2n+1 give n backslashes and a literal quote; "" inside
 * quotes is a literal quote; other backslashes are literal.  The program
 * name, the first word, knows quotes but no backslash escapes. */
std::vector<std::string> split_command_line(const char *line)
{
    std::vector<std::string> words;
    const char *p = line;
    while (is_space(*p))
        p++;
    if (!*p)
        return words;
    std::string program;
    bool quoted = false;
    for (; *p && (quoted || !is_space(*p)); p++) {
        if (*p == '"')
            quoted = !quoted;
        else
            program += *p;
    }
    words.push_back(program);
    for (;;) {
        while (is_space(*p))
            p++;
        if (!*p)
            break;
        std::string word;
        quoted = false;
        for (;;) {
            size_t backslashes = 0;
            while (*p == '\\') {
                p++;
                backslashes++;
            }
            bool copy = true;
            if (*p == '"') {
                if (backslashes % 2 == 0) {
                    if (quoted && p[1] == '"')
                        p++;
                    else {
                        copy = false;
                        quoted = !quoted;
                    }
                }
                backslashes /= 2;
            }
            word.append(backslashes, '\\');
            if (!*p || (!quoted && is_space(*p)))
                break;
            if (copy)
                word += *p;
            p++;
        }
        words.push_back(word);
    }
    return words;
}

namespace {

bool ends_with_exe(const std::string &name)
{
    return name.size() > 4 && strcasecmp(name.c_str() + name.size() - 4, ".exe") == 0;
}

/* ERROR_SUCCESS when path names a program we may run; the error of the
 * candidate otherwise. */
DWORD check_program(const std::string &path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
    if (!S_ISREG(st.st_mode) || ::access(path.c_str(), X_OK) != 0)
        return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

/* The name as given, then without its ".exe". */
DWORD try_candidates(const std::string &base, std::string &found)
{
    DWORD error = check_program(base);
    if (error == ERROR_SUCCESS) {
        found = base;
        return error;
    }
    if (ends_with_exe(base)) {
        std::string bare = base.substr(0, base.size() - 4);
        DWORD bareError = check_program(bare);
        if (bareError == ERROR_SUCCESS) {
            found = bare;
            return bareError;
        }
        if (error == ERROR_FILE_NOT_FOUND)
            error = bareError;
    }
    return error;
}

std::string absolute(const std::string &path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    return std::string(cwd) + "/" + path;
}

}  // namespace

/* Finds the program named by the first word.  A name with a directory is
 * taken as given; a bare name is looked for where CreateProcessA looks:
 * the running program's directory, the current directory, then each PATH
 * element (an empty element names nothing). */
DWORD find_program(std::string name, bool search, std::string &found)
{
    std::replace(name.begin(), name.end(), '\\', '/');
    if (name.empty())
        return ERROR_FILE_NOT_FOUND;
    if (!search || name.find('/') != std::string::npos) {
        DWORD error = try_candidates(name, found);
        if (error == ERROR_SUCCESS)
            found = absolute(found);
        return error;
    }
    std::vector<std::string> dirs;
    char self[PATH_MAX];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len > 0) {
        std::string exe(self, size_t(len));
        dirs.push_back(exe.substr(0, exe.rfind('/') + 1));
    }
    dirs.push_back("./");
    for (const std::string &dir : detail::split_list(getenv("PATH"), ':'))
        dirs.push_back(dir.back() == '/' ? dir : dir + "/");
    DWORD error = ERROR_FILE_NOT_FOUND;
    for (const std::string &dir : dirs) {
        DWORD tried = try_candidates(dir + name, found);
        if (tried == ERROR_SUCCESS) {
            found = absolute(found);
            return tried;
        }
        if (tried == ERROR_ACCESS_DENIED)
            error = tried;
    }
    return error;
}

}  // namespace detail
}  // namespace win
