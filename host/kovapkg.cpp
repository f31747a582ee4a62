/* kovapkg.cpp - the package-level interface: one package, the SkyWarden
 * agent, number 1. */
#include "kovawin.h"

#include "kova.h"
#include "kovaskw.h"

#define SKYWARDEN_NAME "SkyWarden"

static struct {
    int skyWarden;
    int other; /* room for a second package; always 0 */
} AvailablePackages;

int KOVAIsSkyWardenPackage(long number)
{
    return number == KOVA_SKYWARDEN_PACKAGE;
}

int32_t KOVAGetNumberOfPackages(int32_t *numberp)
{
    int32_t count = 0;
    if (SKWIsManagerAvailable()) {
        AvailablePackages.skyWarden = 1;
        count = 1;
    }
    *numberp = count;
    return 0;
}

int32_t KOVAGetAvailablePackages(int32_t *package, char *name, int32_t *ordinal)
{
    if (*package != 0 || !AvailablePackages.skyWarden)
        return KOVA_NO_SUCH_PACKAGE;
    strncpy(name, SKYWARDEN_NAME, KOVA_PACKAGE_NAME_LEN);
    *ordinal = KOVA_SKYWARDEN_PACKAGE;
    return 0;
}

int32_t KOVARebootSystem(char *macAddress, char *userId, char *password, int32_t *smPackage)
{
    if (!KOVAIsSkyWardenPackage(*smPackage))
        return KOVA_NO_SUCH_PACKAGE;
    return SKWRebootSystem(macAddress, userId, password);
}

int32_t KOVAPowerdownSystem(char *macAddress, char *userId, char *password, int32_t *smPackage)
{
    if (!KOVAIsSkyWardenPackage(*smPackage))
        return KOVA_NO_SUCH_PACKAGE;
    return SKWPowerdownSystem(macAddress, userId, password);
}
