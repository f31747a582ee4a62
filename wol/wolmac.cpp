/* wolmac.cpp - MAC text and the magic frame: which texts name a card, the
 * engine's digit rule, the byte variants and the frame. */
#include "kovawin.h"

#include "kovatext.h"
#include "wakew32.h"
#include "wolmac.h"

unsigned char sequence[7];
int numOfMacs = WOL_NUM_MACS;

/* The engine's own digit rule, not a hexadecimal value: any character but
 * a letter A-F stands for its low four bits ("G" gives 7).  A MAC text
 * reaches it as twelve hexadecimal digits (WolTakeMac); the IPXNET= text
 * of the console is converted as written, as it always has been. */
static int HexValue(char c)
{
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return c & 0x0F;
}

void WolTextToBytes(const char *text, unsigned char *bytes, int count)
{
    int i;
    int ended = 0;
    for (i = 0; i < count; i++) {
        int high = 0, low = 0;
        if (!ended && text[2 * i] != '\0')
            high = HexValue(text[2 * i]);
        else
            ended = 1;
        if (!ended && text[2 * i + 1] != '\0')
            low = HexValue(text[2 * i + 1]);
        else
            ended = 1;
        bytes[i] = (unsigned char)(((high << 4) & 0xF0) | (low & 0x0F));
    }
}

/* Six two-digit groups joined by five identical separators (all ':' or all
 * '-'), followed by anything but a hexadecimal digit, ':' or '-' (the end,
 * a blank, a tab, a line end, ...): the twelve digits go into plain. */
static int JoinSeparatedMac(const char *text, char *plain)
{
    char separator = text[0] != '\0' && text[1] != '\0' ? text[2] : '\0';
    int group;

    if (separator != ':' && separator != '-')
        return 0;
    /* Each character is looked at only after the one before it proved not
     * to be the terminator. */
    for (group = 0; group < 6; group++) {
        const char *p = text + 3 * group;
        if (!KovaIsHexDigit(p[0]) || !KovaIsHexDigit(p[1]))
            return 0;
        if (group < 5 && p[2] != separator)
            return 0;
    }
    /* "00-A0-C9-12-34-567" or "...-56-78" is no six-group address. */
    if (KovaIsHexDigit(text[17]) || text[17] == ':' || text[17] == '-')
        return 0;
    for (group = 0; group < 6; group++) {
        plain[2 * group] = text[3 * group];
        plain[2 * group + 1] = text[3 * group + 1];
    }
    plain[KOVA_MAC_TEXT_LEN] = '\0';
    return 1;
}

int WolTakeMac(const char *text, char *plain)
{
    int i;

    if (JoinSeparatedMac(text, plain))
        return 1;
    /* The terminator is no digit, so a short text stops the loop. */
    for (i = 0; i < KOVA_MAC_TEXT_LEN; i++) {
        if (!KovaIsHexDigit(text[i]))
            return 0;
        plain[i] = text[i];
    }
    plain[KOVA_MAC_TEXT_LEN] = '\0';
    return 1;
}

void WolReverseByteOrder(unsigned char *reversed, const unsigned char *mac)
{
    int i;
    for (i = 0; i < WOL_MAC_LEN; i++)
        reversed[i] = mac[WOL_MAC_LEN - 1 - i];
}

void WolReverseBits(unsigned char *reversed, const unsigned char *mac)
{
    int i, bit;
    for (i = 0; i < WOL_MAC_LEN; i++) {
        reversed[i] = 0;
        for (bit = 0; bit < 8; bit++)
            if (mac[i] & (1 << bit))
                reversed[i] |= (unsigned char)(0x80 >> bit);
    }
}

void WolBuildFrame(unsigned char *frame, const unsigned char *mac)
{
    int k;
    memset(frame, 0, WOL_FRAME_LEN);
    memcpy(frame, sequence, WOL_SYNC_LEN);
    for (k = 0; k < numOfMacs; k++)
        memcpy(frame + WOL_SYNC_LEN + k * WOL_MAC_LEN, mac, WOL_MAC_LEN);
}
