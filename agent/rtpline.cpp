/* rtpline.cpp - the line buffer of a pipe stream (text mode, cutting lines)
 * and the limits on a tool's run, alike on both platforms. */
#include "kovawin.h"

#include <stdarg.h>

#include "rtpline.h"

#define RTP_PEEK_SIZE 256
#define RTP_TRACE_LEN 512
#define RTP_CTRL_Z 0x1A

/* The text is composed within its bound, then joined into one line. */
void RtpTrace(const char *format, ...)
{
    char trace[RTP_TRACE_LEN];
    va_list args;

    va_start(args, format);
    vsnprintf(trace, sizeof trace, format, args);
    va_end(args);
    KovaDebug("%s", trace);
}

DWORD PeekAvailable(HANDLE hStdout, DWORD *pCopied)
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
void MarkChildDone(tLineBuffer *pLine)
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
    pLine->childLeft = pLine->length;
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

/* Plain text as the agent documents it: no control byte but tab, CR and
 * LF, no DEL, no byte order mark.  Judged on the raw bytes, since text mode
 * hides what follows a Ctrl-Z and a NUL cuts a line short. */
static void NoteRawBytes(tLineBuffer *pLine, const char *pRaw, DWORD count)
{
    DWORD i;

    for (i = 0; i < count; i++) {
        unsigned char c = (unsigned char)pRaw[i];
        if ((c < 0x20 && c != '\t' && c != '\r' && c != '\n') || c == 0x7F)
            pLine->unclean = 1;
        if (pLine->rawCount < sizeof(pLine->head))
            pLine->head[pLine->rawCount] = c;
        if (pLine->rawCount < 0xFFFFFFFFu)
            pLine->rawCount++;
    }
    if ((pLine->rawCount >= 2 && ((pLine->head[0] == 0xFF && pLine->head[1] == 0xFE) ||
                                  (pLine->head[0] == 0xFE && pLine->head[1] == 0xFF))) ||
        (pLine->rawCount >= 3 && pLine->head[0] == 0xEF && pLine->head[1] == 0xBB &&
         pLine->head[2] == 0xBF))
        pLine->unclean = 1;
}

/* Reads at most maxRead bytes that are waiting; the number read. */
DWORD ReadWaiting(popenedInstance_s *pSlot, tLineBuffer *pLine, DWORD maxRead)
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
        NoteRawBytes(pLine, raw, got);
        AppendText(pLine, raw, got);
        pLine->lastOutputTick = GetTickCount();
        pLine->emptyPolls = 0;
    }
    return got;
}

int ChildHasEnded(popenedInstance_s *pSlot, tLineBuffer *pLine)
{
    if (!pLine->childEnded && WaitForSingleObject(pSlot->hProcess, 0) == WAIT_OBJECT_0)
        pLine->childEnded = 1;
    return pLine->childEnded;
}

/* Length of the line that can be delivered into num characters, or 0:
 * up to a newline; a piece of num - 1 characters of a longer line; the
 * last line of the child's output without its newline; or a full buffer. */
int DeliverableLength(const tLineBuffer *pLine, int num)
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

int TakeLine(tLineBuffer *pLine, char *string, int num)
{
    int take = DeliverableLength(pLine, num);

    if (take <= 0)
        return 0;
    /* Past the end of the child's output only filler comes. */
    pLine->lastFiller = pLine->childDone && pLine->childLeft == 0;
    if (pLine->childDone)
        pLine->childLeft -= take < pLine->childLeft ? take : pLine->childLeft;
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

/* ---- Limits ------------------------------------------------------------- */

/* Gives up a child (at one of the limits, or because its caller is done
 * with it): its output ends with what the pipe holds now. */
void EndChild(popenedInstance_s *pSlot, tLineBuffer *pLine, const char *pWhy)
{
    KovaDebug("%s given up %s: ended", pLine->tool, pWhy);
    TerminateProcess(pSlot->hProcess, RTP_TERMINATED_EXIT_CODE);
    WaitForSingleObject(pSlot->hProcess, RTP_TERMINATE_WAIT_MS);
    pLine->endedByUs = 1;
    pLine->childEnded = 1;
}

/* Ends a child whose whole run has reached the total limit, however much
 * it writes: a tool that never stops cannot hold the request. */
void EnforceTotalLimit(popenedInstance_s *pSlot, tLineBuffer *pLine)
{
    if (ChildHasEnded(pSlot, pLine))
        return;
    {
        uint32_t ranMs = (uint32_t)(GetTickCount() - pLine->startTick);
        char why[96];
        if (ranMs < pLine->totalMs)
            return;
        snprintf(why, sizeof why, "at the total limit of %u ms, after %u ms", (unsigned)pLine->totalMs,
                 (unsigned)ranMs);
        EndChild(pSlot, pLine, why);
    }
}

/* Rests on the process handle while nothing is waiting, instead of letting
 * the caller's loop spin.  The silence is measured on the clock: a wait
 * may return early, and a count of waits would end a live tool long
 * before its limit. */
static void RestWhileSilent(popenedInstance_s *pSlot, tLineBuffer *pLine)
{
    uint32_t silentMs;

    if (WaitForSingleObject(pSlot->hProcess, RTP_POLL_MS) == WAIT_OBJECT_0)
        return;
    silentMs = (uint32_t)(GetTickCount() - pLine->lastOutputTick);
    if (silentMs >= pLine->limitMs) {
        char why[96];
        snprintf(why, sizeof why, "at the silence limit of %u ms, silent for %u ms",
                 (unsigned)pLine->limitMs, (unsigned)silentMs);
        EndChild(pSlot, pLine, why);
    }
}

/* A read or an end check found nothing to hand out while the child runs.
 * Every second such poll in a row rests, so that a caller's loop of reads
 * and end checks (or of either alone) waits instead of spinning, while a
 * single empty read still returns at once. */
void NoteEmptyPoll(popenedInstance_s *pSlot, tLineBuffer *pLine)
{
    if (pLine->childEnded || ++pLine->emptyPolls < 2)
        return;
    pLine->emptyPolls = 0;
    RestWhileSilent(pSlot, pLine);
}
