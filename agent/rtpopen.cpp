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
 */
#include "kovawin.h"

#include "rtpopen.h"

#define RTP_INPUT_PIPE_SIZE 1024
#define RTP_OUTPUT_PIPE_SIZE 1024 /* also the bound of the filler arithmetic */
#define RTP_ERROR_PIPE_SIZE 2048
#define RTP_PEEK_SIZE 256
#define RTP_TRACE_LEN 512
#define RTP_CREATION_FLAGS (DETACHED_PROCESS | HIGH_PRIORITY_CLASS) /* 0x88 */
#define RTP_CONSOLE_CHARS 10

#define RTP_GARBAGE_WRITE_MAX 64 /* six digit lines and "1234" */
#define RTP_GARBAGE_CAP 256      /* for the whole run, all streams together */

#define RTP_LINE_BUFFER 1024
#define RTP_POLL_MS 10
#define RTP_READS_PER_FILL 8 /* a tool that writes without pause cannot hold us */
#define RTP_DEFAULT_SILENCE_MS 30000
#define RTP_DEFAULT_TOTAL_MS 300000
#define RTP_TERMINATE_WAIT_MS 1000
#define RTP_TERMINATED_EXIT_CODE 1
#define RTP_CTRL_Z 0x1A

/* The filler of the older platform: 65 characters and a NUL. */
static const char pipeGarbage[] =
    "123456789\n123456789\n123456789\n123456789\n123456789\n123456789\n12345";

static popenedInstance_s popenedInstance[RTP_MAX_INSTANCES];
static uint32_t totalGarbageWritten = 0;

/* What we know of one stream beyond its record: the output taken from the
 * pipe but not yet delivered, in text mode (CR LF as LF, nothing after a
 * Ctrl-Z), and where the child's own output ends in it. */
typedef struct tLineBuffer {
    char data[RTP_LINE_BUFFER];
    int length;
    int cut;            /* end of the child's output in data, or -1 */
    int pendingCr;      /* a CR whose successor has not been read yet */
    int ctrlZ;          /* a Ctrl-Z ended the output; later bytes are dropped */
    int childEnded;     /* the child was seen ended (or was ended by us) */
    int childDone;      /* all of the child's output has been taken from the pipe */
    uint32_t childTail; /* older platform: child bytes still in the pipe after it ended */
    uint32_t silentMs;  /* time rested on the process handle since the last output */
    uint32_t limitMs;   /* the limit of silence */
    uint32_t startTick; /* GetTickCount when the child was started */
    uint32_t totalMs;   /* the limit on the whole run */
    int endedByUs;      /* given up at a limit: its output ends, no filler */
    int emptyPolls;     /* reads and end checks in a row that found nothing */
    int eof;            /* the output is finished */
} tLineBuffer;

static tLineBuffer lineBuffers[RTP_MAX_INSTANCES];

/* ---- Helpers ---------------------------------------------------------- */

static int IsNtPlatform(const OSVERSIONINFOA *pInfo)
{
    return pInfo->dwPlatformId == VER_PLATFORM_WIN32_NT;
}

static int QueryPlatform(OSVERSIONINFOA *pInfo)
{
    pInfo->dwOSVersionInfoSize = sizeof(OSVERSIONINFOA); /* 148 */
    return GetVersionExA(pInfo) ? 1 : 0;
}

/* A limit in milliseconds from the environment; the default when unset
 * or not a number from 1 to 0x7FFFFFFF. */
