/* rtpopen.cpp - read-only pipe-open: runs a console program with its
 * standard output on an anonymous pipe and hands out that output line by
 * line without ever waiting on an empty pipe.
 *
 * Lines are cut in a buffer of our own per stream, over raw reads of what
 * the pipe holds, and not by the C runtime's fgets: on a pipe that may be
 * empty at any moment the runtime drops a partial line and ends the stream
 * for good, so output would be lost.  The stream handed to the caller
 * stays the key of the table, and closing it closes the output pipe.
 *
 * Every tool run is bounded twice: a tool that neither writes nor ends is
 * given up after a limit of silence (KOVA_TOOL_TIMEOUT_MS, 30 s by
 * default), and one that keeps writing after a limit on its whole run
 * (KOVA_TOOL_TOTAL_MS, 5 minutes by default).  A tool given up is ended
 * and its stream ends after what it wrote; one given up before it wrote
 * anything still gets a stream, at its end at once, because it did start
 * and may have done its work.  Between empty looks at the pipe we rest on
 * the process handle instead of spinning.
 *
 * This file holds the interface and the start of a tool; rtpline.cpp the
 * line buffer and the limits; rtphalves.cpp what differs by platform.
 */
#include "kovawin.h"

#include "kovatext.h"
#include "rtpline.h"

#define RTP_INPUT_PIPE_SIZE 1024
#define RTP_ERROR_PIPE_SIZE 2048
#define RTP_CREATION_FLAGS (DETACHED_PROCESS | HIGH_PRIORITY_CLASS) /* 0x88 */
#define RTP_CONSOLE_CHARS 10
#define RTP_DEFAULT_SILENCE_MS 30000
#define RTP_DEFAULT_TOTAL_MS 300000

/* The record sizes the 32-bit Windows interface fixes. */
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA keeps its Windows size");
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA keeps its Windows size");
static_assert(sizeof(SECURITY_ATTRIBUTES) == 12, "SECURITY_ATTRIBUTES keeps its Windows size");
#endif

static popenedInstance_s popenedInstance[RTP_MAX_INSTANCES];
static tLineBuffer lineBuffers[RTP_MAX_INSTANCES];

/* The limits and first sign of life of a tool just started. */
typedef struct tToolStart {
    uint32_t startTick;
    uint32_t limitMs;
    uint32_t totalMs;
    int cameAlive;
    char tool[RTP_TOOL_NAME_LEN];
} tToolStart;

/* ---- Helpers ---------------------------------------------------------- */

/* The half of the pipe for the platform we run on, or null when the
 * platform cannot be told. */
static const tPipeHalf *QueryPlatform(OSVERSIONINFOA *pInfo)
{
    pInfo->dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
    if (!GetVersionExA(pInfo))
        return NULL;
    return pInfo->dwPlatformId == VER_PLATFORM_WIN32_NT ? &rtpNtHalf : &rtpOlderHalf;
}

/* A limit in milliseconds from the environment; the default when unset
 * or not a number from 1 to 0x7FFFFFFF. */
static uint32_t LimitMs(const char *name, uint32_t defaultMs)
{
    uint32_t value;

    if (!KovaEnvironmentMs(name, &value) || value == 0)
        return defaultMs;
    return value;
}

static uint32_t SilenceLimitMs(void)
{
    return LimitMs("KOVA_TOOL_TIMEOUT_MS", RTP_DEFAULT_SILENCE_MS);
}

static uint32_t TotalLimitMs(void)
{
    return LimitMs("KOVA_TOOL_TOTAL_MS", RTP_DEFAULT_TOTAL_MS);
}

static void CloseIfOpen(HANDLE *pHandle)
{
    if (*pHandle != INVALID_HANDLE_VALUE && *pHandle != NULL)
        CloseHandle(*pHandle);
    *pHandle = INVALID_HANDLE_VALUE;
}

