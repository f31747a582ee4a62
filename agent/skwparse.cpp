/* skwparse.cpp - the line scanners of the SkyWarden adapter: the system
 * listing, the attribute lines of one system, the credential listing and
 * the result line of a request.
 *
 * Values sit at fixed distances after their keywords.  Every such distance
 * is checked against the end of the line first, so a line that stops short
 * yields no value rather than whatever lies behind it in memory. */
#include "kovawin.h"

#include <stddef.h>

#include "skwparse.h"

#include "macflip.h"

#define ATTRIBUTE_DELIMITERS ", \t\""
#define QUOTE_DELIMITER "\""
#define NUMBER_LIMIT 0x100000000ull /* past every 32-bit value */

static char emptyValue[1];

/* strlen, but never looks at more than max characters. */
static size_t BoundedLength(const char *text, size_t max)
{
    size_t n = 0;
    while (n < max && text[n] != '\0')
        n++;
    return n;
}

/* The position distance characters into text, or null when text ends
 * before it. */
static const char *ValueAt(const char *text, size_t distance)
{
    return BoundedLength(text, distance) == distance ? text + distance : NULL;
}

static int IsLineEnd(char c)
{
    return c == '\0' || c == '\n' || c == '\r';
}

static int DigitValue(char c, int base)
{
    int v = KovaHexDigitValue(c);
    return v < base ? v : -1;
}

int SKWParseTag(const char *text, int base, uint32_t *pTag)
{
    unsigned long long value = 0;
    int d;

    while (isspace((unsigned char)*text))
        text++;
    if (*text == '+' || *text == '-')
        return 0;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && DigitValue(text[2], 16) >= 0 &&
        (base == 0 || base == 16)) {
        text += 2;
        base = 16;
    } else if (base == 0) {
        base = text[0] == '0' ? 8 : 10;
    }
    for (; (d = DigitValue(*text, base)) >= 0; text++) {
        value = value * (unsigned)base + (unsigned)d;
        if (value >= NUMBER_LIMIT)
            return 0;
    }
    *pTag = (uint32_t)value;
    return 1;
}

int SKWParseResultLine(const char *line, int32_t *pNumber, int *pInRange)
{
    const char *p;
    for (p = strstr(line, "RC="); p; p = strstr(p + 1, "RC=")) {
        int digits;
        int32_t number = KovaReadNumber(p + 3, &digits, pInRange);
        if (digits > 0) {
            *pNumber = number;
            return 1;
        }
    }
    return 0;
}

/* A record field filled like strncpy: the value up to the field's width,
 * the rest zero; a value that fills the field leaves it unterminated. */
static void FillField(char *field, const char *value, size_t size)
{
    size_t n = BoundedLength(value, size);
    memcpy(field, value, n);
    memset(field + n, 0, size - n);
}

/* Bounded copy that always terminates (the MAC and line buffers). */
static void CopyTerminated(char *dest, const char *src, size_t size)
{
    strncpy(dest, src, size - 1);
    dest[size - 1] = '\0';
}

/* ---- The system listing ---------------------------------------------- */

/* 12 characters equal, neither side shorter. */
static int SameMac(const char *value, const char *mac)
{
    return BoundedLength(value, KOVA_MAC_TEXT_LEN) == KOVA_MAC_TEXT_LEN &&
           BoundedLength(mac, KOVA_MAC_TEXT_LEN) == KOVA_MAC_TEXT_LEN && strncmp(value, mac, KOVA_MAC_TEXT_LEN) == 0;
}

/* The tag of a tag line: 7 characters after "SYSTAG", by base base. */
static int TagOfLine(const char *line, int base, uint32_t *pTag)
{
    const char *pSystag = strstr(line, "SYSTAG");
    const char *value = pSystag ? ValueAt(pSystag, 7) : NULL;
    return value ? SKWParseTag(value, base, pTag) : 0;
}

/* The quoted text at pos within one line: an opening quote is skipped, the
 * text runs to the next quote or the line's end.  0 when nothing follows. */
