/* credrec.h - the credential section's rollback record on disk: how to undo
 * one request's change of the agent's store for one host. */
#ifndef CREDREC_H
#define CREDREC_H

#include "kovawin.h"

#include "kovaskw.h"

#define CRED_HOST_LEN SKW_CMD_LEN /* a host must fit a command line anyway */

typedef struct tCredRecord {
    char host[CRED_HOST_LEN];
    int stored;                /* a credential was stored before */
    tSKWPasswordData old;      /* that credential, when stored */
    char tempUserId[SKW_CMD_LEN];
    uint32_t tempSalt;         /* the request's password, salted and hashed */
    uint64_t tempHash;
} tCredRecord;

#define CRED_RECORD_NONE 0
#define CRED_RECORD_OK 1
#define CRED_RECORD_BAD 2 /* damaged, or sealed for someone else: moved aside */

/* 32-bit FNV-1a of a host: names its lock and its record. */
uint32_t CredHashHost(const char *host);

/* Writes the record whole or not at all; 1 when it is there.  0 also
 * when the state folder is not the user's alone (nothing is written). */
int CredRecordSave(uint32_t hash, const tCredRecord *pRecord);
/* CRED_RECORD_NONE, CRED_RECORD_OK (*pRecord filled) or CRED_RECORD_BAD:
 * a record that was read and cannot be used is moved aside (".BAD"), and
 * the hash stays BAD while that file is there. */
int CredRecordLoad(uint32_t hash, tCredRecord *pRecord);
/* A record, or a moved-aside one, is there. */
int CredRecordExists(uint32_t hash);
void CredRecordForget(uint32_t hash);
/* Removes a temporary record whose writer died before its rename. */
void CredRecordDropTemporary(uint32_t hash);
/* The hashes of the records and temporary records in the folder, each
 * once, at most max; their count. */
int CredRecordList(uint32_t *hashes, int max);

#endif
