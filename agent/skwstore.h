/* skwstore.h - the agent's credential store, through its security tool
 * SKWSECCMD: list, add, delete.  Nothing else runs SKWSECCMD. */
#ifndef SKWSTORE_H
#define SKWSTORE_H

#include "kovawin.h"

#include "kovaskw.h"
#include "skwparse.h" /* SKW_CRED_...: what a listing says */

/* 1 when the listing, the addition of (host, userId, password) and the
 * deletion for host all fit the agent's command line whole. */
int SKWStoreCommandsFit(const char *host, const char *userId, const char *password);

/* Lists host's credential: SKW_CRED_NONE only from the agent's own word,
 * SKW_CRED_ONE with *ppListed showing it, SKW_CRED_UNKNOWN for anything
 * else.  The record stays valid until the next listing. */
int SKWStoreList(const char *host, tSKWPasswordData **ppListed);
/* Stores or deletes, running the tool to its end (the pipe bounds it).
 * 1 when the tool started. */
int SKWStoreAdd(const char *host, const char *userId, const char *password);
int SKWStoreDelete(const char *host);

#endif
