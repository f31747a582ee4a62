/* skwrun.h - one run of an agent tool: start it, hand its lines to the
 * caller, drain, let it end where asked, close.  The one loop through which
 * the adapter and the store verbs run every tool. */
#ifndef SKWRUN_H
#define SKWRUN_H

#include "kovawin.h"

#include "rtpopen.h" /* RTP_TOOL_...: what became of a tool */

#define SKW_RUN_DRAIN 1  /* after the passes, take what is waiting */
#define SKW_RUN_TO_END 2 /* then read on until the tool has ended (the pipe's
                          * limits bound it: one that overstays is ended) */
#define SKW_RUN_PAUSE 4  /* no reading passes: rest SKW_PAUSE_MS, then end
                          * the tool if it still runs */

#define SKW_PAUSE_MS 750 /* what the ping is given */

/* Hands one line to the caller; nonzero when the caller has what it came
 * for and the passes stop. */
typedef int (*tToolLine)(void *pContext, char *line);

typedef struct tToolRun {
    int started;       /* the tool started: it may have done its work */
    int stoppedEarly;  /* the caller stopped the passes */
    int state;         /* RTP_TOOL_... as the stream was closed */
    DWORD exitCode;    /* with RTP_TOOL_ENDED */
    int plainText;     /* every byte it wrote was plain text */
} tToolRun;

/* Runs command (formatted into its buffer by the caller) and hands each
 * line, read into line (size bytes), to pLine.  1 when the tool started. */
int SKWRunTool(char *command, int flags, tToolLine pLine, void *pContext, char *line, int size,
               tToolRun *pRun);

#endif
