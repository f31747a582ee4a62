/* wakew32.h - the Wake-on-LAN engine's entry, shared by kova32ex and
 * wakelan. */
#ifndef WAKEW32_H
#define WAKEW32_H

#include "kovawin.h"

#include "kovacodes.h" /* KOVA_WOL_FAILURE */

/* Sends the magic packets for one MAC address text over the first
 * transport that can be set up (kova32ex: IPX, then UDP; wakelan: UDP,
 * then IPX; with a directed broadcast UDP alone).  Returns 0, or 130 when the text is no MAC address, no
 * transport could be set up, or the packets did not go out whole.  The
 * text is not modified. */
int32_t KOVASendWakeOnLAN(char *macAddr);

/* Whether a text names a card: its first twelve characters are
 * hexadecimal digits (whatever follows them is ignored), or it is a
 * separated MAC, six two-digit groups joined by five identical separators
 * (all ':' or all '-') and followed by anything but a hexadecimal digit,
 * ':' or '-'.  Then the twelve digits and a NUL go into plain (13 bytes)
 * and the result is 1; any other text (shorter, or another character among
 * the first twelve) gives 0: a typo must not wake some other card. */
int WolTakeMac(const char *text, char *plain);

/* A directed broadcast asked for (kova32ex's IPBCAST= word, wakelan's /b):
 * while given is set, the frames go to address (network order) from one
 * socket, over UDP alone.  Unset, the limited broadcast leaves by every
 * network of the host.  KOVA_UDP_TARGET wins over both. */
typedef struct tDirectedBroadcast {
    int given;
    uint32_t address;
} tDirectedBroadcast;
extern tDirectedBroadcast directedBroadcast;

/* kova32ex: the IPX network of the WAKE command's IPXNET= word, as text of
 * up to eight characters; all NUL for the local network. */
extern char networkNumber[10];

#endif
