/* kovacred.h - the credential section: a request's change of the agent's
 * credential store as a transaction with a rollback record (the protocol
 * is stated at the top of kovacred.cpp). */
#ifndef KOVACRED_H
#define KOVACRED_H

#include "kovawin.h"

#include "credrec.h"

typedef struct tCredSection {
    HANDLE hMutex;       /* the host's lock, while held */
    HANDLE hTools;       /* the section's tool marker, inherited by its tools */
    uint32_t hash;       /* names the lock, the marker and the record */
    int changed;         /* the record is written: an undo is owed */
    int repairedAlone;   /* the last repair needed no tool (none, or damaged) */
    tCredRecord record;
} tCredSection;

/* At the start of every agent command: finishes what dead requests left,
 * at most a few records, once per process. */
void KovaCredRecover(void);

/* A request without credentials: 1 when no repair is pending for host (a
 * record there is dealt with first), 0 when one still is. */
int KovaCredNothingPending(const char *host);

/* Takes host's section and puts the console's credential in its place.
 * 1 when a listing shows exactly it there: the request may run, and
 * KovaCredUndo is owed.  0 when it cannot be placed safely: the store is
 * as it was (or its record stays for the next command), the section is
 * left, and the request must not be made. */
int KovaCredPlace(tCredSection *pSection, const char *host, const char *userId,
                  const char *password);
/* Once every tool of the request has ended: puts the store back, verifies,
 * forgets the record, leaves the section.  Nothing when nothing is held. */
void KovaCredUndo(tCredSection *pSection);

#endif
