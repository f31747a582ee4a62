/* rtpopen.h - read-only pipe-open: run a console program with its standard
 * output on an anonymous pipe and read it line by line without waiting on
 * an empty pipe. */
#ifndef RTPOPEN_H
#define RTPOPEN_H

#include "kovawin.h"

#define RTP_MAX_INSTANCES 15

typedef struct popenedInstance_s {
    FILE *fileHandle;
    HANDLE hProcess;
    HANDLE hStdin;
    HANDLE hStdout;
    HANDLE hStderr;
    HANDLE hStdinChild;
    HANDLE hStdoutChild;
    HANDLE hStderrChild;
} popenedInstance_s;

FILE *ReadTextPopen(char *command);
char *ReadTextFgets(char *string, int num, FILE *stream);
int CheckEOF(FILE *fileHandle);
int ReadTextPclose(FILE *fileHandle);

/* What became of the tool behind an open stream. */
#define RTP_TOOL_RUNS 0
#define RTP_TOOL_ENDED 1    /* by itself; *pExitCode is its exit code */
#define RTP_TOOL_GIVEN_UP 2 /* ended by us at a limit */
int ReadTextToolState(FILE *stream, DWORD *pExitCode);
/* 1 when every byte the tool has written so far is plain text: no control
 * byte but tab, CR and LF, no DEL, no byte order mark. */
int ReadTextPlainText(FILE *stream);
/* 1 when the line ReadTextFgets last delivered is the older platform's
 * filler, written by the pipe itself after the tool's output. */
int ReadTextLineIsFiller(FILE *stream);
/* Ends the tool behind the stream now, as at a limit: its output ends with
 * what the pipe holds.  1 when it is seen ended. */
int ReadTextEndTool(FILE *stream, const char *why);

int InitPopenedInstances(void);
int AddPopenedInstance(FILE *fileHandle, HANDLE hProcess, HANDLE hStdin, HANDLE hStdout,
                       HANDLE hStderr, HANDLE hStdinChild, HANDLE hStdoutChild,
                       HANDLE hStderrChild);
popenedInstance_s *GetPopenedInstance(FILE *fileHandle);
int DeletePopenedInstance(FILE *fileHandle);

#endif