static void FreeSlot(popenedInstance_s *pSlot)
{
    pSlot->fileHandle = NULL;
    pSlot->hProcess = INVALID_HANDLE_VALUE;
    pSlot->hStdin = INVALID_HANDLE_VALUE;
    pSlot->hStdout = INVALID_HANDLE_VALUE;
    pSlot->hStderr = INVALID_HANDLE_VALUE;
    pSlot->hStdinChild = INVALID_HANDLE_VALUE;
    pSlot->hStdoutChild = INVALID_HANDLE_VALUE;
    pSlot->hStderrChild = INVALID_HANDLE_VALUE;
}

static int HasFreeSlot(void)
{
    int i;

    for (i = 0; i < RTP_MAX_INSTANCES; i++)
        if (popenedInstance[i].fileHandle == NULL)
            return 1;
    return 0;
}

static tLineBuffer *LineBufferOf(const popenedInstance_s *pSlot)
{
    return &lineBuffers[pSlot - popenedInstance];
}

/* The program word of a command line, for the debugging channel. */
static void NameTool(const char *command, char *tool)
{
    size_t i;

    for (i = 0; i + 1 < RTP_TOOL_NAME_LEN && command[i] && command[i] != ' '; i++)
        tool[i] = command[i];
    tool[i] = '\0';
}

/* The first sign of life: output, or the child's end, within the limit of
 * silence, measured on the clock from startTick (wrap-safe).  0 when the
 * child stayed silent for all of it. */
static int AwaitFirstOutput(HANDLE hProcess, HANDLE hStdout, uint32_t startTick, uint32_t limitMs)
{
    DWORD copied;

    for (;;) {
        PeekAvailable(hStdout, &copied);
        if (copied > 0)
            return 1;
        if (WaitForSingleObject(hProcess, RTP_POLL_MS) == WAIT_OBJECT_0)
            return 1;
        if ((uint32_t)(GetTickCount() - startTick) >= limitMs)
            return 0;
    }
}

/* How a tool's run ended, as its stream is closed; the close neither waits
 * for it nor stops it. */
static void TraceToolEnd(popenedInstance_s *pSlot, const tLineBuffer *pLine)
{
    DWORD exitCode = 0;

    if (WaitForSingleObject(pSlot->hProcess, 0) == WAIT_OBJECT_0 &&
        GetExitCodeProcess(pSlot->hProcess, &exitCode))
        KovaDebug("%s ended, exit code %u", pLine->tool, (unsigned)exitCode);
    else
        KovaDebug("%s still runs as its output is closed", pLine->tool);
}

/* ---- The pipe-open, step by step ------------------------------------------ */

static int OpenPipes(popenedInstance_s *pRun, SECURITY_ATTRIBUTES *pSaAttr)
{
    return CreatePipe(&pRun->hStdinChild, &pRun->hStdin, pSaAttr, RTP_INPUT_PIPE_SIZE) &&
           CreatePipe(&pRun->hStdout, &pRun->hStdoutChild, pSaAttr, RTP_OUTPUT_PIPE_SIZE) &&
           CreatePipe(&pRun->hStderr, &pRun->hStderrChild, pSaAttr, RTP_ERROR_PIPE_SIZE);
}

/* Starts the tool on the child's pipe ends and waits for its first sign of
 * life.  One silent for the whole limit is ended: it started all the same,
 * so the caller gets a stream, at its end, as a tool that changed something
 * before it fell silent must not look as if it never ran. */
