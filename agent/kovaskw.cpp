/* kovaskw.cpp - the SkyWarden adapter: runs the agent's console tools
 * SKWSYSCMD and SKWSECCMD through the text pipe (rtpopen) and hands their
 * output, line by line, to the scanners of skwparse.cpp.
 *
 * Reading pass: read a line, examine it, ask CheckEOF; passes repeat until
 * CheckEOF reports the end of output.  Drain: read until a read yields no
 * line.  The pipe gives up on a tool that stays silent too long or runs
 * too long, so every pass loop and every drain ends.
 *
 * A request with credentials changes the agent's store and puts it back.
 * That store section, from "/LISTOUT" to the restore, runs one request at
 * a time per host, across processes, under a named mutex: two requests
 * that overlapped would each put back what they found, and the last one
 * would leave the other's temporary credential in place of the
 * administrator's. */
#include "kovawin.h"

#include "kovaskw.h"

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

#define CRED_MUTEX_FORMAT "KOVA-CRED-%08lX"
#define CRED_MUTEX_NAME_LEN 32
#define CRED_SECTION_TOOLS 5 /* /LISTOUT, /ADDOUT, /DOPING, the request, the restore */
#define CRED_WAIT_MAX_MS 0xFFFFFFFEu /* the longest finite wait */

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
    FILE *stream = ReadTextPopen(command);

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
    if (!stream)
        return NULL;
    do {
        if (ReadTextFgets(line, SKW_LINE_LEN, stream) && SKWListingScanLine(&scan, line)) {
            SKWListingScanFill(&scan, &tagAndName);
            pFound = &tagAndName;
            break;
        }
    } while (CheckEOF(stream) == 0);
    Drain(stream, line, SKW_LINE_LEN);
    ReadTextPclose(stream);
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
    int ended = 0;
    FILE *stream;

    SKWCredentialScanStart(&scan, &passwd);
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
    if (!ended)
        return SKW_CRED_UNKNOWN;
    return SKWCredentialScanState(&scan, &passwd, host);
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

/* 32-bit FNV-1a: an address may be long and hold any character, its hash
 * makes a short, plain mutex name. */
static uint32_t HashAddress(const char *address)
{
    uint32_t hash = 2166136261u;
    const unsigned char *p;

    for (p = (const unsigned char *)address; *p; p++) {
        hash ^= *p;
        hash *= 16777619u;
    }
    return hash;
}

/* How long to wait for another request's section for the same host: by
 * default as long as one section can last under the tool limits. */
static DWORD CredentialWaitMs(void)
{
    uint64_t longest;
    uint32_t value;

    if (KovaEnvironmentMs("KOVA_CRED_WAIT_MS", &value))
        return (DWORD)value;
    longest = (uint64_t)CRED_SECTION_TOOLS * ReadTextLongestRun() + PING_PAUSE_MS;
    return longest < CRED_WAIT_MAX_MS ? (DWORD)longest : CRED_WAIT_MAX_MS;
}

/* Enters the store section for address: the mutex handle, owned, or null
 * when it cannot be had in time (the store is then left alone).  A mutex
 * whose owner died counts as had: that request is over. */
static HANDLE EnterCredentialSection(const char *address)
{
    char name[CRED_MUTEX_NAME_LEN];
    HANDLE hMutex;
    DWORD waited;

    snprintf(name, sizeof(name), CRED_MUTEX_FORMAT, (unsigned long)HashAddress(address));
    hMutex = CreateMutexA(NULL, FALSE, name);
    if (!hMutex)
        return NULL;
    waited = WaitForSingleObject(hMutex, CredentialWaitMs());
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        return hMutex;
    CloseHandle(hMutex);
    return NULL;
}

static void LeaveCredentialSection(HANDLE *phMutex)
{
    if (!*phMutex)
        return;
    ReleaseMutex(*phMutex);
    CloseHandle(*phMutex);
    *phMutex = NULL;
}

/* What a request did to the credential store, so that it can be put back. */
typedef struct tStoreChange {
    HANDLE hSection; /* the store section, while held */
    int store;       /* the store as the listing showed it */
    int stored;      /* the request's credential went in: put it back */
} tStoreChange;

/* Stores the request's credential for the system, inside the store section.
 * 0 when a command line that may follow cannot be sent whole: the store is
 * then left alone and the request is not made. */
static int StoreRequestCredential(tSystagAndName *pSystem, char *userId, char *password,
                                  tStoreChange *pChange)
{
    char command[SKW_CMD_LEN];

    if (!password)
        password = noPassword;
    /* Never a credential under an empty host name: without an address the
     * store is left alone, as when its state is not known. */
    if (pSystem->address[0]) {
        if (!FormatListCommand(command, pSystem->address))
            return 0;
        pChange->hSection = EnterCredentialSection(pSystem->address);
        if (pChange->hSection)
            pChange->store = ListCredential(pSystem->address);
    }
    if (!FormatAddCommand(command, pSystem->address, userId, password) ||
        (pChange->store == SKW_CRED_ONE &&
         !FormatAddCommand(command, passwd.host, passwd.userId, passwd.password)) ||
        (pChange->store == SKW_CRED_NONE && !FormatDeleteCommand(command, pSystem->address))) {
        LeaveCredentialSection(&pChange->hSection);
        return 0;
    }
    /* Once the store tool started it may have changed the store, whatever
     * it then did: from here the request always restores. */
    if (pChange->store != SKW_CRED_UNKNOWN)
        pChange->stored = SKWSetPassword(pSystem->address, userId, password);
    if (!pChange->stored)
        LeaveCredentialSection(&pChange->hSection);
    return 1;
}

/* Puts the store back as the listing showed it, and leaves the section. */
static void RestoreCredential(tStoreChange *pChange, char *address)
{
    if (!pChange->stored)
        return;
    if (pChange->store == SKW_CRED_ONE)
        SKWSetPassword(passwd.host, passwd.userId, passwd.password);
    else
        SKWDeletePassword(address);
    LeaveCredentialSection(&pChange->hSection);
}

static int32_t RunRequest(char *macAddress, char *userId, char *password, const char *requestFormat)
{
    char command[SKW_CMD_LEN];
    char line[SKW_LINE_LEN];
    tStoreChange change = {NULL, SKW_CRED_UNKNOWN, 0};
    tSystagAndName *pSystem;
    int32_t result;
    FILE *stream;

    pSystem = SKWGetSystagAndName(macAddress);
    if (!pSystem)
        return SKW_SYSTEM_NOT_FOUND;
    if (userId && userId[0] && !StoreRequestCredential(pSystem, userId, password, &change))
        return SKW_NO_RESULT;

    snprintf(command, sizeof(command), PING_FORMAT, (unsigned long)pSystem->systag);
    stream = ReadTextPopen(command);
    Sleep(PING_PAUSE_MS);
    if (stream)
        ReadTextPclose(stream);

    snprintf(command, sizeof(command), requestFormat, (unsigned long)pSystem->systag);
    stream = ReadTextPopen(command);
    if (!stream) {
        RestoreCredential(&change, pSystem->address);
        return SKW_CANNOT_START_TOOL;
    }
    result = ReadRequestResult(stream, line);
    RestoreCredential(&change, pSystem->address);
    Drain(stream, line, SKW_LINE_LEN);
    ReadTextPclose(stream);
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
