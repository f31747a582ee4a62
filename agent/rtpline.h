/* rtpline.h - inside the text pipe: the line buffer of each stream, the
 * limits on a tool's run, and the two platform halves that fill the buffer
 * and decide the end of a stream.  Only the rtp*.cpp files include it. */
#ifndef RTPLINE_H
#define RTPLINE_H

#include "kovawin.h"

#include "kovadebug.h"
#include "rtpopen.h"

#define RTP_OUTPUT_PIPE_SIZE 1024 /* also the bound of the filler arithmetic */
#define RTP_LINE_BUFFER 1024
#define RTP_POLL_MS 10
#define RTP_TERMINATE_WAIT_MS 1000
#define RTP_TERMINATED_EXIT_CODE 1
#define RTP_TOOL_NAME_LEN 32 /* the program word, for the debugging channel */

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
    int tailKnown;      /* older platform: childTail was taken once the child ended */
    uint32_t childTail; /* older platform: child bytes still in the pipe after it ended */
    uint32_t lastOutputTick; /* GetTickCount at the last output (or the start) */
    uint32_t limitMs;   /* the limit of silence */
    uint32_t startTick; /* GetTickCount when the child was started */
    uint32_t totalMs;   /* the limit on the whole run */
    int endedByUs;      /* given up at a limit: its output ends, no filler */
    int emptyPolls;     /* reads and end checks in a row that found nothing */
    int eof;            /* the output is finished */
    int endTraced;      /* the child's end is on the debugging channel */
    int unclean;        /* a raw byte that plain text never holds was seen */
    int childLeft;      /* once childDone: the child's bytes still in data */
    int lastFiller;     /* the line last taken was the pipe's filler */
    uint32_t rawCount;  /* raw bytes taken from the pipe so far */
    unsigned char head[3]; /* the first raw bytes: a byte order mark? */
    char tool[RTP_TOOL_NAME_LEN]; /* the program word of its command line */
} tLineBuffer;

/* What differs between the platforms, chosen once by each public call. */
typedef struct tPipeHalf {
    /* Readies the parent's pipe ends before the tool starts; 1 when done. */
    int (*preparePipes)(popenedInstance_s *pRun);
    /* Takes what the pipe holds into the buffer, never waiting. */
    void (*fill)(popenedInstance_s *pSlot, tLineBuffer *pLine);
    /* For an ended child: 1 when its stream is finished, else 0. */
    int (*atEnd)(popenedInstance_s *pSlot, tLineBuffer *pLine);
} tPipeHalf;

extern const tPipeHalf rtpNtHalf;
extern const tPipeHalf rtpOlderHalf;

/* The trace texts the pipe composes at its notable steps, each one line on
 * the debugging channel.  None carries what a tool wrote: a listing of
 * credentials holds passwords. */
void RtpTrace(const char *format, ...) KOVA_DEBUG_FORMAT;

/* Bytes waiting in the output pipe; 0 also when the peek fails. */
DWORD PeekAvailable(HANDLE hStdout, DWORD *pCopied);

void MarkChildDone(tLineBuffer *pLine);
DWORD ReadWaiting(popenedInstance_s *pSlot, tLineBuffer *pLine, DWORD maxRead);
int ChildHasEnded(popenedInstance_s *pSlot, tLineBuffer *pLine);
int DeliverableLength(const tLineBuffer *pLine, int num);
int TakeLine(tLineBuffer *pLine, char *string, int num);
void EndChild(popenedInstance_s *pSlot, tLineBuffer *pLine, const char *pWhy);
void EnforceTotalLimit(popenedInstance_s *pSlot, tLineBuffer *pLine);
void NoteEmptyPoll(popenedInstance_s *pSlot, tLineBuffer *pLine);

#endif
