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

/* The longest a tool runs from ReadTextPopen to the end of its stream, in
 * milliseconds: the limit on a tool's whole run, and the time its end may
 * take once it is given up. */
uint32_t ReadTextLongestRun(void);

int InitPopenedInstances(void);
int AddPopenedInstance(FILE *fileHandle, HANDLE hProcess, HANDLE hStdin, HANDLE hStdout,
                       HANDLE hStderr, HANDLE hStdinChild, HANDLE hStdoutChild,
                       HANDLE hStderrChild);
popenedInstance_s *GetPopenedInstance(FILE *fileHandle);
int DeletePopenedInstance(FILE *fileHandle);

#endif
