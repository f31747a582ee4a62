/* macflip.cpp - the group-reversed form of a MAC address text. */
#include "kovawin.h"

#include "macflip.h"
#include "kovatext.h"

void FlipMac1(char *altMac, const char *mac)
{
    int i;

    /* A short text has no six groups to reverse; never read past it. */
    for (i = 0; i < KOVA_MAC_TEXT_LEN; i++) {
        if (mac[i] == '\0')
            return;
    }
    for (i = 0; i < 6; i++) {
        altMac[2 * i] = mac[10 - 2 * i];
        altMac[2 * i + 1] = mac[11 - 2 * i];
    }
}