static int QuotedText(const char *pos, char *out, size_t size)
{
    size_t n = 0;
    if (IsLineEnd(*pos))
        return 0;
    if (*pos == '"')
        pos++;
    while (!IsLineEnd(pos[n]) && pos[n] != '"' && n < size - 1)
        n++;
    memcpy(out, pos, n);
    out[n] = '\0';
    return 1;
}

void SKWListingScanStart(tListingScan *pScan, const char *macAddress)
{
    memset(pScan, 0, sizeof(*pScan));
    CopyTerminated(pScan->mac1, macAddress, sizeof(pScan->mac1));
    FlipMac1(pScan->mac2, macAddress);
    pScan->state = SKW_LISTING_NO_BLOCK;
}

static void OpenBlock(tListingScan *pScan, const char *line)
{
    CopyTerminated(pScan->line1, line, sizeof(pScan->line1));
    pScan->line3[0] = '\0';
    pScan->state = SKW_LISTING_AFTER_TAG;
}

static int ListingMacMatches(const tListingScan *pScan, const char *v)
{
    if (SameMac(v, pScan->mac1) || SameMac(v, pScan->mac2))
        return 1;
    /* a two-character prefix such as "0x", not examined */
    if (BoundedLength(v, 2) < 2)
        return 0;
    return SameMac(v + 2, pScan->mac1) || SameMac(v + 2, pScan->mac2);
}

int SKWListingScanLine(tListingScan *pScan, const char *line)
{
    const char *pMac;
    uint32_t tag;

    if (pScan->state == SKW_LISTING_NO_BLOCK) {
        if (strstr(line, "SYSTAG"))
            OpenBlock(pScan, line);
        return 0;
    }
    /* A tag line inside a block starts the next block: a block without a
     * MAC line must not lend its tag to the next block's MAC. */
    if (strstr(line, "SYSTAG")) {
        OpenBlock(pScan, line);
        return 0;
    }
    if (pScan->state == SKW_LISTING_AFTER_TAG) {
        pScan->state = SKW_LISTING_IN_BLOCK;
        if (strstr(line, "ADDR")) {
            CopyTerminated(pScan->line3, line, sizeof(pScan->line3));
            return 0;
        }
    }
    pMac = strstr(line, "MAC=");
    if (!pMac)
        return 0;
    if (ListingMacMatches(pScan, pMac + 4) && TagOfLine(pScan->line1, 0, &tag))
        return 1;
    pScan->state = SKW_LISTING_NO_BLOCK;
    return 0;
}

void SKWListingScanFill(const tListingScan *pScan, tSystagAndName *pRecord)
{
    char value[SKW_LINE_LEN];
    const char *pName = strstr(pScan->line1, "SYSNAME");
    const char *pAddress = strstr(pScan->line3, "ADDR");
    const char *pos;

    TagOfLine(pScan->line1, 0, &pRecord->systag);
    pos = pName ? ValueAt(pName, 9) : NULL;
    if (pos && QuotedText(pos, value, sizeof(value)))
        FillField(pRecord->sysname, value, sizeof(pRecord->sysname));
    if (!pAddress) {
        memset(pRecord->address, 0, sizeof(pRecord->address));
        return;
    }
    pos = ValueAt(pAddress, 6);
    if (pos && QuotedText(pos, value, sizeof(value)))
        FillField(pRecord->address, value, sizeof(pRecord->address));
}

void SKWTagScanStart(tTagScan *pScan, const char *macAddress)
{
    memset(pScan, 0, sizeof(*pScan));
    CopyTerminated(pScan->mac, macAddress, sizeof(pScan->mac));
}

int SKWTagScanLine(tTagScan *pScan, const char *line)
{
    const char *pMac;

    if (strstr(line, "SYSTAG")) {
        pScan->tagValid = TagOfLine(line, 0, &pScan->systag);
        pScan->inBlock = 1;
        return 0;
    }
    if (!pScan->inBlock)
        return 0;
    pMac = strstr(line, "MAC=");
    if (!pMac)
        return 0;
    if (pScan->tagValid && SameMac(pMac + 4, pScan->mac))
        return 1;
    pScan->inBlock = 0;
    return 0;
}

