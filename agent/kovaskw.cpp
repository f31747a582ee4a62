/* kovaskw.cpp - the SkyWarden adapter: runs the agent's console tools
 * SKWSYSCMD and SKWSECCMD through the text pipe (rtpopen) and hands their
 * output, line by line, to the scanners of skwparse.cpp.
 *
 * Reading pass: read a line, examine it, ask CheckEOF; passes repeat until
 * CheckEOF reports the end of output.  Drain: read until a read yields no
 * line.  The pipe gives up on a tool that stays silent too long or runs
 * too long, so every pass loop and every drain ends.
 *
 * A request with credentials changes the agent's store and puts it back,
 * inside the credential section of kovacred.cpp (lock, record, change,
 * undo, verify, forget); every agent command first lets that section
 * finish what a dead request left. */
#include "kovawin.h"

#include "kovaskw.h"

#include "kovacred.h"
#include "kovadebug.h"
#include "rtpopen.h"
#include "skwparse.h"

#define LIST_GROUPS_COMMAND "SKWSYSCMD /GETGRP /ALL"
#define LIST_SYSTEMS_COMMAND "SKWSYSCMD /GETSYS /ALL"
#define SYSTEM_INFO_FORMAT "SKWSYSCMD /GETSYS /SYSTAG:%lX"
#define PING_FORMAT "SKWSYSCMD /DOPING /SYSTAG:%lX"
#define REBOOT_FORMAT "SKWSYSCMD /BOOTSYS /SYSTAG:%lX"
#define POWERDOWN_FORMAT "SKWSYSCMD /PWRSYS /SYSTAG:%lX"
#define LIST_CREDENTIAL_FORMAT "SKWSECCMD /LISTOUT /HOST:\"%s\""
#define ADD_CREDENTIAL_FORMAT "SKWSECCMD /ADDOUT:\"%s\" /SETUID:\"%s\" /PWD:\"%s\""
#define DELETE_CREDENTIAL_FORMAT "SKWSECCMD /DELOUT /HOST:\"%s\""

#define PING_PAUSE_MS 750

static tSystagAndName tagAndName;
static tSystemData systemData;
static tSKWPasswordData passwd;

static char noPassword[1];

/* Reads and discards what the tool has written so far. */
static void Drain(FILE *stream, char *buffer, int size)
{
    while (ReadTextFgets(buffer, size, stream))
        ;
}

/* ---- Inventory ------------------------------------------------------- */

int SKWIsManagerAvailable(void)
{
    char command[SKW_CMD_LEN] = LIST_GROUPS_COMMAND;
    char line[SKW_LINE_LEN];
    FILE *stream;

    KovaCredRecover();
    stream = ReadTextPopen(command);
    if (!stream)
        return 0;
    do {
        if (ReadTextFgets(line, SKW_LINE_LEN, stream) && strstr(line, "GRPTAG")) {
            ReadTextPclose(stream);
            return 1;
        }
    } while (CheckEOF(stream) == 0);
    ReadTextPclose(stream);
    return 0;
}

uint32_t SKWGetSystag(char *macAddress)
{
    char command[SKW_CMD_LEN] = LIST_SYSTEMS_COMMAND;
    char line[SKW_LINE_LEN];
    tTagScan scan;
    uint32_t systag = 0;
    FILE *stream;

    SKWTagScanStart(&scan, macAddress);
    stream = ReadTextPopen(command);
    if (!stream)
        return 0;
    do {
        if (ReadTextFgets(line, SKW_LINE_LEN, stream) && SKWTagScanLine(&scan, line)) {
            systag = scan.systag;
            break;
        }
    } while (CheckEOF(stream) == 0);
    Drain(stream, line, SKW_LINE_LEN);
    ReadTextPclose(stream);
    return systag;
}

tSystagAndName *SKWGetSystagAndName(char *macAddress)
{
    static tListingScan scan; /* two line buffers: kept off the stack */
    char command[SKW_CMD_LEN] = LIST_SYSTEMS_COMMAND;
    char line[SKW_LINE_LEN];
    tSystagAndName *pFound = NULL;
    FILE *stream;

    SKWListingScanStart(&scan, macAddress);
    stream = ReadTextPopen(command);
    if (!stream) {
        KovaDebug("system %s not looked up: the listing tool cannot be started", macAddress);
        return NULL;
    }
    do {
        if (ReadTextFgets(line, SKW_LINE_LEN, stream) && SKWListingScanLine(&scan, line)) {
            SKWListingScanFill(&scan, &tagAndName);
            pFound = &tagAndName;
            break;
        }
    } while (CheckEOF(stream) == 0);
    Drain(stream, line, SKW_LINE_LEN);
    ReadTextPclose(stream);
    if (!pFound)
        KovaDebug("system %s is not in the agent's listing", macAddress);
    return pFound;
}

