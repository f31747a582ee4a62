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

int InitPopenedInstances(void);
int AddPopenedInstance(FILE *fileHandle, HANDLE hProcess, HANDLE hStdin, HANDLE hStdout,
                       HANDLE hStderr, HANDLE hStdinChild, HANDLE hStdoutChild,
                       HANDLE hStderrChild);
popenedInstance_s *GetPopenedInstance(FILE *fileHandle);
int DeletePopenedInstance(FILE *fileHandle);

#endif