/* ---- Attributes ------------------------------------------------------ */

/* A quoted value whose opening quote is expected distance characters into
 * the token pAttribute: continues the
 * line's tokeniser with the quote alone as delimiter, so the line's
 * tokenising resumes after the closing quote.  Null when the line ends
 * before that position or nothing follows.  A pair of quotes gives an empty value;
 * the tokeniser is then left where it is and skips the pair as delimiters.
 * *pClosed: the value stood between two quotes on this line. */
static char *TakeQuotedValue(char *pAttribute, size_t distance, const char *pLineEnd,
                             int *pClosed)
{
    char *pValue;
    char *value;

    *pClosed = 0;
    if ((size_t)(pLineEnd - pAttribute) <= distance)
        return NULL;
    pValue = pAttribute + distance;
    if (pValue[0] == '"' && pValue[1] == '"') {
        *pClosed = 1;
        return emptyValue;
    }
    value = strtok(pValue, QUOTE_DELIMITER);
    if (value && pValue[0] == '"' && value + strlen(value) < pLineEnd)
        *pClosed = 1;
    return value;
}

/* A flag or keyword match over the keyword's length. */
static int Begins(const char *token, const char *keyword)
{
    return strncmp(token, keyword, strlen(keyword)) == 0;
}

/* How an attribute's value is read into its field. */
enum {
    VALUE_TAG,    /* a hexadecimal tag */
    VALUE_TEXT,   /* the rest of the token */
    VALUE_MAC,    /* the same, always terminated */
    VALUE_QUOTED, /* the text between quotes, spaces included */
    VALUE_TRUE,   /* 1 for "TRUE", else 0 */
    VALUE_LIMIT,  /* a number, or -1 for "DISABLED" */
    VALUE_NUMBER,
    VALUE_FLAG,   /* the keyword alone sets 1 */
    VALUE_NONE    /* recognised; its value has no settled layout */
};

typedef struct tAttribute {
    const char *keyword;
    size_t keywordLen; /* a token matches over the keyword's length */
    size_t distance;   /* from the token's start to its value */
    int kind;
    size_t offset;     /* the field of tSystemData */
    size_t size;
} tAttribute;

/* lead: what stands between the keyword and the value. */
#define ATTRIBUTE(keyword, lead, kind, field)                                                    \
    {keyword,           sizeof(keyword) - 1,           sizeof(keyword lead) - 1, kind,          \
     offsetof(tSystemData, field), sizeof(((tSystemData *)0)->field)}

/* First match wins, in this order. */
static const tAttribute attributes[] = {
    ATTRIBUTE("SYSTAG", "=", VALUE_TAG, systag),
    ATTRIBUTE("SYSNAME", "=\"", VALUE_QUOTED, sysname),
    ATTRIBUTE("PROTO", "=", VALUE_TEXT, proto),
    ATTRIBUTE("ADDR", "=\"", VALUE_QUOTED, addr),
    ATTRIBUTE("ONLINE", "=", VALUE_TRUE, online),
    ATTRIBUTE("ONLN", "=", VALUE_LIMIT, onln),
    ATTRIBUTE("OFFLN", "=", VALUE_LIMIT, offln),
    ATTRIBUTE("PING", "=", VALUE_NUMBER, ping),
    ATTRIBUTE("GRPLIST", "=", VALUE_NONE, grplist),
    ATTRIBUTE("ERRORCOND", "=", VALUE_NONE, errorcond),
    ATTRIBUTE("OS", "=", VALUE_TEXT, os),
    ATTRIBUTE("MANAGER", "", VALUE_FLAG, manager),
    ATTRIBUTE("SERVER", "", VALUE_FLAG, server),
    ATTRIBUTE("MAC", "=", VALUE_MAC, mac),
    ATTRIBUTE("SHUTDOWN", "", VALUE_FLAG, shutdown),
    ATTRIBUTE("POWERDOWN", "", VALUE_FLAG, powerdown),
    ATTRIBUTE("WAKEONLAN", "", VALUE_FLAG, wakeonlan),
    ATTRIBUTE("WEBMGR", "", VALUE_FLAG, webmgr),
};