static int StartTool(popenedInstance_s *pRun, char *command, SECURITY_ATTRIBUTES *pSaAttr,
                     tToolStart *pStart)
{
    STARTUPINFOA startupInfo;
    PROCESS_INFORMATION processInfo;

    memset(&startupInfo, 0, sizeof startupInfo);
    startupInfo.cb = sizeof(STARTUPINFOA);
    startupInfo.dwXCountChars = RTP_CONSOLE_CHARS;
    startupInfo.dwYCountChars = RTP_CONSOLE_CHARS;
    startupInfo.dwFlags = STARTF_USESTDHANDLES;
    startupInfo.hStdInput = pRun->hStdinChild;
    startupInfo.hStdOutput = pRun->hStdoutChild;
    startupInfo.hStdError = NULL;
    NameTool(command, pStart->tool);
    if (!CreateProcessA(NULL, command, pSaAttr, pSaAttr, TRUE, RTP_CREATION_FLAGS, NULL, NULL,
                        &startupInfo, &processInfo)) {
        /* The command last: the channel masks a password up to its end. */
        RtpTrace("ReadTextPopen(): CreateProcess() failed\nGetLastError: %d\ncommand: %s",
                 (int)GetLastError(), command);
        return 0;
    }
    KovaDebug("started %s", command);
    pStart->startTick = GetTickCount();
    CloseHandle(processInfo.hThread);
    pRun->hProcess = processInfo.hProcess;

    pStart->limitMs = SilenceLimitMs();
    pStart->totalMs = TotalLimitMs();
    pStart->cameAlive =
        AwaitFirstOutput(pRun->hProcess, pRun->hStdout, pStart->startTick,
                         pStart->limitMs < pStart->totalMs ? pStart->limitMs : pStart->totalMs);
    if (!pStart->cameAlive) {
        KovaDebug("%s given up at the silence limit of %u ms before any output: ended after %u ms",
                  pStart->tool, (unsigned)pStart->limitMs,
                  (unsigned)(uint32_t)(GetTickCount() - pStart->startTick));
        TerminateProcess(pRun->hProcess, RTP_TERMINATED_EXIT_CODE);
        WaitForSingleObject(pRun->hProcess, RTP_TERMINATE_WAIT_MS);
    }
    return 1;
}

/* Wraps the output pipe in the stream handed out; the stream owns hStdout
 * from here, and fclose closes it. */
static int WrapOutput(popenedInstance_s *pRun)
{
    int fd = _open_osfhandle((intptr_t)pRun->hStdout, _O_TEXT);

    if (fd == -1)
        return 0;
    pRun->fileHandle = fdopen(fd, "r");
    return pRun->fileHandle != NULL;
}

/* Releases what an open that failed has acquired, last first. */
static void ReleaseOpening(popenedInstance_s *pRun)
{
    if (pRun->fileHandle) {
        fclose(pRun->fileHandle); /* closes hStdout too */
        pRun->hStdout = INVALID_HANDLE_VALUE;
    }
    CloseIfOpen(&pRun->hProcess);
    CloseIfOpen(&pRun->hStderrChild);
    CloseIfOpen(&pRun->hStderr);
    CloseIfOpen(&pRun->hStdoutChild);
    CloseIfOpen(&pRun->hStdout);
    CloseIfOpen(&pRun->hStdin);
    CloseIfOpen(&pRun->hStdinChild);
}

static void StartLineBuffer(tLineBuffer *pLine, const tToolStart *pStart)
{
    memset(pLine, 0, sizeof *pLine);
    pLine->cut = -1;
    pLine->limitMs = pStart->limitMs;
    pLine->totalMs = pStart->totalMs;
    pLine->startTick = pStart->startTick;
    pLine->lastOutputTick = GetTickCount();
    memcpy(pLine->tool, pStart->tool, sizeof pLine->tool);
    /* A tool ended for its silence: its output is over. */
    pLine->endedByUs = !pStart->cameAlive;
    pLine->childEnded = !pStart->cameAlive;
}

/* ---- The pipe-open ------------------------------------------------------ */

