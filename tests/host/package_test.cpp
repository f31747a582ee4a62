// The package layer: counting, naming and numbering the one package over
// the real adapter and the substitute agent tools.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>

#include "testutil.h"

#include "kova.h"

namespace {

const std::string kTools = std::string(KOVA_TOOLS_DIR) + "/skwtools";

TEST(Packages, CountNamesAndNumbersTheAgent)
{
    kt::TempDir dir;
    kt::WriteFile(dir / "inventory", "group GRPTAG=0x1\nlist SYSTAG=0x1A\nlist ADDR= \"pc1\"\n"
                                     "list MAC=001122334455\n");
    kt::SetEnv("SKW_INVENTORY", (dir / "inventory").c_str());
    kt::SetEnv("SKW_LOG", (dir / "log").c_str());
    kt::SetEnv("PATH", kTools.c_str());
    kt::SetEnv("KOVA_STATE_DIR", (dir / "state").c_str()); // never the user's own
    kt::SetEnv("KOVA_MUTEX_DIR", (dir / "mutex").c_str());

    int32_t position = 0, ordinal = -1, count = -1;
    char name[KOVA_PACKAGE_NAME_LEN];
    memset(name, 'x', sizeof name);
    // Not counted yet: unknown, whether or not the agent is there.
    EXPECT_EQ(KOVAGetAvailablePackages(&position, name, &ordinal), KOVA_NO_SUCH_PACKAGE);
    EXPECT_EQ(name[0], 'x');
    EXPECT_EQ(ordinal, -1);

    EXPECT_EQ(KOVAGetNumberOfPackages(&count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(KOVAGetAvailablePackages(&position, name, &ordinal), 0);
    EXPECT_STREQ(name, "SkyWarden");
    EXPECT_EQ(std::string(name + 9, sizeof name - 9), std::string(sizeof name - 9, '\0'));
    EXPECT_EQ(ordinal, KOVA_SKYWARDEN_PACKAGE);
    position = 1;
    EXPECT_EQ(KOVAGetAvailablePackages(&position, name, &ordinal), KOVA_NO_SUCH_PACKAGE);

    // The agent has gone: counted as none, but once found stays known.
    kt::SetEnv("PATH", "/nonexistent");
    EXPECT_EQ(KOVAGetNumberOfPackages(&count), 0);
    EXPECT_EQ(count, 0);
    position = 0;
    EXPECT_EQ(KOVAGetAvailablePackages(&position, name, &ordinal), 0);

    // Other package numbers never reach the agent.
    kt::SetEnv("PATH", kTools.c_str());
    unlink((dir / "log").c_str());
    char mac[] = "665544332211";
    for (int32_t package : {0, 2, -1}) {
        EXPECT_EQ(KOVARebootSystem(mac, nullptr, nullptr, &package), KOVA_NO_SUCH_PACKAGE);
        EXPECT_EQ(KOVAPowerdownSystem(mac, nullptr, nullptr, &package), KOVA_NO_SUCH_PACKAGE);
    }
    EXPECT_FALSE(kt::Exists(dir / "log"));
    int32_t skyWarden = KOVA_SKYWARDEN_PACKAGE;
    EXPECT_EQ(KOVARebootSystem(mac, nullptr, nullptr, &skyWarden), 103);
    EXPECT_EQ(KOVAPowerdownSystem(mac, nullptr, nullptr, &skyWarden), 103);
    EXPECT_EQ(kt::ReadFile(dir / "log"), "SKWSYSCMD /GETSYS /ALL\nSKWSYSCMD /GETSYS /ALL\n");
}

}  // namespace
