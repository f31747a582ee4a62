/* wolmac.h - MAC text and the magic frame: the engine's digit rule, the
 * byte variants of one MAC address, and the 102-byte frame that carries one. */
#ifndef WOLMAC_H
#define WOLMAC_H

#include "kovawin.h"

#define WOL_MAC_LEN 6  /* bytes of one MAC address */
#define WOL_NUM_MACS 16 /* MAC copies in a frame */
#define WOL_SYNC_LEN 6 /* the 0xFF bytes that open a frame */
#define WOL_FRAME_LEN (WOL_SYNC_LEN + WOL_NUM_MACS * WOL_MAC_LEN)
static_assert(WOL_FRAME_LEN == 102, "a magic packet is 6 sync bytes and 16 MAC copies");

/* The sync bytes of every frame (0-5; the front end sets them before each
 * wake) and the copies per frame. */
extern unsigned char sequence[7];
extern int numOfMacs;

/* Converts text by the engine's digit rule (letters A-F/a-f stand for
 * 10-15, every other character for its low four bits, missing characters
 * for 0) into count bytes, two characters per byte, high nibble first.
 * Reads at most 2 * count characters and stops at the terminating NUL. */
void WolTextToBytes(const char *text, unsigned char *bytes, int count);

/* The variants a sender wakes besides the MAC itself: its bytes in reverse
 * order, and each byte with its bits in reverse order. */
void WolReverseByteOrder(unsigned char *reversed, const unsigned char *mac);
void WolReverseBits(unsigned char *reversed, const unsigned char *mac);

/* Writes the 102-byte magic packet for one MAC variant, every byte of it:
 * the sync bytes, numOfMacs copies, zero after them. */
void WolBuildFrame(unsigned char *frame, const unsigned char *mac);

#endif
