/* kovacred.h - the credential section: a request's change of the agent's
 * credential store as a transaction with a rollback record (the protocol
 * is stated at the top of kovacred.cpp). */
#ifndef KOVACRED_H
#define KOVACRED_H

#include "kovawin.h"

#include "kovaskw.h"

#define CRED_HOST_LEN SKW_CMD_LEN /* a host must fit a command line anyway */

/* How to undo one request's change of the store for one host. */
typedef struct tCredRecord {
    char host[CRED_HOST_LEN];
    int stored;                /* a credential was stored before */
    tSKWPasswordData old;      /* that credential, when stored */
    char tempUserId[SKW_CMD_LEN];
    uint32_t tempSalt;         /* the request's password, salted and hashed */
    uint64_t tempHash;
} tCredRecord;

typedef struct tCredSection {
    HANDLE hMutex;       /* the host's lock, while held */
    uint32_t hash;       /* names the lock and the record */
    int abandoned;       /* the last owner died holding the lock */
    int state;           /* SKW_CRED_...: the store as this section listed it */
    int changed;         /* the request's credential went in: an undo is owed */
    tCredRecord record;
} tCredSection;

/* At the start of every agent command: finishes what dead requests left,
 * at most a few records, once per process. */
void KovaCredRecover(void);

/* A request without credentials: 1 when no repair is pending for host (a
 * record there is dealt with first), 0 when one still is. */
int KovaCredNothingPending(const char *host);

/* Takes host's section, repairs a record left for it and lists the store
 * (pSection->state).  0 when the section cannot be had in time or a repair
 * stays pending: the request is then not made. */
int KovaCredEnter(tCredSection *pSection, const char *host);
/* Inside the section: records how to undo, then stores the request's
 * credential.  1 when it went in (KovaCredUndo owed); 0 when the store was
 * left alone (state not known, or no record could be written). */
int KovaCredChange(tCredSection *pSection, char *userId, char *password);
/* Puts the store back, verifies, forgets the record, leaves the section. */
void KovaCredUndo(tCredSection *pSection);
/* Leaves the section without an undo (nothing was changed). */
void KovaCredLeave(tCredSection *pSection);

/* Provided by the adapter (kovaskw.cpp): lists host's credential and says
 * what the store holds (SKW_CRED_...); *ppPasswd shows the one listed. */
int SKWListCredential(const char *host, tSKWPasswordData **ppPasswd);

#endif
