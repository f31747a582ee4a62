/* skwparse.h - reading the agent tools' output, one line at a time.
 *
 * The tool-running half of the adapter (kovaskw.cpp) feeds each line it
 * reads to these scanners; they keep the state between lines, so they can
 * be fed from memory as well as from a child process.  Lines are those of
 * ReadTextFgets: at most SKW_LINE_LEN - 1 characters, normally ending in a
 * line feed.  The attribute and credential scanners split their line in
 * place with strtok and must run on the main thread only. */
#ifndef SKWPARSE_H
#define SKWPARSE_H

#include "kovawin.h"

#include "kovaskw.h"
#include "kovatext.h"

#define SKW_MAC_BUF_LEN 26 /* the two MAC buffers of the listing scan */
#define SKW_CRED_MAX_LINES 10

/* Tag text to an unsigned 32-bit tag by the strtol rule of the base (0 or
 * 16; base 16 accepts a "0x" prefix).  1 when valid; 0 for a signed tag or
 * one above 0xFFFFFFFF, and *pTag is then left alone.  No digits give 0. */
int SKWParseTag(const char *text, int base, uint32_t *pTag);

/* The number of a result line: the first "RC=" followed by optional white
 * space, an optional sign and at least one digit.  1 when the line is a
 * result line; *pInRange is 0 when the number does not fit 32 bits. */
int SKWParseResultLine(const char *line, int32_t *pNumber, int *pInRange);

/* --- SKWGetSystagAndName: blocks of tag line, address line, MAC line --- */
#define SKW_LISTING_NO_BLOCK 0
#define SKW_LISTING_AFTER_TAG 1 /* the next line may be the address line */
#define SKW_LISTING_IN_BLOCK 2

typedef struct tListingScan {
    char mac1[SKW_MAC_BUF_LEN]; /* the caller's form */
    char mac2[SKW_MAC_BUF_LEN]; /* the group-reversed form */
    char line1[SKW_LINE_LEN];   /* tag line of the open block */
    char line3[SKW_LINE_LEN];   /* its address line, or empty */
    int state;
} tListingScan;

void SKWListingScanStart(tListingScan *pScan, const char *macAddress);
/* 1 when this line completes a match (the block's tag is valid). */
int SKWListingScanLine(tListingScan *pScan, const char *line);
/* Fills the record from the matched block: systag, sysname (kept when the
 * tag line names none), address (empty without an address line). */
void SKWListingScanFill(const tListingScan *pScan, tSystagAndName *pRecord);

/* --- SKWGetSystag: one buffer, the caller's MAC form only --- */
typedef struct tTagScan {
    char mac[SKW_MAC_BUF_LEN];
    uint32_t systag;
    int tagValid;
    int inBlock;
} tTagScan;

void SKWTagScanStart(tTagScan *pScan, const char *macAddress);
/* 1 when this line matches; the tag is then pScan->systag. */
int SKWTagScanLine(tTagScan *pScan, const char *line);

/* --- SKWRequestClientInfo: attribute tokens of one line --- */
void SKWAttributeLine(tSystemData *pSystemData, char *line);

/* --- SKWGetPassword: what /LISTOUT showed --- */
#define SKW_CRED_UNKNOWN 0 /* do not touch the store */
#define SKW_CRED_NONE 1    /* no credential at all */
#define SKW_CRED_ONE 2     /* one credential, whole, for the host */

typedef struct tCredentialScan {
    int lines;     /* lines examined */
    int hosts;     /* HOST=, USERID= and PWD= tokens seen */
    int userIds;
    int passwords;
    int unclear;   /* a value that cannot go back whole, a credential in
                    * another wording or past the tenth line, an error */
    const char *host; /* the host asked for */
} tCredentialScan;

void SKWCredentialScanStart(tCredentialScan *pScan, tSKWPasswordData *pPasswd, const char *host);
void SKWCredentialScanLine(tCredentialScan *pScan, tSKWPasswordData *pPasswd, char *line);
/* The state of the store for host, once the listing has ended. */
int SKWCredentialScanState(const tCredentialScan *pScan, const tSKWPasswordData *pPasswd,
                           const char *host);

#endif