tSystemData *SKWRequestClientInfo(char *macAddress)
{
    char command[SKW_CMD_LEN];
    char line[SKW_LINE_LEN];
    uint32_t systag = SKWGetSystag(macAddress);
    FILE *stream;

    if (systag == 0)
        return NULL;
    snprintf(command, sizeof(command), SYSTEM_INFO_FORMAT, (unsigned long)systag);
    stream = ReadTextPopen(command);
    if (!stream)
        return NULL;
    do {
        if (ReadTextFgets(line, SKW_LINE_LEN, stream))
            SKWAttributeLine(&systemData, line);
    } while (CheckEOF(stream) == 0);
    ReadTextPclose(stream);
    return &systemData;
}

/* ---- Command lines of the credential tool ---------------------------- */

/* A value goes between double quotes: it must hold none, and must not end
 * in a backslash, which would escape the closing quote. */
static int QuotableValue(const char *value)
{
    size_t n = strlen(value);
    return strchr(value, '"') == NULL && (n == 0 || value[n - 1] != '\\');
}

/* 1 when the whole line fits; a line that does not is never sent cut. */
static int Fits(int written)
{
    return written >= 0 && written < SKW_CMD_LEN;
}

static int FormatListCommand(char *command, const char *host)
{
    return QuotableValue(host) &&
           Fits(snprintf(command, SKW_CMD_LEN, LIST_CREDENTIAL_FORMAT, host));
}

static int FormatAddCommand(char *command, const char *host, const char *userId,
                            const char *password)
{
    return QuotableValue(host) && QuotableValue(userId) && QuotableValue(password) &&
           Fits(snprintf(command, SKW_CMD_LEN, ADD_CREDENTIAL_FORMAT, host, userId, password));
}

static int FormatDeleteCommand(char *command, const char *host)
{
    return QuotableValue(host) &&
           Fits(snprintf(command, SKW_CMD_LEN, DELETE_CREDENTIAL_FORMAT, host));
}

/* Runs a credential tool to its end (the pipe bounds the wait), so that
 * its change is complete before anything else runs.  1 when it started. */
static int RunToEnd(char *command)
{
    FILE *stream = ReadTextPopen(command);

    if (!stream)
        return 0;
    do {
        ReadTextFgets(command, SKW_CMD_LEN, stream);
    } while (CheckEOF(stream) == 0);
    Drain(stream, command, SKW_CMD_LEN);
    ReadTextPclose(stream);
    return 1;
}

/* ---- Credentials ----------------------------------------------------- */

/* 1 when the tool behind an ended stream finished by itself with success.
 * A tool that failed, or that the pipe ended for its silence, leaves a
 * listing that may show nothing although credentials are stored. */
static int EndedWell(FILE *stream)
{
    popenedInstance_s *pSlot = GetPopenedInstance(stream);
    DWORD exitCode;

    return pSlot && GetExitCodeProcess(pSlot->hProcess, &exitCode) && exitCode == 0;
}

/* Lists the credential stored for host into passwd and says what the store
 * holds: SKW_CRED_NONE or SKW_CRED_ONE only when the listing ran to its
 * end and is understood whole; SKW_CRED_UNKNOWN otherwise. */
static int ListCredential(const char *host)
{
    char command[SKW_CMD_LEN];
    char line[SKW_LINE_LEN];
    tCredentialScan scan;
    int ended = 0, state;
    FILE *stream;

    SKWCredentialScanStart(&scan, &passwd, host);
    if (!FormatListCommand(command, host))
        return SKW_CRED_UNKNOWN;
    stream = ReadTextPopen(command);
    if (!stream)
        return SKW_CRED_UNKNOWN;
    do {
        if (ReadTextFgets(line, SKW_LINE_LEN, stream)) {
            SKWCredentialScanLine(&scan, &passwd, line);
            if (scan.unclear)
                break;
        }
        ended = CheckEOF(stream) != 0;
    } while (!ended);
    ended = ended && EndedWell(stream);
    Drain(stream, line, SKW_LINE_LEN);
    ReadTextPclose(stream);
    state = ended ? SKWCredentialScanState(&scan, &passwd, host) : SKW_CRED_UNKNOWN;
    KovaDebug("credential listing for \"%s\": %s", host,
              state == SKW_CRED_NONE  ? "no credential"
              : state == SKW_CRED_ONE ? "one credential"
              : ended || scan.unclear ? "not understood, the store is left alone"
                                      : "the tool failed or was given up, the store is left alone");
    return state;
}

int SKWListCredential(const char *host, tSKWPasswordData **ppPasswd)
{
    *ppPasswd = &passwd;
    return ListCredential(host);
}

