/* interp.cpp - the command interpreter and the result-file protocol of the
 * management console. */
#include "kovawin.h"

#include "kova.h"
#include "kovadebug.h"
#include "kovaskw.h"
#include "kovatext.h"
#include "wakew32.h"

#define BUSY_FILE "KOVABUSY"
#define RESULT_FILE "KOVA.TMP"
#define WORD_DELIMITERS " "
#define IPXNET_WORD "IPXNET="
#define IPXNET_WORD_LEN (sizeof(IPXNET_WORD) - 1)
#define IPXNET_VALUE_LEN 8
#define IPBCAST_WORD "IPBCAST="
#define IPBCAST_WORD_LEN (sizeof(IPBCAST_WORD) - 1)
#define NO_USER_WORD "DO-NOT-USE-USER-ID"
#define NO_USER_WORD_LEN (sizeof(NO_USER_WORD) - 1)
#define NO_PASSWORD_WORD "DO-NOT-USE-PASSWORD"
#define NO_PASSWORD_WORD_LEN (sizeof(NO_PASSWORD_WORD) - 1)

typedef int32_t (*tAgentAction)(char *macAddress, char *userId, char *password);

/* Creates (or truncates) an empty file; 1 on success. */
static int CreateEmptyFile(const char *name)
{
    HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) {
        KovaDebug("CreateFileA(%s) failed, error %d", name, (int)GetLastError());
        return 0;
    }
    return CloseHandle(file) ? 1 : 0;
}

/* Removes the result file.  A read-only one is made writable first: left
 * in place, it would be read as the answer to a request that wrote none. */
static void DeleteResultFile(void)
{
    DWORD attributes = GetFileAttributesA(RESULT_FILE);

    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return;
    if ((attributes & FILE_ATTRIBUTE_READONLY) &&
        !SetFileAttributesA(RESULT_FILE, FILE_ATTRIBUTE_NORMAL)) {
        KovaDebug("SetFileAttributesA(%s) failed, error %d", RESULT_FILE, (int)GetLastError());
        return;
    }
    if (!DeleteFileA(RESULT_FILE))
        KovaDebug("DeleteFileA(%s) failed, error %d", RESULT_FILE, (int)GetLastError());
    else if (attributes & FILE_ATTRIBUTE_READONLY)
        KovaDebug("a read-only %s of an earlier request was removed", RESULT_FILE);
}

/* An earlier request's answer goes before this request runs: while
 * KOVABUSY exists, no answer there may pass for this one's. */
static void RemoveStaleAnswer(void)
{
    DWORD attributes = GetFileAttributesA(RESULT_FILE);

    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        DeleteResultFile();
}

/* Writes text and closes; 1 only when all of it reached the file. */
static int FinishResultFile(FILE *file, const char *text)
{
    int written = fputs(text, file) >= 0;
    if (fclose(file) != 0)
        written = 0;
    if (written)
        KovaDebug("answer in %s: %s", RESULT_FILE, text);
    else
        KovaDebug("writing the answer to %s failed, errno %d", RESULT_FILE, errno);
    return written;
}

static FILE *OpenResultFile(void)
{
    FILE *file = fopen(RESULT_FILE, "w");
    if (!file)
        KovaDebug("fopen(%s, \"w\") failed, errno %d", RESULT_FILE, errno);
    return file;
}

static int WriteResultFile(const char *text)
{
    FILE *file = OpenResultFile();
    if (!file)
        return 0;
    return FinishResultFile(file, text);
}

/* WAKE IPBCAST=<a.b.c.d> <mac>: the frames go to that directed broadcast,
 * over UDP alone.  An address that is not one sends nothing: a typo must
 * not become a broadcast somewhere else. */
static int32_t WakeWithBroadcast(const char *pAddress)
{
    char *pMac;

    if (!KovaReadIPv4(pAddress, &directedBroadcast.address)) {
        KovaDebug("WAKE: IPBCAST=\"%s\" is not an IPv4 address", pAddress);
        return KOVA_WOL_FAILURE;
    }
    directedBroadcast.given = 1;
    pMac = strtok(NULL, WORD_DELIMITERS);
    return pMac ? KOVASendWakeOnLAN(pMac) : KOVA_WOL_FAILURE;
}

