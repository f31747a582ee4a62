/* rtphalves.cpp - the two platforms of the text pipe: NT, whose pipes can be
 * read without waiting, and the older platform, whose pipes block. */
#include "kovawin.h"

#include "rtpline.h"

#define RTP_READS_PER_FILL 8 /* a tool that writes without pause cannot hold us */
#define RTP_GARBAGE_WRITE_MAX 64 /* six digit lines and "1234" */
#define RTP_GARBAGE_CAP 256      /* for the whole run, all streams together */

/* ---- NT ----------------------------------------------------------------- */

static int NtPreparePipes(popenedInstance_s *pRun)
{
    DWORD mode = PIPE_NOWAIT | PIPE_READMODE_BYTE;

    if (!SetNamedPipeHandleState(pRun->hStdout, &mode, NULL, NULL)) {
        RtpTrace("ReadTextPopen(): SetNamedPipeHandleState() for outR failed\n"
                 "GetLastError: %d",
                 (int)GetLastError());
        return 0;
    }
    return SetNamedPipeHandleState(pRun->hStderrChild, &mode, NULL, NULL) &&
           SetNamedPipeHandleState(pRun->hStdinChild, &mode, NULL, NULL);
}

static void NtFill(popenedInstance_s *pSlot, tLineBuffer *pLine)
{
    DWORD got = 0;
    int ended;
    int reads;

    if (pLine->childDone)
        return;
    /* Ended before a read that then finds nothing: all is in. */
    ended = ChildHasEnded(pSlot, pLine);
    for (reads = 0; reads < RTP_READS_PER_FILL; reads++) {
        DWORD one = ReadWaiting(pSlot, pLine, RTP_LINE_BUFFER);
        if (one == 0)
            break;
        got += one;
    }
    if (ended && got == 0 &&
        (pLine->ctrlZ || pLine->length + pLine->pendingCr < RTP_LINE_BUFFER))
        MarkChildDone(pLine);
}

/* Finished once a read after the end found nothing, the buffer included. */
static int NtAtEnd(popenedInstance_s *pSlot, tLineBuffer *pLine)
{
    if (pLine->length == 0)
        NtFill(pSlot, pLine);
    if (pLine->length > 0 || !pLine->childDone)
        return 0;
    pLine->eof = 1;
    return 1;
}

const tPipeHalf rtpNtHalf = {NtPreparePipes, NtFill, NtAtEnd};

/* ---- The older platform ------------------------------------------------- */

/* The filler of the older platform: 65 characters and a NUL. */
static const char pipeGarbage[] =
    "123456789\n123456789\n123456789\n123456789\n123456789\n123456789\n12345";

static uint32_t totalGarbageWritten = 0;

/* Its pipes stay blocking: reads take only what a peek has shown. */
static int OlderPreparePipes(popenedInstance_s *)
{
    return 1;
}

/* Once the child is seen ended, the bytes then in the pipe are the rest of
 * its output: filler comes only after.  Taken before this platform's first
 * read or filler since the end, so nothing but the child's bytes is counted. */
static void TakeChildTail(popenedInstance_s *pSlot, tLineBuffer *pLine)
{
    if (!pLine->childEnded || pLine->tailKnown)
        return;
    pLine->tailKnown = 1;
    pLine->childTail = PeekAvailable(pSlot->hStdout, NULL);
    if (pLine->childTail == 0)
        MarkChildDone(pLine);
}

static void OlderFill(popenedInstance_s *pSlot, tLineBuffer *pLine)
{
    DWORD avail;
    DWORD copied;
    DWORD got;

    ChildHasEnded(pSlot, pLine);
    TakeChildTail(pSlot, pLine);
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

/* Tops up the pipe with filler while the run's total allows, never more
 * than the 1024-byte pipe can take.  A child we ended gets none: its
 * output is over. */
static void WriteFiller(popenedInstance_s *pSlot, const tLineBuffer *pLine)
{
    DWORD waiting;
    DWORD written = 0;
    DWORD n;
    BOOL wrote;

    if (totalGarbageWritten >= RTP_GARBAGE_CAP || pLine->endedByUs)
        return;
    waiting = PeekAvailable(pSlot->hStdout, NULL);
    n = waiting < RTP_OUTPUT_PIPE_SIZE ? RTP_OUTPUT_PIPE_SIZE - waiting : 0;
    if (n > RTP_GARBAGE_WRITE_MAX)
        n = RTP_GARBAGE_WRITE_MAX;
    wrote = WriteFile(pSlot->hStdoutChild, pipeGarbage, n, &written, NULL);
    /* A full pipe takes nothing, pass after pass: no line for that. */
    if (!wrote || written > 0)
        RtpTrace("WriteFile success: %d\ngarbageWritten: %d", (int)wrote, (int)written);
    totalGarbageWritten += written;
}

/* The peek's text is not traced: it may be a listing's password. */
static int OlderAtEnd(popenedInstance_s *pSlot, tLineBuffer *pLine)
{
    DWORD read = 0;

    TakeChildTail(pSlot, pLine);
    WriteFiller(pSlot, pLine);
    PeekAvailable(pSlot->hStdout, &read);
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

const tPipeHalf rtpOlderHalf = {OlderPreparePipes, OlderFill, OlderAtEnd};
