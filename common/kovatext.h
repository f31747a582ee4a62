/* kovatext.h - text rules that the engine, the adapter and wakelan share:
 * the length of a MAC text, hexadecimal digits, the atoi-form number, an
 * IPv4 address and the test aids' times. */
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

/* An IPv4 address in dotted decimal: four decimal numbers 0 to 255 joined
 * by dots (leading zeros read as decimal, so 010 is ten), with nothing
 * before, between or after them; inet_addr's other forms (127.1, hex,
 * octal) are no address here.  1 and *pAddress in network order, else 0. */
int KovaReadIPv4(const char *text, uint32_t *pAddress);

/* A time in milliseconds from the environment variable name (test aids):
 * 1 and *pMs when it holds a decimal number from 0 to 0x7FFFFFFF and
 * nothing else, 0 when it is unset or holds anything else. */
int KovaEnvironmentMs(const char *name, uint32_t *pMs);

#endif
