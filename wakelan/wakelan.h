/* wakelan.h - the console wake tool: command line, address file with
 * ranges, pacing and progress. */
#ifndef WAKELAN_H
#define WAKELAN_H

#include <stddef.h>

#define WL_NAME_MAX 63         /* characters of the program name shown */
#define WL_FILE_NAME_MAX 255   /* characters of the address file's name */
#define WL_LINE_LEN 256        /* one line of the file: 255 characters + NUL */
#define WL_PATH_DIR_LEN 260    /* leading directory part of argv[0] */
#define WL_DEFAULT_DELAY 1     /* milliseconds after each address */

/* Exit status of a run.  Nothing in the system reads it; it is for
 * scripts, so each way a run ends has its own value. */
enum eWakelanExit {
    WL_EXIT_OK = 0,              /* every address sent, "Done.", or /? */
    WL_EXIT_NO_ARGUMENTS = 1,    /* usage text: nothing to do */
    WL_EXIT_BAD_OPTION = 2,      /* unsupported option */
    WL_EXIT_MISSING_VALUE = 3,   /* /d, /f or /b as the last argument */
    WL_EXIT_BAD_DELAY = 4,       /* delay negative or beyond 2147483647 */
    WL_EXIT_LONG_FILE_NAME = 5,  /* /f name over 255 characters */
    WL_EXIT_BAD_BROADCAST = 6,   /* /b value is no IPv4 address */
    WL_EXIT_SEND_ARGUMENT = 7,   /* engine failed for a command-line address */
    WL_EXIT_NO_FILE = 8,         /* address file cannot be opened */
    WL_EXIT_READ_ERROR = 9,      /* address file cannot be read */
    WL_EXIT_SEND_FILE = 10,      /* engine failed for an address of the file */
    WL_EXIT_OUTPUT_LOST = 11,    /* as 0, but some console output could not be written */
    WL_EXIT_BAD_ADDRESS = 12     /* an address names no card: the run ended at it on the
                                    command line; in the file it was skipped */
};

void PrintBanner(const char *pName);
void PrintUsage(const char *pName);
void PrintCannotSend(void);

/* Copies the leading part of pPath up to and including its last backslash
 * into pDest (empty when there is none) and returns pDest; returns NULL,
 * with pDest empty, when that part does not fit into destSize bytes. */
char *GetPathDirectory(char *pDest, size_t destSize, const char *pPath);

/* One run of the tool; returns the process exit status. */
int WakelanMain(int argc, char *argv[]);

#endif