/* Reads the value of the attribute pRow from the token pAttribute. */
static void StoreAttribute(tSystemData *pSystemData, const tAttribute *pRow, char *pAttribute,
                           const char *pLineEnd)
{
    char *field = (char *)pSystemData + pRow->offset;
    int32_t *pNumber = (int32_t *)(void *)field;
    const char *value;
    int closed;

    if (pRow->kind == VALUE_NONE)
        return;
    if (pRow->kind == VALUE_FLAG) {
        *pNumber = 1;
        return;
    }
    if (pRow->kind == VALUE_QUOTED) {
        char *quoted = TakeQuotedValue(pAttribute, pRow->distance, pLineEnd, &closed);
        if (quoted)
            FillField(field, quoted, pRow->size);
        return;
    }
    value = ValueAt(pAttribute, pRow->distance);
    if (!value)
        return;
    switch (pRow->kind) {
    case VALUE_TAG:
        SKWParseTag(value, 16, (uint32_t *)(void *)field);
        break;
    case VALUE_TEXT:
    case VALUE_MAC:
        FillField(field, value, pRow->size);
        if (pRow->kind == VALUE_MAC)
            field[pRow->size - 1] = '\0';
        break;
    case VALUE_TRUE:
        *pNumber = Begins(value, "TRUE");
        break;
    case VALUE_LIMIT:
        *pNumber = Begins(value, "DISABLED") ? -1 : KovaReadNumber(value, NULL, NULL);
        break;
    case VALUE_NUMBER:
        *pNumber = KovaReadNumber(value, NULL, NULL);
        break;
    }
}

static int PopulateSystemDataInLine(tSystemData *pSystemData, char *pAttribute,
                                    const char *pLineEnd)
{
    size_t i;

    for (i = 0; i < sizeof(attributes) / sizeof(attributes[0]); i++) {
        if (strncmp(pAttribute, attributes[i].keyword, attributes[i].keywordLen) == 0) {
            StoreAttribute(pSystemData, &attributes[i], pAttribute, pLineEnd);
            return 1;
        }
    }
    return 0;
}

/* A token handed over on its own is taken as a line of its own.  Nothing
 * here calls it: it serves outside code linked with the adapter. */
int PopulateSystemData(tSystemData *pSystemData, char *pAttribute)
{
    return PopulateSystemDataInLine(pSystemData, pAttribute, pAttribute + strlen(pAttribute));
}

void SKWAttributeLine(tSystemData *pSystemData, char *line)
{
    const char *pLineEnd = line + strlen(line);
    char *token;
    for (token = strtok(line, ATTRIBUTE_DELIMITERS); token;
         token = strtok(NULL, ATTRIBUTE_DELIMITERS))
        PopulateSystemDataInLine(pSystemData, token, pLineEnd);
}

/* ---- Credentials ----------------------------------------------------- */

/* A listing tells "no credential" only by positive evidence, and "this
 * credential" only in the documented form, HOST= "h" USERID= "u" PWD= "p",
 * each value whole.  Anything that might be a credential in another
 * wording (a table, colons, lower case, spaces around "=", HOSTNAME=) or an
 * error message leaves the store's state unknown: a credential mistaken
 * for none would be deleted. */
typedef struct tCredentialKey {
    const char *keyword;
    size_t keywordLen;
    size_t distance; /* to the value, past its opening quote */
    size_t field;    /* in tSKWPasswordData */
    size_t counter;  /* in tCredentialScan: how many were seen */
} tCredentialKey;