tSKWPasswordData *SKWGetPassword(char *sysname)
{
    return ListCredential(sysname) == SKW_CRED_ONE ? &passwd : NULL;
}

int SKWSetPassword(char *host, char *userId, char *password)
{
    char command[SKW_CMD_LEN];

    /* No password is an empty one, never the text "(null)". */
    if (!FormatAddCommand(command, host, userId, password ? password : noPassword))
        return 0;
    return RunToEnd(command);
}

int SKWDeletePassword(char *host)
{
    char command[SKW_CMD_LEN];

    if (!FormatDeleteCommand(command, host))
        return 0;
    return RunToEnd(command);
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

/* Reads the request tool's output up to its result line. */
static int32_t ReadRequestResult(FILE *stream, char *line)
{
    int32_t number;
    int inRange;

    do {
        if (ReadTextFgets(line, SKW_LINE_LEN, stream) &&
            SKWParseResultLine(line, &number, &inRange)) {
            if (!inRange)
                return SKW_NO_RESULT;
            return number == 0 ? SKW_SUCCESS : SKWInterpretSKWSYSError(number);
        }
    } while (CheckEOF(stream) == 0);
    return SKW_NO_RESULT;
}

/* ---- The store section ----------------------------------------------- */

/* Stores the request's credential for the system inside its credential
 * section (pSection->changed: an undo is owed).  0 when the request must
 * not be made: the section cannot be had, a repair for the host is still
 * pending, or a command line that may follow cannot be sent whole. */
static int StoreRequestCredential(tSystagAndName *pSystem, char *userId, char *password,
                                  tCredSection *pSection)
{
    char command[SKW_CMD_LEN];
    const tCredRecord *pOld = &pSection->record;

    if (!password)
        password = noPassword;
    /* Never a credential under an empty host name: without an address the
     * store is left alone, as when its state is not known. */
    if (!pSystem->address[0])
        return FormatAddCommand(command, pSystem->address, userId, password);
    if (!FormatListCommand(command, pSystem->address) ||
        !KovaCredEnter(pSection, pSystem->address))
        return 0;
    if (!FormatAddCommand(command, pSystem->address, userId, password) ||
        (pSection->state == SKW_CRED_ONE &&
         !FormatAddCommand(command, pSystem->address, pOld->old.userId, pOld->old.password)) ||
        (pSection->state == SKW_CRED_NONE && !FormatDeleteCommand(command, pSystem->address))) {
        KovaCredLeave(pSection);
        return 0;
    }
    /* Changed or not, the section stays held until the request is over:
     * no other request's credential may be in the store meanwhile. */
    KovaCredChange(pSection, userId, password);
    return 1;
}

static int32_t RunRequest(char *macAddress, char *userId, char *password, const char *requestFormat)
{
    char command[SKW_CMD_LEN];
    char line[SKW_LINE_LEN];
    tCredSection section;
    tSystagAndName *pSystem;
    int32_t result;
    FILE *stream;

    memset(&section, 0, sizeof(section));
    KovaCredRecover();
    pSystem = SKWGetSystagAndName(macAddress);
    if (!pSystem)
        return SKW_SYSTEM_NOT_FOUND;
    if (userId && userId[0]) {
        if (!StoreRequestCredential(pSystem, userId, password, &section)) {
            KovaDebug("request for %s not made: its credential section cannot be had, or "
                      "a value does not fit the agent's command line", macAddress);
            return SKW_NO_RESULT;
        }
    } else if (pSystem->address[0] && !KovaCredNothingPending(pSystem->address)) {
        KovaDebug("request for %s not made: a repair of its credential store is pending",
                  macAddress);
        return SKW_NO_RESULT; /* the store may hold a dead request's credential */
    }

    snprintf(command, sizeof(command), PING_FORMAT, (unsigned long)pSystem->systag);
    stream = ReadTextPopen(command);
    Sleep(PING_PAUSE_MS);
    if (stream)
        ReadTextPclose(stream);

    snprintf(command, sizeof(command), requestFormat, (unsigned long)pSystem->systag);
    stream = ReadTextPopen(command);
    if (!stream) {
        KovaCredUndo(&section);
        return SKW_CANNOT_START_TOOL;
    }
    result = ReadRequestResult(stream, line);
    /* The request's pipe is closed before the undo, so that the undo's
     * tools find the handles they need. */
    Drain(stream, line, SKW_LINE_LEN);
    ReadTextPclose(stream);
    KovaCredUndo(&section);
    return result;
}

int32_t SKWRebootSystem(char *macAddress, char *userId, char *password)
{
    return RunRequest(macAddress, userId, password, REBOOT_FORMAT);
}

int32_t SKWPowerdownSystem(char *macAddress, char *userId, char *password)
{
    return RunRequest(macAddress, userId, password, POWERDOWN_FORMAT);
}
