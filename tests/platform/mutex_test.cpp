// Named mutexes of the layer: held by another process, released, or left
// behind by an owner that died; ownership belongs to one thread; names
// stay inside the layer's directory.
#include <dirent.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testutil.h"

#include "kovawin.h"

extern char **environ;

namespace {

const char kName[] = "KOVA-CRED-0000ABCD";

pid_t StartChild(const std::vector<std::string> &args)
{
    std::vector<char *> argv;
    for (const std::string &arg : args)
        argv.push_back(const_cast<char *>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    return pid;
}

std::vector<std::string> Entries(const std::string &path)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(path.c_str())) {
        while (struct dirent *entry = readdir(dir))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

class NamedMutex : public ::testing::Test {
protected:
    void SetUp() override { kt::SetEnv("KOVA_MUTEX_DIR", (dir / "kova-mutex").c_str()); }
    void TearDown() override { kt::UnsetEnv("KOVA_MUTEX_DIR"); }
    kt::TempDir dir;
};

TEST_F(NamedMutex, ReleasedOrAbandonedByAnotherProcess)
{
    const struct {
        const char *end;
        DWORD result;
    } cases[] = {{"release", WAIT_OBJECT_0}, {"die", WAIT_ABANDONED}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.end);
        HANDLE mutex = CreateMutexA(nullptr, FALSE, kName);
        ASSERT_NE(mutex, nullptr);
        std::string marker = dir / "owned";
        unlink(marker.c_str());
        pid_t pid = StartChild({MUTEXCHILD_BIN, kName, marker, "500", c.end});
        for (int i = 0; i < 1000 && !kt::Exists(marker); i++)
            usleep(10000);
        ASSERT_EQ(kt::ReadFile(marker), "0\n"); // the child owns it, first
        EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT);
        EXPECT_EQ(WaitForSingleObject(mutex, 20000), c.result);
        EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); // owned twice now
        std::thread([&] {
            EXPECT_EQ(WaitForSingleObject(mutex, 50), WAIT_TIMEOUT);
            EXPECT_FALSE(ReleaseMutex(mutex));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
        }).join();
        EXPECT_TRUE(ReleaseMutex(mutex));
        EXPECT_TRUE(ReleaseMutex(mutex));
        EXPECT_FALSE(ReleaseMutex(mutex));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_OWNER));
        EXPECT_TRUE(CloseHandle(mutex));
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
    }
}

TEST_F(NamedMutex, NamesAreEscapedIntoThePrivateDirectory)
{
    const std::string names[] = {"../../escape", "a/b\\c d%", "..", "\xff"};
    for (const std::string &name : names) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, name.c_str());
        ASSERT_NE(mutex, nullptr) << name;
        EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
        EXPECT_TRUE(ReleaseMutex(mutex));
        CloseHandle(mutex);
    }
    EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"kova-mutex"});
    EXPECT_EQ(Entries(dir / "kova-mutex").size(), 4u);

    // The session prefixes name the same lock: one namespace here.
    HANDLE plain = CreateMutexA(nullptr, FALSE, "KOVA-SAME");
    ASSERT_EQ(WaitForSingleObject(plain, 0), WAIT_OBJECT_0);
    for (const char *name : {"Global\\KOVA-SAME", "Local\\KOVA-SAME"}) {
        std::thread([&] {
            HANDLE other = CreateMutexA(nullptr, FALSE, name);
            EXPECT_EQ(WaitForSingleObject(other, 0), WAIT_TIMEOUT) << name;
            CloseHandle(other);
        }).join();
    }
    ReleaseMutex(plain);
    CloseHandle(plain);
    EXPECT_EQ(Entries(dir / "kova-mutex").size(), 5u);

    // A folder that others may enter, or a symlink to one, is refused.
    std::string loose = dir / "loose";
    mkdir(loose.c_str(), 0755);
    symlink(loose.c_str(), (dir / "link").c_str());
    for (const std::string &folder : {loose, dir / "link"}) {
        kt::SetEnv("KOVA_MUTEX_DIR", folder.c_str());
        SetLastError(0);
        EXPECT_EQ(CreateMutexA(nullptr, FALSE, kName), nullptr) << folder;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    }
    kt::SetEnv("KOVA_MUTEX_DIR", (dir / "kova-mutex").c_str());

    SetLastError(0);
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, std::string(261, 'm').c_str()), nullptr);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(ReleaseMutex(INVALID_HANDLE_VALUE), FALSE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

}  // namespace
