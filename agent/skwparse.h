/* skwparse.h - reading the agent tools' output, one line at a time.
 *
 * The tool-running half of the adapter (kovaskw.cpp) feeds each line it
 * reads to these scanners; they keep the state between lines, so they can
 * be fed from memory as well as from a child process.  Lines are those of
 * ReadTextFgets: at most SKW_LINE_LEN - 1 characters, normally ending in a
 * line feed.  The attribute scanner splits its line in place with strtok
 * and must run on the main thread only; the credential scanner only cuts
 * the line end off. */
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

#define SKW_CRED_TEXT_LEN 2048    /* the listing's wording, terminator included */
#define SKW_CRED_HOST_MARK '\x01' /* the host's text in the wording */

/* The scan of one listing.  It holds the listing's wording, and the caller
 * must clear it with SKWCredentialScanClear once it has used it. */
typedef struct tCredentialScan {
    int lines;     /* lines examined */
    int nonBlank;  /* lines that hold more than blanks */
    int hosts;     /* HOST=, USERID= and PWD= attributes read */
    int userIds;
    int passwords;
    int unclear;   /* an attribute line not read to its end, a value that
                    * cannot go back whole, a credential in another wording
                    * or past the tenth line, trouble, a control character,
                    * a cut line, no room for the wording */
    int wordingCut; /* the wording stopped at an attribute line: it is not
                     * the whole listing's */
    size_t textLength;
    const char *host; /* the host asked for */
    /* The lines without attributes: their words joined by single spaces,
     * non-blank lines joined by line feeds (blank lines left out), the
     * host's text, standing alone (any case, no letter or digit beside
     * it), as SKW_CRED_HOST_MARK. */
    char text[SKW_CRED_TEXT_LEN];
} tCredentialScan;

void SKWCredentialScanStart(tCredentialScan *pScan, tSKWPasswordData *pPasswd, const char *host);
/* Cuts the line end (LF, CR LF) off line; leaves the rest as it is. */
void SKWCredentialScanLine(tCredentialScan *pScan, tSKWPasswordData *pPasswd, char *line);
/* The state of the store for host, once the listing has ended.  NONE
 * rests on this listing alone: confirm it with SKWCredentialScanSameWording
 * against the listing of a host that cannot have a credential. */
int SKWCredentialScanState(const tCredentialScan *pScan, const tSKWPasswordData *pPasswd,
                           const char *host);
/* 1 when both scans hold the whole wording of their listings (nothing
 * unclear, no attribute) and the two are the same word for word, each
 * with its own host's text replaced. */
int SKWCredentialScanSameWording(const tCredentialScan *pA, const tCredentialScan *pB);
/* Zeroes the scan record. */
void SKWCredentialScanClear(tCredentialScan *pScan);

#endif
