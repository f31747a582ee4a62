/* wakelan.cpp - the console wake tool.
 *
 * Sends to each MAC address of the command line as it is met, then, when
 * /f names an address file, counts the clients of the file and sends to
 * them: single addresses and ranges, one address at a time, with the delay
 * after each.  /b names a directed broadcast for the addresses after it
 * (beyond the usage text, which stays the tool's own).  Everything is
 * written to standard output.
 */
#include "kovawin.h"

#include "kovatext.h"
#include "wakelan.h"
#include "wakew32.h"

#define WL_RANGE_HYPHEN KOVA_MAC_TEXT_LEN        /* index of the hyphen of a range line */
#define WL_RANGE_END (KOVA_MAC_TEXT_LEN + 1)     /* index of the end address */
#define WL_RANGE_LEN (2 * KOVA_MAC_TEXT_LEN + 1) /* start, hyphen and end */
#define WL_PREFIX_LEN 5                          /* characters shared by start and end */
#define WL_COUNTER_DIGITS (KOVA_MAC_TEXT_LEN - WL_PREFIX_LEN) /* the counter part */
#define WL_COUNTER_MASK 0xFFFFFFFu
#define WL_PROGRESS_EVERY 100                    /* addresses between progress lines */
#define WL_CONTINUE (-1)                         /* a step's result: the run goes on */

/* The state of one run; the entry point holds it. */
typedef struct tRunState {
    char name[WL_NAME_MAX + 1];
    int32_t delay;
    int fileRequested;
    char fileName[WL_FILE_NAME_MAX + 1];
    int32_t lastResult;
    /* Ranges hold up to 2^28 addresses each, so the sums need more than
     * 32 bits. */
    long long clients;
    long long packets;
    unsigned long skipped; /* file lines whose address names no card */
} tRunState;

typedef enum eLineKind {
    LINE_OTHER,     /* comment, section header, blank line: silent */
    LINE_ADDRESS,   /* one client */
    LINE_RANGE,     /* the clients from start to end */
    LINE_INVALID,   /* an address that names no card: reported, skipped */
    LINE_TOO_LARGE  /* a range that cannot be counted: reported, skipped */
} eLineKind;

/* One line of the address file as both passes see it. */
typedef struct tFileLine {
    char text[WL_LINE_LEN];
    unsigned long number;                /* from 1 */
    eLineKind kind;
    char address[KOVA_MAC_TEXT_LEN + 1]; /* LINE_ADDRESS: what the engine gets */
    const char *pInvalid;                /* LINE_INVALID: the address shown */
    int invalidLen;
    uint32_t start, end;                 /* LINE_RANGE: the counters */
} tFileLine;

/* ---- Messages ------------------------------------------------------ */

void PrintBanner(const char *pName)
{
    printf("%s  --  Wake-on-LAN tool for 32-bit Windows.\n", pName);
    printf("\n");
}

void PrintCannotSend(void)
{
    printf("Cannot send any packets.  Make sure either TCP/IP or IPX is configured.\n");
}

/* ---- Program name -------------------------------------------------- */

char *GetPathDirectory(char *pDest, size_t destSize, const char *pPath)
{
    const char *pLast = strrchr(pPath, '\\');
    size_t len = pLast ? (size_t)(pLast - pPath) + 1 : 0;

    if (destSize == 0)
        return NULL;
    pDest[0] = '\0';
    if (len >= destSize)
        return NULL;
    memcpy(pDest, pPath, len);
    pDest[len] = '\0';
    return pDest;
}

/* The invoking name after its last backslash, upper-cased.  It is only
 * shown, so a name too long for the banner is cut, and a directory part
 * too long for its buffer still ends at the last backslash. */
