// The layer's files: the read-only attribute as Windows keeps it (tests may
// run as root, whom the host's permissions would let through), and the
// debugging channel's file.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "testutil.h"

#include "kovawin.h"

namespace {

TEST(Files, AReadOnlyFileIsNeitherWrittenTruncatedNorDeleted)
{
    kt::TempDir dir;
    const std::string path = dir / "KOVA.TMP";
    kt::WriteFile(path, "WAKE-SUCCESS\r\n");
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesA(path.c_str()), DWORD(FILE_ATTRIBUTE_READONLY));

    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    for (DWORD disposition : {DWORD(CREATE_ALWAYS), DWORD(OPEN_EXISTING), DWORD(TRUNCATE_EXISTING)}) {
        SCOPED_TRACE(disposition);
        EXPECT_EQ(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                              FILE_ATTRIBUTE_NORMAL, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    }
    for (const char *mode : {"w", "a", "r+", "wb"}) {
        SCOPED_TRACE(mode);
        errno = 0;
        EXPECT_EQ(fopen(path.c_str(), mode), nullptr);
        EXPECT_EQ(errno, EACCES);
    }
    EXPECT_EQ(kt::ReadFile(path), "WAKE-SUCCESS\r\n");  // nothing truncated on the way

    // Reading stays allowed; clearing the attribute allows the rest again.
    HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    CloseHandle(reader);
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesA(path.c_str()), DWORD(FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
}

// A symlink is a reparse point described itself: CREATE_NEW never writes
// through it (to a file or to a name not there yet), DeleteFileA removes
// the link and not its target.
TEST(Files, ALinkIsAReparsePointNeverWrittenThrough)
{
    kt::TempDir dir;
    kt::WriteFile(dir / "target", "kept\n");
    mkdir((dir / "folder").c_str(), 0700);
    const struct {
        const char *target;
        DWORD attributes;
    } links[] = {
        {"target", FILE_ATTRIBUTE_REPARSE_POINT},
        {"absent", FILE_ATTRIBUTE_REPARSE_POINT},
        {"folder", FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY},
    };
    for (const auto &link : links) {
        SCOPED_TRACE(link.target);
        const std::string name = dir / "link";
        ASSERT_EQ(symlink((dir / link.target).c_str(), name.c_str()), 0);
        EXPECT_EQ(GetFileAttributesA(name.c_str()), link.attributes);
        EXPECT_EQ(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_EXISTS));
        EXPECT_TRUE(DeleteFileA(name.c_str()));
        EXPECT_EQ(GetFileAttributesA(name.c_str()), INVALID_FILE_ATTRIBUTES);
    }
    EXPECT_EQ(kt::ReadFile(dir / "target"), "kept\n");
    EXPECT_FALSE(kt::Exists(dir / "absent"));
    EXPECT_EQ(GetFileAttributesA((dir / "folder").c_str()), DWORD(FILE_ATTRIBUTE_DIRECTORY));
}

TEST(Files, DebugLinesGoToTheLogFileOnlyWhenItIsNamed)
{
    kt::TempDir dir;
    kt::UnsetEnv("KOVA_DEBUG_LOG");
    OutputDebugStringA("nowhere");
    kt::SetEnv("KOVA_DEBUG_LOG", dir / "debug.log");
    SetLastError(ERROR_ACCESS_DENIED);
    OutputDebugStringA("one\n");
    OutputDebugStringA("two");  // a call is a line, with or without its line end
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    kt::UnsetEnv("KOVA_DEBUG_LOG");
    EXPECT_EQ(kt::ReadFile(dir / "debug.log"), "one\ntwo\n");
}

}  // namespace
