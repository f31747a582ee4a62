/* macflip.h - the group-reversed form of a MAC address text. */
#ifndef MACFLIP_H
#define MACFLIP_H

/* Writes into altMac the six two-character groups of mac in reverse order:
 * 001122334455 gives 554433221100.  Exactly 12 characters, no terminator;
 * the caller gives a zero-filled buffer.  A mac shorter than 12 characters
 * writes nothing. */
void FlipMac1(char *altMac, const char *mac);

#endif
