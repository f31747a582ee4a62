/* skwrun.cpp - one run of an agent tool through the text pipe.
 *
 * Reading pass: read a line, hand it over, ask CheckEOF; passes repeat
 * until CheckEOF reports the end of output or the caller has what it came
 * for.  Drain: read until a read yields no line.  The pipe gives up on a
 * tool that stays silent too long or runs too long, so every loop ends. */
#include "kovawin.h"

#include "skwrun.h"

#include "rtpopen.h"

static void Drain(FILE *stream, char *line, int size)
{
    while (ReadTextFgets(line, size, stream))
        ;
}

/* Reads and discards until the output is over: the tool has ended, by
 * itself or at one of the pipe's limits. */
static void ReadToEnd(FILE *stream, char *line, int size)
{
    do {
        ReadTextFgets(line, size, stream);
    } while (CheckEOF(stream) == 0);
    Drain(stream, line, size);
}

int SKWRunTool(char *command, int flags, tToolLine pLine, void *pContext, char *line, int size,
               tToolRun *pRun)
{
    FILE *stream;

    memset(pRun, 0, sizeof(*pRun));
    stream = ReadTextPopen(command);
    if (!stream)
        return 0;
    pRun->started = 1;
    if (flags & SKW_RUN_PAUSE) {
        Sleep(SKW_PAUSE_MS);
        if (ReadTextToolState(stream, &pRun->exitCode) == RTP_TOOL_RUNS)
            ReadTextEndTool(stream, "after its pause, as it still runs");
        Drain(stream, line, size);
    } else {
        do {
            /* The filler is none of the tool's output: a listing compared
             * word for word must not differ by it. */
            if (ReadTextFgets(line, size, stream) && !ReadTextLineIsFiller(stream) && pLine &&
                pLine(pContext, line)) {
                pRun->stoppedEarly = 1;
                break;
            }
        } while (CheckEOF(stream) == 0);
        if (flags & SKW_RUN_TO_END)
            ReadToEnd(stream, line, size);
        else if (flags & SKW_RUN_DRAIN)
            Drain(stream, line, size);
    }
    pRun->state = ReadTextToolState(stream, &pRun->exitCode);
    pRun->plainText = ReadTextPlainText(stream);
    ReadTextPclose(stream);
    return 1;
}