static uint32_t LimitMs(const char *name, uint32_t defaultMs)
{
    const char *pValue = getenv(name);
    char *pEnd;
    unsigned long value;

    if (!pValue || !*pValue)
        return defaultMs;
    value = strtoul(pValue, &pEnd, 10);
    if (*pEnd != '\0' || value == 0 || value > 0x7FFFFFFFul)
        return defaultMs;
    return (uint32_t)value;
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

/* Bytes waiting in the output pipe; 0 also when the peek fails. */
static DWORD PeekAvailable(HANDLE hStdout, DWORD *pCopied)
{
    char replyStr[RTP_PEEK_SIZE];
    DWORD read = 0;
    DWORD avail = 0;
    DWORD left = 0;

    if (!PeekNamedPipe(hStdout, replyStr, RTP_PEEK_SIZE, &read, &avail, &left))
        avail = read = 0;
    if (pCopied)
        *pCopied = read;
    return avail;
}

/* From here on, everything in the buffer is the child's output up to its
 * end: a partial line there is its last line. */
static void MarkChildDone(tLineBuffer *pLine)
{
    if (pLine->childDone)
        return;
    pLine->childDone = 1;
    if (pLine->pendingCr && !pLine->ctrlZ && pLine->length < RTP_LINE_BUFFER) {
        pLine->data[pLine->length++] = '\r';
        pLine->pendingCr = 0;
    }
    if (pLine->length > 0)
        pLine->cut = pLine->length;
}

/* Adds raw output in text mode: CR LF becomes LF, a Ctrl-Z ends it. */
static void AppendText(tLineBuffer *pLine, const char *pRaw, DWORD count)
{
    DWORD i;

    for (i = 0; i < count && !pLine->ctrlZ; i++) {
        char c = pRaw[i];
        if (pLine->pendingCr) {
            pLine->pendingCr = 0;
            if (c != '\n')
                pLine->data[pLine->length++] = '\r';
        }
        if (c == RTP_CTRL_Z) {
            pLine->ctrlZ = 1;
            if (pLine->length > 0)
                pLine->cut = pLine->length;
        } else if (c == '\r') {
            pLine->pendingCr = 1;
        } else {
            pLine->data[pLine->length++] = c;
        }
    }
}

/* Reads at most maxRead bytes that are waiting; the number read. */
static DWORD ReadWaiting(popenedInstance_s *pSlot, tLineBuffer *pLine, DWORD maxRead)
{
    char raw[RTP_LINE_BUFFER];
    DWORD room;
    DWORD got = 0;

    /* Room for what the bytes can become: a held CR may come out too. */
    room = (DWORD)(RTP_LINE_BUFFER - pLine->length - pLine->pendingCr);
    if (pLine->ctrlZ)
        room = RTP_LINE_BUFFER; /* dropped anyway; keep the pipe draining */
    if (maxRead > room)
        maxRead = room;
    if (maxRead == 0)
        return 0;
    if (!ReadFile(pSlot->hStdout, raw, maxRead, &got, NULL))
        got = 0;
    if (got > 0) {
        AppendText(pLine, raw, got);
        pLine->silentMs = 0;
        pLine->emptyPolls = 0;
    }
    return got;
}

/* Notes that the child has ended.  On the older platform the bytes then
 * in the pipe are the rest of its output: filler comes only after. */
static void NoteChildEnded(popenedInstance_s *pSlot, tLineBuffer *pLine, int nt)
{
    if (pLine->childEnded)
        return;
    pLine->childEnded = 1;
    if (!nt) {
        pLine->childTail = PeekAvailable(pSlot->hStdout, NULL);
        if (pLine->childTail == 0)
            MarkChildDone(pLine);
    }
}

static int ChildHasEnded(popenedInstance_s *pSlot, tLineBuffer *pLine, int nt)
{
    if (!pLine->childEnded && WaitForSingleObject(pSlot->hProcess, 0) == WAIT_OBJECT_0)
        NoteChildEnded(pSlot, pLine, nt);
    return pLine->childEnded;
}

/* Takes what the pipe holds into the buffer, never waiting. */
static void FillLineBuffer(popenedInstance_s *pSlot, tLineBuffer *pLine, int nt)
{
    DWORD got;
    DWORD avail;
    DWORD copied;
    int ended;
    int reads;

    if (nt) {
        if (pLine->childDone)
            return;
        /* Ended before a read that then finds nothing: all is in. */
        ended = ChildHasEnded(pSlot, pLine, nt);
        got = 0;
        for (reads = 0; reads < RTP_READS_PER_FILL; reads++) {
            DWORD one = ReadWaiting(pSlot, pLine, RTP_LINE_BUFFER);
            if (one == 0)
                break;
            got += one;
        }
        if (ended && got == 0 &&
            (pLine->ctrlZ || pLine->length + pLine->pendingCr < RTP_LINE_BUFFER))
            MarkChildDone(pLine);
        return;
    }
    /* Older platform: pipes block, so read only what a peek has shown. */
    ChildHasEnded(pSlot, pLine, nt);
    avail = PeekAvailable(pSlot->hStdout, &copied);
    if (copied == 0)
        return;
    if (pLine->childEnded && !pLine->childDone && avail > pLine->childTail)
        avail = pLine->childTail; /* never mix the child's last line with filler */
    got = ReadWaiting(pSlot, pLine, avail);
    if (pLine->childEnded && !pLine->childDone) {
        pLine->childTail -= got < pLine->childTail ? got : pLine->childTail;
        if (pLine->childTail == 0)
            MarkChildDone(pLine);
    }
}

/* Length of the line that can be delivered into num characters, or 0:
 * up to a newline; a piece of num - 1 characters of a longer line; the
 * last line of the child's output without its newline; or a full buffer. */
static int DeliverableLength(tLineBuffer *pLine, int num)
{
    int limit = num - 1;
    int end = pLine->cut >= 0 ? pLine->cut : pLine->length;
    int scan = end < limit ? end : limit;
    int i;

    for (i = 0; i < scan; i++)
        if (pLine->data[i] == '\n')
            return i + 1;
    if (end >= limit)
        return limit;
    if (pLine->cut >= 0)
        return end;
    if (pLine->length + pLine->pendingCr >= RTP_LINE_BUFFER)
        return pLine->length;
    return 0;
}

static int TakeLine(tLineBuffer *pLine, char *string, int num)
{
    int take = DeliverableLength(pLine, num);

    if (take <= 0)
        return 0;
    memcpy(string, pLine->data, (size_t)take);
    string[take] = '\0';
    pLine->length -= take;
    memmove(pLine->data, pLine->data + take, (size_t)pLine->length);
    if (pLine->cut >= 0) {
        pLine->cut -= take;
        if (pLine->cut <= 0)
            pLine->cut = -1;
    }
    return 1;
}

/* Gives up a child at one of the limits: its output ends with what the
 * pipe holds now. */
static void EndChild(popenedInstance_s *pSlot, tLineBuffer *pLine, int nt)
{
    TerminateProcess(pSlot->hProcess, RTP_TERMINATED_EXIT_CODE);
    WaitForSingleObject(pSlot->hProcess, RTP_TERMINATE_WAIT_MS);
    pLine->endedByUs = 1;
    NoteChildEnded(pSlot, pLine, nt);
}

/* Ends a child whose whole run has reached the total limit, however much
 * it writes: a tool that never stops cannot hold the request. */
static void EnforceTotalLimit(popenedInstance_s *pSlot, tLineBuffer *pLine, int nt)
{
    if (ChildHasEnded(pSlot, pLine, nt))
        return;
    if ((uint32_t)(GetTickCount() - pLine->startTick) >= pLine->totalMs)
        EndChild(pSlot, pLine, nt);
}

/* Rests on the process handle while nothing is waiting, instead of letting
 * the caller's loop spin; counts the silence. */
static void RestWhileSilent(popenedInstance_s *pSlot, tLineBuffer *pLine, int nt)
{
    if (WaitForSingleObject(pSlot->hProcess, RTP_POLL_MS) == WAIT_OBJECT_0)
        return;
    pLine->silentMs += RTP_POLL_MS;
    if (pLine->silentMs >= pLine->limitMs)
        EndChild(pSlot, pLine, nt);
}

/* A read or an end check found nothing to hand out while the child runs.
 * Every second such poll in a row rests, so that a caller's loop of reads
 * and end checks (or of either alone) waits instead of spinning, while a
 * single empty read still returns at once. */
static void NoteEmptyPoll(popenedInstance_s *pSlot, tLineBuffer *pLine, int nt)
{
    if (pLine->childEnded || ++pLine->emptyPolls < 2)
        return;
    pLine->emptyPolls = 0;
    RestWhileSilent(pSlot, pLine, nt);
}

/* The first sign of life: output, or the child's end, within the limit of
 * silence.  0 when the child stayed silent for all of it. */
static int AwaitFirstOutput(HANDLE hProcess, HANDLE hStdout, uint32_t limitMs)
{
    uint32_t waited = 0;
    DWORD copied;

    for (;;) {
        PeekAvailable(hStdout, &copied);
        if (copied > 0)
            return 1;
        if (WaitForSingleObject(hProcess, RTP_POLL_MS) == WAIT_OBJECT_0)
            return 1;
        waited += RTP_POLL_MS;
        if (waited >= limitMs)
            return 0;
    }
}

/* ---- The pipe-open ------------------------------------------------------ */

FILE *ReadTextPopen(char *command)
{
    static OSVERSIONINFOA osVersionInfo;
    SECURITY_ATTRIBUTES saAttr;
    STARTUPINFOA startupInfo;
    PROCESS_INFORMATION processInfo;
    HANDLE hStdin = INVALID_HANDLE_VALUE;
    HANDLE hStdout = INVALID_HANDLE_VALUE;
    HANDLE hStderr = INVALID_HANDLE_VALUE;
    HANDLE hStdinChild = INVALID_HANDLE_VALUE;
    HANDLE hStdoutChild = INVALID_HANDLE_VALUE;
    HANDLE hStderrChild = INVALID_HANDLE_VALUE;
    DWORD mode = PIPE_NOWAIT | PIPE_READMODE_BYTE;
    char trace[RTP_TRACE_LEN];
    uint32_t limitMs;
    uint32_t totalMs;
    uint32_t startTick;
    int cameAlive;
    tLineBuffer *pLine;
    FILE *stream;
    int fd;

    if (!QueryPlatform(&osVersionInfo) || !command)
        return NULL;
    /* A full table starts nothing: no tool runs whose output nobody reads. */
    if (!HasFreeSlot())
        return NULL;

    saAttr.nLength = sizeof(SECURITY_ATTRIBUTES); /* 12 on Windows */
    saAttr.lpSecurityDescriptor = NULL;
    saAttr.bInheritHandle = TRUE;
    if (!CreatePipe(&hStdinChild, &hStdin, &saAttr, RTP_INPUT_PIPE_SIZE))
        goto fail;
    if (!CreatePipe(&hStdout, &hStdoutChild, &saAttr, RTP_OUTPUT_PIPE_SIZE))
        goto fail;
    if (!CreatePipe(&hStderr, &hStderrChild, &saAttr, RTP_ERROR_PIPE_SIZE))
        goto fail;

    if (IsNtPlatform(&osVersionInfo)) {
        if (!SetNamedPipeHandleState(hStdout, &mode, NULL, NULL)) {
            snprintf(trace, sizeof trace,
                     "ReadTextPopen(): SetNamedPipeHandleState() for outR failed\n"
                     "GetLastError: %d",
                     (int)GetLastError());
            goto fail;
        }
        if (!SetNamedPipeHandleState(hStderrChild, &mode, NULL, NULL))
            goto fail;
        if (!SetNamedPipeHandleState(hStdinChild, &mode, NULL, NULL))
            goto fail;
    }

    memset(&startupInfo, 0, sizeof startupInfo);
    startupInfo.cb = sizeof(STARTUPINFOA); /* 68 on 32-bit Windows */
    startupInfo.dwXCountChars = RTP_CONSOLE_CHARS;
    startupInfo.dwYCountChars = RTP_CONSOLE_CHARS;
    startupInfo.dwFlags = STARTF_USESTDHANDLES;
    startupInfo.hStdInput = hStdinChild;
    startupInfo.hStdOutput = hStdoutChild;
    startupInfo.hStdError = NULL;
    if (!CreateProcessA(NULL, command, &saAttr, &saAttr, TRUE, RTP_CREATION_FLAGS, NULL, NULL,
                        &startupInfo, &processInfo)) {
        snprintf(trace, sizeof trace, "ReadTextPopen(): CreateProcess() failed\nGetLastError: %d",
                 (int)GetLastError());
        goto fail;
    }
    startTick = GetTickCount();
    CloseHandle(processInfo.hThread);

    limitMs = SilenceLimitMs();
    totalMs = TotalLimitMs();
    cameAlive = AwaitFirstOutput(processInfo.hProcess, hStdout,
                                 limitMs < totalMs ? limitMs : totalMs);
    if (!cameAlive) {
        /* Silent for the whole limit.  It started all the same, so the
         * caller gets a stream, ended below: a tool that changed something
         * before it fell silent must not look as if it never ran. */
        TerminateProcess(processInfo.hProcess, RTP_TERMINATED_EXIT_CODE);
        WaitForSingleObject(processInfo.hProcess, RTP_TERMINATE_WAIT_MS);
    }

    /* The stream owns hStdout from here: fclose closes it. */
    fd = _open_osfhandle((intptr_t)hStdout, _O_TEXT);
    if (fd == -1)
        goto failWithChild;
    stream = fdopen(fd, "r");
    if (!stream)
        goto failWithChild;
    if (!AddPopenedInstance(stream, processInfo.hProcess, hStdin, hStdout, hStderr, hStdinChild,
                            hStdoutChild, hStderrChild)) {
        fclose(stream);
        hStdout = INVALID_HANDLE_VALUE;
        goto failWithChild;
    }

    pLine = LineBufferOf(GetPopenedInstance(stream));
    memset(pLine, 0, sizeof *pLine);
    pLine->cut = -1;
    pLine->limitMs = limitMs;
    pLine->totalMs = totalMs;
    pLine->startTick = startTick;
    if (!cameAlive) {
        pLine->endedByUs = 1;
        NoteChildEnded(GetPopenedInstance(stream), pLine, IsNtPlatform(&osVersionInfo));
    }
    return stream;

failWithChild:
    CloseHandle(processInfo.hProcess);
fail:
    CloseIfOpen(&hStderrChild);
    CloseIfOpen(&hStderr);
    CloseIfOpen(&hStdoutChild);
    CloseIfOpen(&hStdout);
    CloseIfOpen(&hStdin);
    CloseIfOpen(&hStdinChild);
    return NULL;
}

char *ReadTextFgets(char *string, int num, FILE *stream)
{
    static OSVERSIONINFOA osVersionInfo;
    static int initialized = 0;
    popenedInstance_s *pSlot;
    tLineBuffer *pLine;
    int nt;

    if (!initialized) {
        if (!QueryPlatform(&osVersionInfo))
            return NULL;
        initialized = 1;
    }
    pSlot = GetPopenedInstance(stream);
    if (!pSlot || !string || num < 2)
        return NULL;
    pLine = LineBufferOf(pSlot);
    nt = IsNtPlatform(&osVersionInfo);
    EnforceTotalLimit(pSlot, pLine, nt);
    if (!TakeLine(pLine, string, num)) {
        FillLineBuffer(pSlot, pLine, nt);
        if (!TakeLine(pLine, string, num)) {
            NoteEmptyPoll(pSlot, pLine, nt);
            return NULL;
        }
    }
    pLine->emptyPolls = 0;
    return string;
}

int CheckEOF(FILE *fileHandle)
{
    static OSVERSIONINFOA osVersionInfo;
    static int initialized = 0;
    popenedInstance_s *pSlot;
    tLineBuffer *pLine;
    char trace[RTP_TRACE_LEN];
    char replyStr[RTP_PEEK_SIZE + 1];
    DWORD read = 0;
    DWORD avail = 0;
    DWORD left = 0;
    DWORD written = 0;
    DWORD waiting;
    DWORD n;
    BOOL wrote;
    int nt;

    if (!initialized) {
        if (!QueryPlatform(&osVersionInfo))
            return 0;
        initialized = 1;
    }
    pSlot = GetPopenedInstance(fileHandle);
    if (!pSlot)
        return -1;
    pLine = LineBufferOf(pSlot);
    nt = IsNtPlatform(&osVersionInfo);
    if (pLine->eof)
        return 1;

    EnforceTotalLimit(pSlot, pLine, nt);
    if (!ChildHasEnded(pSlot, pLine, nt)) {
        if (DeliverableLength(pLine, RTP_LINE_BUFFER + 1) == 0 &&
            PeekAvailable(pSlot->hStdout, NULL) == 0)
            NoteEmptyPoll(pSlot, pLine, nt);
        return 0;
    }

    snprintf(trace, sizeof trace, "Process is gone.  feof: %d", pLine->eof);

    if (nt) {
        /* Finished once a read after the end found nothing, the buffer
         * included. */
        if (pLine->length == 0)
            FillLineBuffer(pSlot, pLine, nt);
        if (pLine->length > 0 || !pLine->childDone)
            return 0;
        pLine->eof = 1;
        return 1;
    }

    /* Older platform: top up the pipe with filler while the run's total
     * allows, never more than the 1024-byte pipe can take.  A child we
     * ended gets none: its output is over. */
    if (totalGarbageWritten < RTP_GARBAGE_CAP && !pLine->endedByUs) {
        waiting = PeekAvailable(pSlot->hStdout, NULL);
        n = waiting < RTP_OUTPUT_PIPE_SIZE ? RTP_OUTPUT_PIPE_SIZE - waiting : 0;
        if (n > RTP_GARBAGE_WRITE_MAX)
            n = RTP_GARBAGE_WRITE_MAX;
        written = 0;
        wrote = WriteFile(pSlot->hStdoutChild, pipeGarbage, n, &written, NULL);
        snprintf(trace, sizeof trace, "WriteFile success: %d\ngarbageWritten: %d", (int)wrote,
                 (int)written);
        totalGarbageWritten += written;
    }
    if (!PeekNamedPipe(pSlot->hStdout, replyStr, RTP_PEEK_SIZE, &read, &avail, &left))
        read = avail = left = 0;
    replyStr[read < RTP_PEEK_SIZE ? read : RTP_PEEK_SIZE] = '\0';
    snprintf(trace, sizeof trace,
             "PeekNamedPipe:\n  replyStr: %s\n  read: %d\n  avail: %d\n  msg: %d", replyStr,
             (int)read, (int)avail, (int)left);
    if (read > 0)
        return 0;
    /* Nothing more will come: what is buffered is final. */
    MarkChildDone(pLine);
    if (pLine->length > 0) {
        pLine->cut = pLine->length;
        return 0;
    }
    pLine->eof = 1;
    return 1;
}

int ReadTextPclose(FILE *fileHandle)
{
    popenedInstance_s *pSlot = GetPopenedInstance(fileHandle);
    popenedInstance_s closing;

    if (!pSlot)
        return -1;
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

uint32_t ReadTextLongestRun(void)
{
    return TotalLimitMs() + RTP_TERMINATE_WAIT_MS;
}