static void TakeProgramName(tRunState *pRun, const char *pPath)
{
    char dir[WL_PATH_DIR_LEN];
    const char *pName;
    size_t i;

    if (GetPathDirectory(dir, sizeof(dir), pPath) != NULL)
        pName = pPath + strlen(dir);
    else
        pName = strrchr(pPath, '\\') + 1;
    for (i = 0; i < WL_NAME_MAX && pName[i] != '\0'; i++)
        pRun->name[i] = (pName[i] >= 'a' && pName[i] <= 'z') ? (char)(pName[i] - 'a' + 'A')
                                                             : pName[i];
    pRun->name[i] = '\0';
}

/* ---- Arguments ----------------------------------------------------- */

/* Read like atoi: blanks, a sign, then decimal digits up to the first
 * other character; no digits give 0, so /d500ms is 500.  A negative value
 * or one beyond the signed 32-bit delay is refused: Sleep takes it
 * unsigned and would pause for weeks. */
static int ParseDelay(const char *pText, int32_t *pDelay)
{
    int inRange;
    int32_t value = KovaReadNumber(pText, NULL, &inRange);

    if (!inRange || value < 0)
        return 0;
    *pDelay = value;
    return 1;
}

static int SetDelay(tRunState *pRun, const char *pValue)
{
    if (!ParseDelay(pValue, &pRun->delay)) {
        printf("Delay %s is out of range: 0 to %d milliseconds.\n", pValue, (int)INT32_MAX);
        return WL_EXIT_BAD_DELAY;
    }
    return WL_CONTINUE;
}

/* A cut name could open another file, so a name that does not fit ends the
 * run. */
static int SetFileName(tRunState *pRun, const char *pValue)
{
    if (strlen(pValue) > WL_FILE_NAME_MAX) {
        printf("File name %s is longer than %d characters.\n", pValue, WL_FILE_NAME_MAX);
        return WL_EXIT_LONG_FILE_NAME;
    }
    strcpy(pRun->fileName, pValue);
    pRun->fileRequested = 1;
    return WL_CONTINUE;
}

/* /b: the directed broadcast that the engine sends to from here on (the
 * file's addresses get the last one given).  A typo must not send to some
 * other segment, so an address that is not one ends the run. */
static int SetBroadcast(const char *pValue)
{
    uint32_t address;

    if (!KovaReadIPv4(pValue, &address)) {
        printf("Broadcast address %s is not four numbers 0 to 255 joined by dots.\n", pValue);
        return WL_EXIT_BAD_BROADCAST;
    }
    directedBroadcast.address = address;
    directedBroadcast.given = 1;
    return WL_CONTINUE;
}

/* A delay of 0 is no pause at all: even Sleep(0) gives up the time slice,
 * a system call per address that only a delay needs. */
static void Pause(int32_t delay)
{
    if (delay > 0)
        Sleep((DWORD)delay);
}

/* The grammar that ScanArguments below reads, as the tool has always
 * shown it: the later /b is described in WAKELAN.txt, not here. */
void PrintUsage(const char *pName)
{
    printf("Usages:\n");
    printf(" %s [/d delay] address1 [address2 [...]]\n", pName);
    printf(" %s [/d delay] /f filename\n", pName);
    printf("\n");
    printf("   address1, address2, ...     12 digit MAC addresses\n");
    printf("   delay                       delay between packets in miliseconds\n");
    printf("                               default delay is 1 ms.\n");
    printf("   filename                    INI file containing MAC addresses\n");
    printf("\n");
}

/* Left to right, each argument taking effect when it is met: options,
 * and addresses sent at once. */