FILE *ReadTextPopen(char *command)
{
    static OSVERSIONINFOA osVersionInfo;
    const tPipeHalf *pHalf = QueryPlatform(&osVersionInfo);
    SECURITY_ATTRIBUTES saAttr;
    popenedInstance_s run;
    tToolStart start;

    if (!pHalf || !command)
        return NULL;
    /* A full table starts nothing: no tool runs whose output nobody reads. */
    if (!HasFreeSlot())
        return NULL;

    saAttr.nLength = sizeof(SECURITY_ATTRIBUTES);
    saAttr.lpSecurityDescriptor = NULL;
    saAttr.bInheritHandle = TRUE;
    FreeSlot(&run);
    if (OpenPipes(&run, &saAttr) && pHalf->preparePipes(&run) &&
        StartTool(&run, command, &saAttr, &start) && WrapOutput(&run) &&
        AddPopenedInstance(run.fileHandle, run.hProcess, run.hStdin, run.hStdout, run.hStderr,
                           run.hStdinChild, run.hStdoutChild, run.hStderrChild)) {
        StartLineBuffer(LineBufferOf(GetPopenedInstance(run.fileHandle)), &start);
        return run.fileHandle;
    }
    ReleaseOpening(&run);
    return NULL;
}

char *ReadTextFgets(char *string, int num, FILE *stream)
{
    static OSVERSIONINFOA osVersionInfo;
    static const tPipeHalf *pHalf = NULL;
    popenedInstance_s *pSlot;
    tLineBuffer *pLine;

    if (!pHalf && (pHalf = QueryPlatform(&osVersionInfo)) == NULL)
        return NULL;
    pSlot = GetPopenedInstance(stream);
    if (!pSlot || !string || num < 2)
        return NULL;
    pLine = LineBufferOf(pSlot);
    EnforceTotalLimit(pSlot, pLine);
    if (!TakeLine(pLine, string, num)) {
        pHalf->fill(pSlot, pLine);
        if (!TakeLine(pLine, string, num)) {
            NoteEmptyPoll(pSlot, pLine);
            return NULL;
        }
    }
    pLine->emptyPolls = 0;
    return string;
}

int CheckEOF(FILE *fileHandle)
{
    static OSVERSIONINFOA osVersionInfo;
    static const tPipeHalf *pHalf = NULL;
    popenedInstance_s *pSlot;
    tLineBuffer *pLine;

    if (!pHalf && (pHalf = QueryPlatform(&osVersionInfo)) == NULL)
        return 0;
    pSlot = GetPopenedInstance(fileHandle);
    if (!pSlot)
        return -1;
    pLine = LineBufferOf(pSlot);
    if (pLine->eof)
        return 1;

    EnforceTotalLimit(pSlot, pLine);
    if (!ChildHasEnded(pSlot, pLine)) {
        if (DeliverableLength(pLine, RTP_LINE_BUFFER + 1) == 0 &&
            PeekAvailable(pSlot->hStdout, NULL) == 0)
            NoteEmptyPoll(pSlot, pLine);
        return 0;
    }
    /* Once per stream: the caller asks on every pass. */
    if (!pLine->endTraced) {
        DWORD exitCode = 0;
        pLine->endTraced = 1;
        /* feof is that of the stream, whose end is still to be read: the
         * line says what became of the tool itself. */
        if (pLine->endedByUs)
            RtpTrace("Process is gone.  feof: %d\n%s was ended at a limit; what it wrote is "
                     "still read", pLine->eof, pLine->tool);
        else
            RtpTrace("Process is gone.  feof: %d\n%s ended by itself, exit code %u; what it "
                     "wrote is still read", pLine->eof, pLine->tool,
                     GetExitCodeProcess(pSlot->hProcess, &exitCode) ? (unsigned)exitCode : 0u);
    }
    return pHalf->atEnd(pSlot, pLine);
}

int ReadTextPclose(FILE *fileHandle)
{
    popenedInstance_s *pSlot = GetPopenedInstance(fileHandle);
    popenedInstance_s closing;

    if (!pSlot)
        return -1;
    TraceToolEnd(pSlot, LineBufferOf(pSlot));
    closing = *pSlot;
    DeletePopenedInstance(fileHandle);
    fclose(closing.fileHandle); /* closes hStdout too */
    CloseHandle(closing.hStdin);
    CloseHandle(closing.hStdinChild);
    CloseHandle(closing.hStdoutChild);
    CloseHandle(closing.hStderrChild);
    CloseHandle(closing.hStderr);
    CloseHandle(closing.hProcess);
    return 1;
}