static int RunWake(void)
{
    char *pArg;
    char *pArg2;
    int32_t returncode;

    strtok(cmdLine, WORD_DELIMITERS);
    pArg = strtok(NULL, WORD_DELIMITERS);
    if (pArg && strncmp(pArg, IPXNET_WORD, IPXNET_WORD_LEN) == 0) {
        strncpy(networkNumber, pArg + IPXNET_WORD_LEN, IPXNET_VALUE_LEN);
        networkNumber[IPXNET_VALUE_LEN] = '\0';
        pArg2 = strtok(NULL, WORD_DELIMITERS);
        returncode = pArg2 ? KOVASendWakeOnLAN(pArg2) : KOVA_WOL_FAILURE;
    } else if (pArg && strncmp(pArg, IPBCAST_WORD, IPBCAST_WORD_LEN) == 0) {
        returncode = WakeWithBroadcast(pArg + IPBCAST_WORD_LEN);
    } else {
        returncode = pArg ? KOVASendWakeOnLAN(pArg) : KOVA_WOL_FAILURE;
    }
    return WriteResultFile(returncode == 0 ? "WAKE-SUCCESS\n" : "WAKE-FAILURE\n");
}

static int RunNumPackages(void)
{
    /* The result file is opened before the agent is asked. */
    FILE *file = OpenResultFile();
    if (!file)
        return 0;
    return FinishResultFile(file, SKWIsManagerAvailable() ? "SKYWARDEN\n" : "NONE\n");
}

/* The answer file is opened before the agent is asked: a reboot that
 * nobody could hear of would be a failure reported as nothing, and a
 * console that retries on no answer would reboot the PC twice. */
static int RunAgentAction(tAgentAction action)
{
    char *pCmd = strtok(cmdLine, WORD_DELIMITERS);
    char *pMacAddr = strtok(NULL, WORD_DELIMITERS);
    char *pUserId = strtok(NULL, WORD_DELIMITERS);
    char *pPasswd = strtok(NULL, WORD_DELIMITERS);
    char *pSMPackage = strtok(NULL, WORD_DELIMITERS);
    char line[512];
    int32_t returncode;
    FILE *file = OpenResultFile();

    if (!file) {
        KovaDebug("no way to answer: the agent is not asked");
        return 0;
    }
    if (!pCmd || !pMacAddr || !pUserId || !pPasswd || !pSMPackage)
        returncode = KOVA_BAD_COMMAND;
    /* strtol reads the atol form but saturates: the Windows atol wraps, so
     * "4294967297" would otherwise pass as package 1. */
    else if (!KOVAIsSkyWardenPackage(strtol(pSMPackage, NULL, 10)))
        returncode = KOVA_NO_SUCH_PACKAGE;
    else if (strncmp(pUserId, NO_USER_WORD, NO_USER_WORD_LEN) == 0)
        returncode = action(pMacAddr, NULL, NULL);
    else if (strncmp(pPasswd, NO_PASSWORD_WORD, NO_PASSWORD_WORD_LEN) == 0)
        returncode = action(pMacAddr, pUserId, NULL);
    else
        returncode = action(pMacAddr, pUserId, pPasswd);

    snprintf(line, sizeof(line), "%d\n", (int)returncode);
    return FinishResultFile(file, line);
}

static int RunReboot(void)
{
    return RunAgentAction(SKWRebootSystem);
}

static int RunPowerdown(void)
{
    return RunAgentAction(SKWPowerdownSystem);
}

/* A command is known by the word its line begins with; each handler
 * answers in the result file, 1 when that answer was written whole. */
typedef struct tCommand {
    const char *word;
    size_t wordLen;
    int (*run)(void);
} tCommand;

#define COMMAND(word, run) {word, sizeof(word) - 1, run}

static const tCommand commands[] = {
    COMMAND("WAKE", RunWake),
    COMMAND("NUMPACKAGES", RunNumPackages),
    COMMAND("REBOOTSYS", RunReboot),
    COMMAND("POWERDOWNSYS", RunPowerdown),
};

int InterpretAndRunKOVACommand(void)
{
    size_t i;
    int answered;

    CreateEmptyFile(BUSY_FILE);
    RemoveStaleAnswer();
    for (i = 0; i < sizeof(commands) / sizeof(commands[0]); i++)
        if (strncmp(cmdLine, commands[i].word, commands[i].wordLen) == 0)
            break;
    /* An unknown command is answered with an empty result file.  The line
     * itself stays off the channel: it may hold a password. */
    if (i < sizeof(commands) / sizeof(commands[0])) {
        KovaDebug("request %s", commands[i].word);
        answered = commands[i].run();
    } else {
        KovaDebug("no known command%s: the answer is empty",
                  cmdLine[0] == '"' ? " (the request is in quotes)" : "");
        answered = CreateEmptyFile(RESULT_FILE);
        if (answered)
            KovaDebug("answer in %s: empty", RESULT_FILE);
    }

    /* An answer that could not be written whole must not leave an earlier
     * request's answer behind for the console to read as this one's. */
    if (!answered)
        DeleteResultFile();
    if (!DeleteFileA(BUSY_FILE))
        KovaDebug("DeleteFileA(%s) failed, error %d", BUSY_FILE, (int)GetLastError());
    return 0;
}