static int ScanArguments(tRunState *pRun, int argc, char *argv[])
{
    char address[KOVA_MAC_TEXT_LEN + 1];
    int i;
    int status;

    for (i = 1; i < argc; i++) {
        char *pArg = argv[i];
        const char *pValue;

        if (pArg[0] != '/') {
            /* A typo ends the run as an engine failure does, before
             * anything of it is sent, but with a status a script can tell
             * from a network failure. */
            if (!WolTakeMac(pArg, address)) {
                printf("%s is not a valid MAC address.\n", pArg);
                PrintCannotSend();
                return WL_EXIT_BAD_ADDRESS;
            }
            pRun->lastResult = KOVASendWakeOnLAN(pArg);
            if (pRun->lastResult != 0) {
                PrintCannotSend();
                return WL_EXIT_SEND_ARGUMENT;
            }
            Pause(pRun->delay);
            continue;
        }
        switch (pArg[1]) {
        case '?':
            PrintUsage(pRun->name);
            return WL_EXIT_OK;
        case 'd':
        case 'D':
        case 'f':
        case 'F':
        case 'b':
        case 'B':
            pValue = pArg + 2;
            if (*pValue == '\0') {
                /* Nothing is left to take: guessing a value would send with a
                 * delay or from a file nobody asked for. */
                if (i + 1 >= argc) {
                    printf("Option %s needs a value.\n\n", pArg);
                    PrintUsage(pRun->name);
                    return WL_EXIT_MISSING_VALUE;
                }
                pValue = argv[++i];
            }
            if (pArg[1] == 'd' || pArg[1] == 'D')
                status = SetDelay(pRun, pValue);
            else if (pArg[1] == 'f' || pArg[1] == 'F')
                status = SetFileName(pRun, pValue);
            else
                status = SetBroadcast(pValue);
            if (status != WL_CONTINUE)
                return status;
            break;
        default:
            printf("Unsupported option: %s\n\n", pArg);
            PrintUsage(pRun->name);
            return WL_EXIT_BAD_OPTION;
        }
    }
    return WL_CONTINUE;
}

/* ---- Address file -------------------------------------------------- */

/* One line of at most 255 characters, line end included.  The rest of a
 * longer line is skipped: a piece cut out of a long comment is no address.
 * Returns 0 when no line could be read, at the end or on a read error. */
static int ReadLine(FILE *pFile, char *pLine)
{
    char rest[WL_LINE_LEN];
    const char *pPiece = pLine;

    if (fgets(pLine, WL_LINE_LEN, pFile) == NULL)
        return 0;
    while (strlen(pPiece) == WL_LINE_LEN - 1 && pPiece[WL_LINE_LEN - 2] != '\n') {
        if (fgets(rest, sizeof(rest), pFile) == NULL)
            break;
        pPiece = rest;
    }
    return !ferror(pFile);
}

static uint32_t ReadCounter(const char *pDigits)
{
    uint32_t value = 0;
    int i;
    for (i = 0; i < WL_COUNTER_DIGITS; i++)
        value = value * 16 + (uint32_t)KovaHexDigitValue(pDigits[i]);
    return value;
}

/* Twelve hexadecimal digits: a range's ends are written plain. */
static int IsPlainMac(const char *pText)
{
    int i;
    for (i = 0; i < KOVA_MAC_TEXT_LEN; i++)
        if (!KovaIsHexDigit(pText[i]))
            return 0;
    return 1;
}

/* The characters up to a blank, a tab or the line end: what is shown of
 * an address that names no card. */
static int WordLength(const char *pText)
{
    int len = 0;
    while (pText[len] != '\0' && !strchr(" \t\r\n", pText[len]))
        len++;
    return len;
}

static eLineKind Invalid(tFileLine *pLine, const char *pText, int len)
{
    pLine->pInvalid = pText;
    pLine->invalidLen = len;
    return LINE_INVALID;
}

/* Only the first and the 13th character decide what a line is.  An
 * address names its card by the engine's rule, and both ends of a range
 * by twelve digits (its prefix included, or every address of it would
 * fail).  A valid range has no digit right after its end, and equal
 * five-character prefixes: a longer end counter would spill into a 13th
 * address character, or never end. */