#define CREDENTIAL(keyword, field, counter)                                                     \
    {keyword, sizeof(keyword) - 1, sizeof(keyword "\"") - 1, offsetof(tSKWPasswordData, field), \
     offsetof(tCredentialScan, counter)}

static const tCredentialKey credentialKeys[] = {
    CREDENTIAL("HOST=", host, hosts),
    CREDENTIAL("USERID=", userId, userIds),
    CREDENTIAL("PWD=", password, passwords),
};

#define CREDENTIAL_KEYS (sizeof(credentialKeys) / sizeof(credentialKeys[0]))
#define CREDENTIAL_FIELD_LEN sizeof(((tSKWPasswordData *)0)->host) /* all three alike */

/* Words that start a token which may name a credential, in any case. */
static const char *const credentialWords[] = {"HOST", "USER", "PWD", "PASS"};
/* The bare column titles: a line of only these says nothing. */
static const char *const columnTitles[] = {"HOST", "USERID", "PWD"};
/* Words of a line that reports a failure, in any case. */
static const char *const errorWords[] = {"ERROR",  "FAIL",    "DENIED",  "CANNOT",
                                         "UNABLE", "INVALID", "UNKNOWN", "USAGE"};

#define COUNT_OF(a) (sizeof(a) / sizeof((a)[0]))

/* Compares n characters ignoring letter case; 0 when equal. */
static int CompareNoCase(const char *a, const char *b, size_t n)
{
    size_t i;
    for (i = 0; i < n; i++) {
        int ca = toupper((unsigned char)a[i]), cb = toupper((unsigned char)b[i]);
        if (ca != cb || ca == '\0')
            return ca - cb;
    }
    return 0;
}

static int BeginsNoCase(const char *token, const char *word)
{
    return CompareNoCase(token, word, strlen(word)) == 0;
}

static int ContainsNoCase(const char *line, const char *word)
{
    size_t n = strlen(word);
    for (; *line; line++)
        if (CompareNoCase(line, word, n) == 0)
            return 1;
    return 0;
}

static int InList(const char *token, const char *const *words, size_t count, int anyCase)
{
    size_t i;
    for (i = 0; i < count; i++)
        if (anyCase ? BeginsNoCase(token, words[i]) : strcmp(token, words[i]) == 0)
            return 1;
    return 0;
}

static const tCredentialKey *CredentialKeyOf(const char *token)
{
    size_t i;
    for (i = 0; i < CREDENTIAL_KEYS; i++)
        if (strncmp(token, credentialKeys[i].keyword, credentialKeys[i].keywordLen) == 0)
            return &credentialKeys[i];
    return NULL;
}

/* The key of a HOST=, USERID= or PWD= token, its value stored, or null;
 * *pFits: the value stood between quotes and fits its field with the
 * terminator. */
static const tCredentialKey *PopulatePasswordInLine(tSKWPasswordData *pPasswdData,
                                                    char *pAttribute, const char *pLineEnd,
                                                    int *pFits)
{
    const tCredentialKey *pKey = CredentialKeyOf(pAttribute);
    char *value;
    int closed;

    if (!pKey)
        return NULL;
    value = TakeQuotedValue(pAttribute, pKey->distance, pLineEnd, &closed);
    if (value)
        FillField((char *)pPasswdData + pKey->field, value, CREDENTIAL_FIELD_LEN);
    *pFits = value && closed && BoundedLength(value, CREDENTIAL_FIELD_LEN) < CREDENTIAL_FIELD_LEN;
    return pKey;
}

/* Nothing here calls it: it serves outside code linked with the adapter. */
int SKWPopulatePasswordData(tSKWPasswordData *pPasswdData, char *pAttribute)
{
    int fits;
    return PopulatePasswordInLine(pPasswdData, pAttribute, pAttribute + strlen(pAttribute),
                                  &fits) != NULL;
}

