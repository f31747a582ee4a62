/* kovaskw.cpp - the SkyWarden adapter: runs the agent's console tools
 * SKWSYSCMD and SKWSECCMD (through skwrun and, for the credential store,
 * skwstore) and hands their output, line by line, to the scanners of
 * skwparse.cpp.
 *
 * A request with credentials changes the agent's store and puts it back,
 * inside the credential section of kovacred.cpp (lock, record, change,
 * check, undo, verify, forget); every agent command first lets that
 * section finish what a dead request left.  Every tool a request starts
 * has ended before its store goes back. */
#include "kovawin.h"

#include "kovaskw.h"

#include "kovacred.h"
#include "kovadebug.h"
#include "rtpopen.h"
#include "skwparse.h"
#include "skwrun.h"
#include "skwstore.h"

#define LIST_GROUPS_COMMAND "SKWSYSCMD /GETGRP /ALL"
#define LIST_SYSTEMS_COMMAND "SKWSYSCMD /GETSYS /ALL"
#define SYSTEM_INFO_FORMAT "SKWSYSCMD /GETSYS /SYSTAG:%lX"
#define PING_FORMAT "SKWSYSCMD /DOPING /SYSTAG:%lX"
#define REBOOT_FORMAT "SKWSYSCMD /BOOTSYS /SYSTAG:%lX"
#define POWERDOWN_FORMAT "SKWSYSCMD /PWRSYS /SYSTAG:%lX"

static tSystagAndName tagAndName;
static tSystemData systemData;

static char noPassword[1];

/* ---- Inventory ------------------------------------------------------- */

static int IsGroupLine(void *pContext, char *line)
{
    (void)pContext;
    return strstr(line, "GRPTAG") != NULL;
}

int SKWIsManagerAvailable(void)
{
    char command[SKW_CMD_LEN] = LIST_GROUPS_COMMAND;
    char line[SKW_LINE_LEN];
    tToolRun run;

    KovaCredRecover();
    /* Closed at the first group line: the answer is known. */
    return SKWRunTool(command, 0, IsGroupLine, NULL, line, SKW_LINE_LEN, &run) &&
           run.stoppedEarly;
}

static int TagLine(void *pContext, char *line)
{
    return SKWTagScanLine((tTagScan *)pContext, line);
}

uint32_t SKWGetSystag(char *macAddress)
{
    char command[SKW_CMD_LEN] = LIST_SYSTEMS_COMMAND;
    char line[SKW_LINE_LEN];
    tTagScan scan;
    tToolRun run;

    SKWTagScanStart(&scan, macAddress);
    if (!SKWRunTool(command, SKW_RUN_DRAIN, TagLine, &scan, line, SKW_LINE_LEN, &run) ||
        !run.stoppedEarly)
        return 0;
    return scan.systag;
}

static int ListingLine(void *pContext, char *line)
{
    return SKWListingScanLine((tListingScan *)pContext, line);
}

tSystagAndName *SKWGetSystagAndName(char *macAddress)
{
    static tListingScan scan; /* two line buffers: kept off the stack */
    char command[SKW_CMD_LEN] = LIST_SYSTEMS_COMMAND;
    char line[SKW_LINE_LEN];
    tToolRun run;

    SKWListingScanStart(&scan, macAddress);
    if (!SKWRunTool(command, SKW_RUN_DRAIN, ListingLine, &scan, line, SKW_LINE_LEN, &run)) {
        KovaDebug("system %s not looked up: the listing tool cannot be started", macAddress);
        return NULL;
    }
    if (!run.stoppedEarly) {
        KovaDebug("system %s is not in the agent's listing", macAddress);
        return NULL;
    }
    SKWListingScanFill(&scan, &tagAndName);
    return &tagAndName;
}

static int AttributeLine(void *pContext, char *line)
{
    SKWAttributeLine((tSystemData *)pContext, line);
    return 0;
}

tSystemData *SKWRequestClientInfo(char *macAddress)
{
    char command[SKW_CMD_LEN];
    char line[SKW_LINE_LEN];
    uint32_t systag = SKWGetSystag(macAddress);
    tToolRun run;

    if (systag == 0)
        return NULL;
    snprintf(command, sizeof(command), SYSTEM_INFO_FORMAT, (unsigned long)systag);
    if (!SKWRunTool(command, 0, AttributeLine, &systemData, line, SKW_LINE_LEN, &run))
        return NULL;
    return &systemData;
}

/* ---- Credentials: the store's verbs ---------------------------------- */

