/* kovaskw.cpp - the SkyWarden adapter (the agent's tools are not run yet:
 * every query answers as when the tool cannot be started). */
#include "kovawin.h"

#include "kovaskw.h"

int SKWIsManagerAvailable(void) { return 0; }
int32_t SKWRebootSystem(char *, char *, char *) { return SKW_SYSTEM_NOT_FOUND; }
int32_t SKWPowerdownSystem(char *, char *, char *) { return SKW_SYSTEM_NOT_FOUND; }
