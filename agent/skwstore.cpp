/* skwstore.cpp - the store verbs over SKWSECCMD.
 *
 * Every verb runs its tool to its end, so that its change is complete (or
 * the tool is ended) before anything else looks at the store.  A listing
 * counts as "no credential" only when the agent says, word for word, what
 * it says in the same breath about a host that cannot have one: the agent's
 * wording for "none" is not documented, and a "none" mistaken would delete
 * the administrator's credential. */
#include "kovawin.h"

#include "skwstore.h"

#include "kovadebug.h"
#include "skwparse.h"
#include "skwrun.h"

#define LIST_FORMAT "SKWSECCMD /LISTOUT /HOST:\"%s\""
#define ADD_FORMAT "SKWSECCMD /ADDOUT:\"%s\" /SETUID:\"%s\" /PWD:\"%s\""
#define DELETE_FORMAT "SKWSECCMD /DELOUT /HOST:\"%s\""

/* A name of ours that no store holds a credential for (.invalid is
 * reserved): what the agent answers for it is its wording of "none". */
#define PROBE_HOST "KOVA-NO-CREDENTIAL.INVALID"

/* One listing's scan and the credential it shows. */
typedef struct tListing {
    tCredentialScan scan;
    tSKWPasswordData listed;
} tListing;

static tListing asked, probe; /* large: kept off the stack */

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

static int FormatList(char *command, const char *host)
{
    return QuotableValue(host) && Fits(snprintf(command, SKW_CMD_LEN, LIST_FORMAT, host));
}

static int FormatAdd(char *command, const char *host, const char *userId, const char *password)
{
    return QuotableValue(host) && QuotableValue(userId) && QuotableValue(password) &&
           Fits(snprintf(command, SKW_CMD_LEN, ADD_FORMAT, host, userId, password));
}

static int FormatDelete(char *command, const char *host)
{
    return QuotableValue(host) && Fits(snprintf(command, SKW_CMD_LEN, DELETE_FORMAT, host));
}

int SKWStoreCommandsFit(const char *host, const char *userId, const char *password)
{
    char command[SKW_CMD_LEN];

    return FormatList(command, host) && FormatAdd(command, host, userId, password) &&
           FormatDelete(command, host);
}

static int ScanLine(void *pContext, char *line)
{
    tListing *pListing = (tListing *)pContext;

    SKWCredentialScanLine(&pListing->scan, &pListing->listed, line);
    return 0; /* read to the end: the verdict needs the whole listing */
}

/* One listing into pScan: the scanner's verdict, or SKW_CRED_UNKNOWN when
 * the tool did not end by itself or wrote what plain text never holds. */
static int ListOnce(const char *host, tListing *pListing, tToolRun *pRun)
{
    char command[SKW_CMD_LEN];
    char line[SKW_LINE_LEN];

    SKWCredentialScanStart(&pListing->scan, &pListing->listed, host);
    if (!FormatList(command, host) ||
        !SKWRunTool(command, SKW_RUN_TO_END, ScanLine, pListing, line, SKW_LINE_LEN, pRun))
        return SKW_CRED_UNKNOWN;
    if (pRun->state != RTP_TOOL_ENDED || !pRun->plainText)
        return SKW_CRED_UNKNOWN;
    return SKWCredentialScanState(&pListing->scan, &pListing->listed, host);
}

int SKWStoreList(const char *host, tSKWPasswordData **ppListed)
{
    tToolRun run, probeRun;
    const char *why = NULL;
    int state;

    *ppListed = &asked.listed;
    state = ListOnce(host, &asked, &run);
    if (state == SKW_CRED_ONE && run.exitCode != 0) {
        state = SKW_CRED_UNKNOWN;
        why = "the tool failed";
    } else if (state == SKW_CRED_NONE) {
        /* Confirmed only by the same words, and the same exit status, for
         * a host that cannot have a credential. */
        if (ListOnce(PROBE_HOST, &probe, &probeRun) != SKW_CRED_NONE ||
            probeRun.exitCode != run.exitCode ||
            !SKWCredentialScanSameWording(&asked.scan, &probe.scan)) {
            state = SKW_CRED_UNKNOWN;
            why = "it does not say what the agent says of a host without one";
        }
    } else if (state == SKW_CRED_UNKNOWN) {
        why = !run.started                  ? "the tool cannot be started"
              : run.state != RTP_TOOL_ENDED ? "the tool was given up"
              : !run.plainText              ? "it holds bytes that are no plain text"
                                            : "it is not understood";
    }
    SKWCredentialScanClear(&asked.scan);
    SKWCredentialScanClear(&probe.scan);
    memset(&probe.listed, 0, sizeof(probe.listed));
    KovaDebug("credential listing for \"%s\": %s%s%s", host,
              state == SKW_CRED_NONE  ? "no credential"
              : state == SKW_CRED_ONE ? "one credential"
                                      : "not known",
              why ? ", " : "", why ? why : "");
    return state;
}

/* Runs a store-changing tool to its end. */
static int RunChange(char *command)
{
    char line[SKW_CMD_LEN];
    tToolRun run;

    return SKWRunTool(command, SKW_RUN_TO_END, NULL, NULL, line, SKW_CMD_LEN, &run);
}

int SKWStoreAdd(const char *host, const char *userId, const char *password)
{
    char command[SKW_CMD_LEN];

    return FormatAdd(command, host, userId, password) && RunChange(command);
}

int SKWStoreDelete(const char *host)
{
    char command[SKW_CMD_LEN];

    return FormatDelete(command, host) && RunChange(command);
}
