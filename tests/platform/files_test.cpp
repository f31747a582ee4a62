// The layer's files: the read-only attribute as Windows keeps it (tests may
// run as root, whom the host's permissions would let through), and the
// debugging channel's file.
#include <sys/stat.h>

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
