// The credential section alone, over a recording stand-in of the store's
// verbs: the steps it takes, what it refuses, and how its second door
// settles what a dead request left.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "testutil.h"

#include "kovacred.h"
#include "skwstore.h"

namespace {

struct Credential {
    std::string userId, password;
};

std::map<std::string, Credential> g_store;
std::vector<std::string> g_log;
bool g_listingUnknown = false;
bool g_changesIgnored = false;
tSKWPasswordData g_listed;

kt::TempDir &Folder()
{
    static kt::TempDir folder;
    return folder;
}

class Section : public ::testing::Test {
protected:
    void SetUp() override
    {
        kt::SetEnv("KOVA_STATE_DIR", Folder() / "state");
        kt::SetEnv("KOVA_MUTEX_DIR", Folder() / "mutex");
        kt::SetEnv("KOVA_ORPHAN_WAIT_MS", "50");
        ClearRecords();
        g_store = {{"pc1", {"old", "oldpw"}}};
        g_log.clear();
        g_listingUnknown = g_changesIgnored = false;
    }

    // The folder stays: the section learns it once per process.
    static void ClearRecords()
    {
        if (std::filesystem::exists(Folder() / "state"))
            for (const auto &entry : std::filesystem::directory_iterator(Folder() / "state"))
                std::filesystem::remove(entry.path());
    }

    static int Records()
    {
        int count = 0;
        if (std::filesystem::exists(Folder() / "state"))
            for (const auto &entry : std::filesystem::directory_iterator(Folder() / "state"))
                count += entry.path().extension() == ".REC";
        return count;
    }

    // A request that dies inside its section: its lock and marker go with
    // it, its record stays.
    static void PlaceAndDie(const char *userId, const char *password)
    {
        tCredSection section;
        ASSERT_EQ(KovaCredPlace(&section, "pc1", userId, password), 1);
        CloseHandle(section.hTools);
        CloseHandle(section.hMutex);
        g_log.clear();
    }
};

using Log = std::vector<std::string>;

TEST_F(Section, PlacesTheCredentialOnlyWhenItIsSeenThereAndPutsTheOldStateBack)
{
    const struct {
        const char *name;
        std::map<std::string, Credential> before;
        bool listingUnknown, changesIgnored;
        int placed;
        Log log;  // to the end of the section
    } cases[] = {
        {"stored credential", {{"pc1", {"old", "oldpw"}}}, false, false, 1,
         {"list pc1", "add pc1 admin secret", "list pc1", "add pc1 old oldpw", "list pc1"}},
        {"none stored", {}, false, false, 1,
         {"list pc1", "add pc1 admin secret", "list pc1", "delete pc1", "list pc1"}},
        {"listing not known", {{"pc1", {"old", "oldpw"}}}, true, false, 0, {"list pc1"}},
        {"the change does not take", {{"pc1", {"old", "oldpw"}}}, false, true, 0,
         {"list pc1", "add pc1 admin secret", "list pc1", "add pc1 old oldpw", "list pc1"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        g_store = c.before;
        g_log.clear();
        g_listingUnknown = c.listingUnknown;
        g_changesIgnored = c.changesIgnored;
        tCredSection section;
        int placed = KovaCredPlace(&section, "pc1", "admin", "secret");
        EXPECT_EQ(placed, c.placed);
        if (placed) {
            EXPECT_EQ(Records(), 1);
            EXPECT_EQ(g_store["pc1"].userId, "admin");
            KovaCredUndo(&section);
        }
        EXPECT_EQ(g_log, c.log);
        EXPECT_EQ(Records(), 0);
        EXPECT_EQ(g_store.size(), c.before.size());
        if (!c.before.empty()) {
            EXPECT_EQ(g_store["pc1"].password, "oldpw");
        }
    }
}

TEST_F(Section, TheSecondDoorSettlesADeadRequestsRecord)
{
    const struct {
        const char *name;
        std::map<std::string, Credential> found;  // the store as the next command finds it
        bool listingUnknown, toolAlive;
        int settled;
        std::string after;  // pc1's password afterwards
    } cases[] = {
        {"its credential still there", {{"pc1", {"admin", "secret"}}}, false, false, 1, "oldpw"},
        {"already put back", {{"pc1", {"old", "oldpw"}}}, false, false, 1, "oldpw"},
        {"changed since", {{"pc1", {"new", "newpw"}}}, false, false, 1, "newpw"},
        {"listing not known", {{"pc1", {"admin", "secret"}}}, true, false, 0, "secret"},
        // Nothing is listed while a tool of the dead request may still act.
        {"its tool still runs", {{"pc1", {"old", "oldpw"}}}, false, true, 0, "oldpw"},
    };
    char marker[40];
    snprintf(marker, sizeof marker, "Global\\KOVA-TOOLS-%08lX", (unsigned long)CredHashHost("pc1"));
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        g_store = {{"pc1", {"old", "oldpw"}}};
        g_listingUnknown = false;
        PlaceAndDie("admin", "secret");
        g_store = c.found;
        g_listingUnknown = c.listingUnknown;
        HANDLE tool = c.toolAlive ? CreateEventA(NULL, TRUE, FALSE, marker) : NULL;
        EXPECT_EQ(KovaCredNothingPending("pc1"), c.settled);
        EXPECT_EQ(g_log.empty(), c.toolAlive);
        EXPECT_EQ(g_store["pc1"].password, c.after);
        EXPECT_EQ(Records(), c.settled ? 0 : 1);
        // While the record stays, no credential goes in.
        tCredSection section;
        if (!c.settled) {
            EXPECT_EQ(KovaCredPlace(&section, "pc1", "other", "pw"), 0);
        }
        if (tool)
            CloseHandle(tool);
        ClearRecords();
    }
}

}  // namespace

// The recording stand-in of skwstore.cpp.
int SKWStoreCommandsFit(const char *, const char *, const char *)
{
    return 1;
}

int SKWStoreList(const char *host, tSKWPasswordData **ppListed)
{
    g_log.push_back(std::string("list ") + host);
    memset(&g_listed, 0, sizeof g_listed);
    *ppListed = &g_listed;
    if (g_listingUnknown)
        return SKW_CRED_UNKNOWN;
    auto found = g_store.find(host);
    if (found == g_store.end())
        return SKW_CRED_NONE;
    snprintf(g_listed.host, sizeof g_listed.host, "%s", host);
    snprintf(g_listed.userId, sizeof g_listed.userId, "%s", found->second.userId.c_str());
    snprintf(g_listed.password, sizeof g_listed.password, "%s", found->second.password.c_str());
    return SKW_CRED_ONE;
}

int SKWStoreAdd(const char *host, const char *userId, const char *password)
{
    g_log.push_back(std::string("add ") + host + " " + userId + " " + password);
    if (!g_changesIgnored)
        g_store[host] = {userId, password};
    return 1;
}

int SKWStoreDelete(const char *host)
{
    g_log.push_back(std::string("delete ") + host);
    if (!g_changesIgnored)
        g_store.erase(host);
    return 1;
}
