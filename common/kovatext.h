/* kovatext.h - text rules that the engine, the adapter and wakelan share:
 * the length of a MAC text, hexadecimal digits and the atoi-form number. */
#ifndef KOVATEXT_H
#define KOVATEXT_H

#include "kovawin.h"

#define KOVA_MAC_TEXT_LEN 12 /* hexadecimal digits of one MAC address */

/* The value of a hexadecimal digit (0-9, A-F, a-f), or -1 for any other
 * character. */
int KovaHexDigitValue(char c);
int KovaIsHexDigit(char c);

/* The atoi rule on 32 bits (blanks, a sign, decimal digits up to the first
 * other character), saturating instead of wrapping, so that both builds
 * read a long number alike.  *pDigits: digits seen; *pInRange: the number
 * fits.  Either pointer may be null. */
int32_t KovaReadNumber(const char *text, int *pDigits, int *pInRange);

#endif