/* ---- The table ---------------------------------------------------------- */

/* Nothing here calls it: it serves outside code linked with the pipe. */
int InitPopenedInstances(void)
{
    static int initialized = 0;
    int i;

    if (!initialized) {
        /* Slots in use keep their streams: freeing them would lose handles. */
        for (i = 0; i < RTP_MAX_INSTANCES; i++)
            if (popenedInstance[i].fileHandle == NULL)
                FreeSlot(&popenedInstance[i]);
        initialized = 1;
    }
    return 1;
}

int AddPopenedInstance(FILE *fileHandle, HANDLE hProcess, HANDLE hStdin, HANDLE hStdout,
                       HANDLE hStderr, HANDLE hStdinChild, HANDLE hStdoutChild,
                       HANDLE hStderrChild)
{
    int i;

    if (fileHandle == NULL)
        return 0;
    for (i = 0; i < RTP_MAX_INSTANCES; i++) {
        popenedInstance_s *pSlot = &popenedInstance[i];
        if (pSlot->fileHandle != NULL)
            continue;
        pSlot->fileHandle = fileHandle;
        pSlot->hProcess = hProcess;
        pSlot->hStdin = hStdin;
        pSlot->hStdout = hStdout;
        pSlot->hStderr = hStderr;
        pSlot->hStdinChild = hStdinChild;
        pSlot->hStdoutChild = hStdoutChild;
        pSlot->hStderrChild = hStderrChild;
        return 1;
    }
    return 0;
}

popenedInstance_s *GetPopenedInstance(FILE *fileHandle)
{
    int i;

    if (fileHandle == NULL)
        return NULL;
    for (i = 0; i < RTP_MAX_INSTANCES; i++)
        if (popenedInstance[i].fileHandle == fileHandle)
            return &popenedInstance[i];
    return NULL;
}

int DeletePopenedInstance(FILE *fileHandle)
{
    popenedInstance_s *pSlot = GetPopenedInstance(fileHandle);

    if (!pSlot)
        return 0;
    FreeSlot(pSlot);
    return 1;
}

int ReadTextToolState(FILE *stream, DWORD *pExitCode)
{
    popenedInstance_s *pSlot = GetPopenedInstance(stream);
    tLineBuffer *pLine;

    *pExitCode = 0;
    if (!pSlot)
        return RTP_TOOL_RUNS;
    pLine = LineBufferOf(pSlot);
    if (pLine->endedByUs)
        return RTP_TOOL_GIVEN_UP;
    if (WaitForSingleObject(pSlot->hProcess, 0) != WAIT_OBJECT_0 ||
        !GetExitCodeProcess(pSlot->hProcess, pExitCode))
        return RTP_TOOL_RUNS;
    return RTP_TOOL_ENDED;
}

int ReadTextPlainText(FILE *stream)
{
    popenedInstance_s *pSlot = GetPopenedInstance(stream);

    return pSlot && !LineBufferOf(pSlot)->unclean;
}

int ReadTextLineIsFiller(FILE *stream)
{
    popenedInstance_s *pSlot = GetPopenedInstance(stream);

    return pSlot && LineBufferOf(pSlot)->lastFiller;
}

int ReadTextEndTool(FILE *stream, const char *why)
{
    popenedInstance_s *pSlot = GetPopenedInstance(stream);
    tLineBuffer *pLine;

    if (!pSlot)
        return 0;
    pLine = LineBufferOf(pSlot);
    if (!ChildHasEnded(pSlot, pLine))
        EndChild(pSlot, pLine, why);
    return WaitForSingleObject(pSlot->hProcess, 0) == WAIT_OBJECT_0;
}