/* A documented value that the command line can carry back whole: its
 * closing quote on the line (its end already cut off), then a delimiter
 * or the line end; no control
 * character; no backslash at its end, which would escape the closing
 * quote.  value: just past the opening quote. */
static int WholeValue(const char *value)
{
    const char *close = strchr(value, '"');
    const char *p;

    if (!close || (close > value && close[-1] == '\\'))
        return 0;
    for (p = value; p < close; p++)
        if ((unsigned char)*p < 0x20 || *p == 0x7F)
            return 0;
    p = close + 1;
    return *p == '\0' || *p == ',' || *p == ' ' || *p == '\t';
}

void SKWCredentialScanStart(tCredentialScan *pScan, tSKWPasswordData *pPasswd, const char *host)
{
    memset(pScan, 0, sizeof(*pScan));
    memset(pPasswd, 0, sizeof(*pPasswd));
    pScan->host = host;
}

void SKWCredentialScanLine(tCredentialScan *pScan, tSKWPasswordData *pPasswd, char *line)
{
    static char original[SKW_LINE_LEN]; /* the line before strtok cuts it */
    size_t length = strlen(line);
    const char *pLineEnd;
    const tCredentialKey *pKey;
    char *token;
    int fits, titles = 1, suspect = 0;
    size_t i;

    /* The line end is no part of the last token. */
    if (length > 0 && line[length - 1] == '\n')
        line[--length] = '\0';
    if (length > 0 && line[length - 1] == '\r')
        line[--length] = '\0';
    pLineEnd = line + length;
    pScan->lines++;
    for (i = 0; i < COUNT_OF(errorWords); i++)
        if (ContainsNoCase(line, errorWords[i]))
            pScan->unclear = 1;
    snprintf(original, sizeof(original), "%s", line);
    for (token = strtok(line, ATTRIBUTE_DELIMITERS); token;
         token = strtok(NULL, ATTRIBUTE_DELIMITERS)) {
        pKey = CredentialKeyOf(token);
        /* Documented: the keyword alone, one space, the opening quote. */
        if (pKey && token[pKey->keywordLen] == '\0' &&
            original[token - line + pKey->keywordLen] == ' ' &&
            token + pKey->distance < pLineEnd && token[pKey->distance] == '"') {
            titles = 0;
            /* Lines past the limit are not parsed into the record; a
             * credential among them leaves the store's state unknown. */
            if (pScan->lines > SKW_CRED_MAX_LINES) {
                pScan->unclear = 1;
                continue;
            }
            PopulatePasswordInLine(pPasswd, token, pLineEnd, &fits);
            if (!fits || !WholeValue(original + (token - line) + pKey->distance + 1))
                pScan->unclear = 1;
            (*(int *)(void *)((char *)pScan + pKey->counter))++;
            continue;
        }
        if (pKey)
            suspect = 1; /* a keyword glued to its value, or without one */
        if (!InList(token, columnTitles, COUNT_OF(columnTitles), 0))
            titles = 0;
        if (InList(token, credentialWords, COUNT_OF(credentialWords), 1) ||
            (pScan->host && CompareNoCase(token, pScan->host, strlen(pScan->host) + 1) == 0))
            suspect = 1;
    }
    if (suspect && !titles)
        pScan->unclear = 1;
}

int SKWCredentialScanState(const tCredentialScan *pScan, const tSKWPasswordData *pPasswd,
                           const char *host)
{
    if (pScan->unclear || pScan->lines == 0)
        return SKW_CRED_UNKNOWN; /* a tool that printed nothing said nothing */
    if (pScan->hosts == 0 && pScan->userIds == 0 && pScan->passwords == 0)
        return SKW_CRED_NONE;
    if (pScan->hosts == 1 && pScan->userIds == 1 && pScan->passwords == 1 &&
        BoundedLength(pPasswd->host, sizeof(pPasswd->host)) < sizeof(pPasswd->host) &&
        strcmp(pPasswd->host, host) == 0)
        return SKW_CRED_ONE;
    return SKW_CRED_UNKNOWN;
}