static eLineKind ClassifyLine(tFileLine *pLine)
{
    const char *pText = pLine->text;
    const char *pEnd = pText + WL_RANGE_END;
    int len;

    if (!KovaIsHexDigit(pText[0]))
        return LINE_OTHER;
    if (strlen(pText) <= WL_RANGE_HYPHEN || pText[WL_RANGE_HYPHEN] != '-')
        return WolTakeMac(pText, pLine->address) ? LINE_ADDRESS
                                                 : Invalid(pLine, pText, WordLength(pText));
    if (!IsPlainMac(pText))
        return Invalid(pLine, pText, KOVA_MAC_TEXT_LEN);
    if (!IsPlainMac(pEnd)) {
        /* A range without an end is shown whole. */
        len = WordLength(pEnd);
        return len > 0 ? Invalid(pLine, pEnd, len) : Invalid(pLine, pText, WordLength(pText));
    }
    if (KovaIsHexDigit(pText[WL_RANGE_LEN]) || memcmp(pText, pEnd, WL_PREFIX_LEN) != 0)
        return LINE_TOO_LARGE;
    pLine->start = ReadCounter(pText + WL_PREFIX_LEN);
    pLine->end = ReadCounter(pEnd + WL_PREFIX_LEN);
    return LINE_RANGE;
}

/* The next line, numbered and classified; 0 when none could be read. */
static int NextLine(FILE *pFile, tFileLine *pLine)
{
    if (!ReadLine(pFile, pLine->text))
        return 0;
    pLine->number++;
    pLine->kind = ClassifyLine(pLine);
    return 1;
}

/* The counting pass reports each line that is skipped, once. */
static long long CountClients(tRunState *pRun, FILE *pFile)
{
    tFileLine line;
    long long clients = 0;

    line.number = 0;
    while (NextLine(pFile, &line)) {
        switch (line.kind) {
        case LINE_ADDRESS:
            clients++;
            break;
        case LINE_RANGE:
            if (line.end >= line.start) /* an end below its start sends nothing */
                clients += (long long)line.end - line.start + 1;
            break;
        case LINE_INVALID:
            printf("Line %lu: %.*s is not a valid MAC address.\n", line.number, line.invalidLen,
                   line.pInvalid);
            pRun->skipped++;
            break;
        case LINE_TOO_LARGE:
            printf("Range %.25s is too large.  This range will be ignored\n", line.text);
            break;
        default:
            break;
        }
    }
    return clients;
}

static void ShowProgress(long long packets)
{
    if (packets % WL_PROGRESS_EVERY == 0) {
        printf("Sent %lld packets.\r", packets);
        /* No line feed to flush it: a console would show nothing. */
        fflush(stdout);
    }
}

/* Sends to every address of a valid range, in rising order; 0 when the
 * engine failed. */
static int SendRange(tRunState *pRun, const char *pLine, uint32_t start, uint32_t end)
{
    char prefix[WL_PREFIX_LEN + 1];
    char address[KOVA_MAC_TEXT_LEN + 1];
    uint32_t counter;

    memcpy(prefix, pLine, WL_PREFIX_LEN);
    prefix[WL_PREFIX_LEN] = '\0';
    for (counter = start; counter <= end; counter++) {
        /* Seven digits at most: ClassifyLine read seven. */
        snprintf(address, sizeof(address), "%s%07lX", prefix,
                 (unsigned long)(counter & WL_COUNTER_MASK));
        pRun->lastResult = KOVASendWakeOnLAN(address);
        if (pRun->lastResult != 0)
            return 0;
        pRun->packets++;
        ShowProgress(pRun->packets);
        Pause(pRun->delay);
    }
    return 1;
}

