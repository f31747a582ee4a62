/* kovatext.cpp - text rules shared by the engine, the adapter and wakelan:
 * hexadecimal digits, the saturating atoi-form number, the IPv4 address
 * and the test aids' times. */
#include "kovawin.h"

#include "kovatext.h"

#include <stdlib.h>

#define NUMBER_LIMIT 0x100000000ull /* past every 32-bit value */

int KovaHexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int KovaIsHexDigit(char c)
{
    return KovaHexDigitValue(c) >= 0;
}

int32_t KovaReadNumber(const char *text, int *pDigits, int *pInRange)
{
    unsigned long long magnitude = 0;
    int negative = 0;
    int digits = 0;

    while (isspace((unsigned char)*text))
        text++;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    for (; *text >= '0' && *text <= '9'; text++, digits++) {
        if (magnitude < NUMBER_LIMIT)
            magnitude = magnitude * 10 + (unsigned)(*text - '0');
    }
    if (pDigits)
        *pDigits = digits;
    if (negative ? magnitude > 0x80000000ull : magnitude > 0x7FFFFFFFull) {
        if (pInRange)
            *pInRange = 0;
        return negative ? INT32_MIN : INT32_MAX;
    }
    if (pInRange)
        *pInRange = 1;
    return negative ? (int32_t)(0 - (int64_t)magnitude) : (int32_t)magnitude;
}

int KovaReadIPv4(const char *text, uint32_t *pAddress)
{
    uint32_t address = 0;
    int part;

    for (part = 0; part < 4; part++) {
        unsigned value = 0;
        int digits = 0;
        /* The value stops growing past 255, so any run of leading zeros
         * is read and no run of digits overflows. */
        for (; *text >= '0' && *text <= '9'; text++, digits++) {
            value = value * 10 + (unsigned)(*text - '0');
            if (value > 255)
                return 0;
        }
        if (digits == 0 || *text != (part < 3 ? '.' : '\0'))
            return 0;
        address = (address << 8) | value;
        text++;
    }
    /* Built high byte first: the first number is the first byte on the
     * wire. */
    *pAddress = htonl(address);
    return 1;
}

int KovaEnvironmentMs(const char *name, uint32_t *pMs)
{
    const char *pValue = getenv(name);
    char *pEnd;
    unsigned long value;

    if (!pValue || !*pValue)
        return 0;
    value = strtoul(pValue, &pEnd, 10);
    if (*pEnd != '\0' || value > 0x7FFFFFFFul)
        return 0;
    *pMs = (uint32_t)value;
    return 1;
}