tSKWPasswordData *SKWGetPassword(char *sysname)
{
    tSKWPasswordData *pListed;

    return SKWStoreList(sysname, &pListed) == SKW_CRED_ONE ? pListed : NULL;
}

int SKWSetPassword(char *host, char *userId, char *password)
{
    /* No password is an empty one, never the text "(null)". */
    return SKWStoreAdd(host, userId, password ? password : noPassword);
}

int SKWDeletePassword(char *host)
{
    return SKWStoreDelete(host);
}

int32_t SKWInterpretSKWSYSError(int32_t returnCode)
{
    static const int32_t codes[] = {
        SKW_NO_RESULT,     SKW_ERROR_GROUP_A, SKW_ERROR_GROUP_B, SKW_ERROR_GROUP_D,
        SKW_ERROR_GROUP_A, SKW_ERROR_GROUP_A, SKW_ERROR_GROUP_B, SKW_ERROR_GROUP_C,
        SKW_ERROR_GROUP_B, SKW_ERROR_GROUP_B, SKW_ERROR_GROUP_C, SKW_ERROR_GROUP_C,
        SKW_ERROR_GROUP_C, SKW_ERROR_GROUP_C,
    };
    if (returnCode < 0 || returnCode >= (int32_t)(sizeof(codes) / sizeof(codes[0])))
        return SKW_NO_RESULT;
    return codes[returnCode];
}

/* ---- Reboot and power-down ------------------------------------------- */

typedef struct tRequestRead {
    int32_t result;
    int found;
} tRequestRead;

/* Up to the result line; the tool may work on after it. */
static int RequestLine(void *pContext, char *line)
{
    tRequestRead *pRead = (tRequestRead *)pContext;
    int32_t number;
    int inRange;

    if (!SKWParseResultLine(line, &number, &inRange))
        return 0;
    pRead->found = 1;
    pRead->result = !inRange       ? SKW_NO_RESULT
                    : number == 0 ? SKW_SUCCESS
                                  : SKWInterpretSKWSYSError(number);
    return 1;
}

/* The request steps: look the system up, place the console's credential
 * (its section), ping, request, and only once both tools have ended put
 * the store back. */
static int32_t RunRequest(char *macAddress, char *userId, char *password, const char *requestFormat)
{
    char command[SKW_CMD_LEN];
    char line[SKW_LINE_LEN];
    tCredSection section;
    tSystagAndName *pSystem;
    tRequestRead read;
    tToolRun run;

    memset(&section, 0, sizeof(section));
    KovaCredRecover();
    pSystem = SKWGetSystagAndName(macAddress);
    if (!pSystem)
        return SKW_SYSTEM_NOT_FOUND;
    if (userId && userId[0]) {
        /* Never under an empty host name, never without the console's
         * credential in place. */
        if (!pSystem->address[0] ||
            !KovaCredPlace(&section, pSystem->address, userId, password ? password : noPassword)) {
            KovaDebug("request for %s not made: the console's credential cannot be placed",
                      macAddress);
            return SKW_NO_RESULT;
        }
    } else if (pSystem->address[0] && !KovaCredNothingPending(pSystem->address)) {
        KovaDebug("request for %s not made: a repair of its credential store is pending",
                  macAddress);
        return SKW_NO_RESULT; /* the store may hold a dead request's credential */
    }

    snprintf(command, sizeof(command), PING_FORMAT, (unsigned long)pSystem->systag);
    SKWRunTool(command, SKW_RUN_PAUSE, NULL, NULL, line, SKW_LINE_LEN, &run);

    snprintf(command, sizeof(command), requestFormat, (unsigned long)pSystem->systag);
    memset(&read, 0, sizeof(read));
    read.result = SKW_NO_RESULT;
    if (!SKWRunTool(command, SKW_RUN_TO_END, RequestLine, &read, line, SKW_LINE_LEN, &run)) {
        KovaCredUndo(&section);
        return SKW_CANNOT_START_TOOL;
    }
    if (read.found && run.state == RTP_TOOL_GIVEN_UP)
        KovaDebug("request for %s: the tool was ended after its result line", macAddress);
    KovaCredUndo(&section);
    return read.result;
}

int32_t SKWRebootSystem(char *macAddress, char *userId, char *password)
{
    return RunRequest(macAddress, userId, password, REBOOT_FORMAT);
}

int32_t SKWPowerdownSystem(char *macAddress, char *userId, char *password)
{
    return RunRequest(macAddress, userId, password, POWERDOWN_FORMAT);
}