static int SendClients(tRunState *pRun, FILE *pFile)
{
    tFileLine line;

    pRun->packets = 0;
    line.number = 0;
    while (NextLine(pFile, &line)) {
        switch (line.kind) {
        case LINE_ADDRESS:
            pRun->packets++;
            pRun->lastResult = KOVASendWakeOnLAN(line.address);
            ShowProgress(pRun->packets);
            Pause(pRun->delay);
            break;
        case LINE_RANGE:
            if (!SendRange(pRun, line.text, line.start, line.end)) {
                PrintCannotSend();
                return WL_EXIT_SEND_FILE;
            }
            break;
        default:
            break;
        }
        if (pRun->lastResult != 0) {
            PrintCannotSend();
            return WL_EXIT_SEND_FILE;
        }
    }
    return WL_CONTINUE;
}

/* Back to the start for the sending pass; NULL when the stream cannot go
 * back (it is closed then). */
static FILE *RewindFile(FILE *pFile)
{
    if (fseek(pFile, 0L, SEEK_SET) == 0) {
        clearerr(pFile);
        return pFile;
    }
    fclose(pFile);
    return NULL;
}

static int SendFile(tRunState *pRun)
{
    FILE *pFile = fopen(pRun->fileName, "r");
    int status;

    if (pFile == NULL) {
        printf("Cannot find file %s.\n", pRun->fileName);
        return WL_EXIT_NO_FILE;
    }
    /* The file is read twice: a device or a pipe could run forever, or
     * give the second pass other lines than the first counted. */
    if (GetFileType((HANDLE)_get_osfhandle(_fileno(pFile))) != FILE_TYPE_DISK) {
        fclose(pFile);
        printf("Cannot read file %s.\n", pRun->fileName);
        return WL_EXIT_READ_ERROR;
    }
    printf("Using file %s.\n", pRun->fileName);
    printf("Calculating...\n");
    pRun->clients = CountClients(pRun, pFile);
    /* A file that cannot be read is not an empty one: its count would be
     * wrong, so nothing is sent. */
    if (ferror(pFile) || (pFile = RewindFile(pFile)) == NULL) {
        if (pFile != NULL)
            fclose(pFile);
        printf("Cannot read file %s.\n", pRun->fileName);
        return WL_EXIT_READ_ERROR;
    }
    printf("Sending Wake-on-LAN packets for %lld clients...\n", pRun->clients);
    status = SendClients(pRun, pFile);
    if (status != WL_CONTINUE) {
        fclose(pFile);
        return status;
    }
    printf("Sent %lld packets.\n", pRun->packets);
    /* A read error ends the pass as the end would, but the run did not
     * reach "Done.". */
    if (ferror(pFile)) {
        fclose(pFile);
        printf("Cannot read file %s.\n", pRun->fileName);
        return WL_EXIT_READ_ERROR;
    }
    printf("Done.\n");
    fclose(pFile);
    return pRun->skipped > 0 ? WL_EXIT_BAD_ADDRESS : WL_EXIT_OK;
}

/* ---- Entry --------------------------------------------------------- */

static int Run(tRunState *pRun, int argc, char *argv[])
{
    int status;

    PrintBanner(pRun->name);
    if (argc < 2) {
        PrintUsage(pRun->name);
        return WL_EXIT_NO_ARGUMENTS;
    }
    status = ScanArguments(pRun, argc, argv);
    if (status != WL_CONTINUE)
        return status;
    if (!pRun->fileRequested)
        return WL_EXIT_OK;
    return SendFile(pRun);
}

int WakelanMain(int argc, char *argv[])
{
    tRunState run;
    int status;

    memset(&run, 0, sizeof(run));
    run.delay = WL_DEFAULT_DELAY;
    TakeProgramName(&run, argc > 0 && argv[0] != NULL ? argv[0] : "");
    status = Run(&run, argc, argv);
    /* A console that went away (a closed pipe, a full disk) costs only the
     * text: every address has been sent.  But a run whose report was lost
     * does not claim a normal end. */
    if ((fflush(stdout) != 0 || ferror(stdout)) && status == WL_EXIT_OK)
        status = WL_EXIT_OUTPUT_LOST;
    return status;
}
