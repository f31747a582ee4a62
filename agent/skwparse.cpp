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
 * each value whole.  A line that holds a keyword or a double quote must be
 * made of separators and whole attributes and nothing else.  Any other
 * line must hold nothing that might be a credential in another wording (a
 * table, colons, lower case, spaces around "=", HOSTNAME=) and no word
 * that reports trouble.  Anything else leaves the store's state unknown: a
 * credential mistaken for none would be deleted. */
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

/* Words that may name a credential, in any case. */
static const char *const credentialWords[] = {"HOST", "USER", "PWD", "PASS"};
/* The bare column titles: a line of only these says nothing. */
static const char *const columnTitles[] = {"HOST", "USERID", "PWD"};
/* Text that reports trouble wherever it stands, in any case. */
static const char *const troubleTexts[] = {"ERROR",  "FAIL",    "DENIED",  "CANNOT",
                                           "UNABLE", "INVALID", "UNKNOWN", "USAGE"};
/* Words that report trouble by their beginning, in any case.  An agent
 * that cannot reach its store may say so in words like the last four too;
 * such a message reads the same for every host, so the word-for-word
 * comparison could not tell it from "none". */
static const char *const troubleStarts[] = {"LOCK",  "BUSY",    "UNAVAILABLE", "TIMEOUT",
                                            "TIMED", "AGAIN",   "REFUS",       "UNREACH",
                                            "ABORT", "EXCEPTION"};
/* Negations that end a word ("isn't", "can't"), plain and typographic. */
static const char *const negations[] = {"N'T", "N\xE2\x80\x99T"};

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

static int IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

static int IsSeparator(char c)
{
    return c == ',' || IsBlank(c);
}

/* Letters, digits and every byte past ASCII: the inside of a word. */
static int IsWordChar(char c)
{
    unsigned char u = (unsigned char)c;
    return u >= 0x80 || (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z');
}

static int IsControl(char c)
{
    return (unsigned char)c < 0x20 || c == 0x7F;
}

/* word at the start of a word of text, in any case; whole: also ending
 * there. */
static int HasWord(const char *text, const char *word, int whole)
{
    size_t n = strlen(word);
    const char *p;
    for (p = text; *p; p++)
        if ((p == text || !IsWordChar(p[-1])) && CompareNoCase(p, word, n) == 0 &&
            (!whole || !IsWordChar(p[n])))
            return 1;
    return 0;
}

/* ending at the end of a word of text, in any case. */
static int HasEnding(const char *text, const char *ending)
{
    size_t n = strlen(ending);
    for (; *text; text++)
        if (CompareNoCase(text, ending, n) == 0 && !IsWordChar(text[n]))
            return 1;
    return 0;
}

static int ReportsTrouble(const char *text)
{
    size_t i;
    for (i = 0; i < COUNT_OF(troubleTexts); i++)
        if (ContainsNoCase(text, troubleTexts[i]))
            return 1;
    for (i = 0; i < COUNT_OF(troubleStarts); i++)
        if (HasWord(text, troubleStarts[i], 0))
            return 1;
    for (i = 0; i < COUNT_OF(negations); i++)
        if (HasEnding(text, negations[i]))
            return 1;
    return HasWord(text, "NOT", 1);
}

/* A credential word anywhere, the rest of its token, optional blanks, then
 * "=" or ":": host=, Password:, USERNAME =, LastHost: */
static int HasAttributeToken(const char *text)
{
    const char *p, *q;
    size_t i;
    for (p = text; *p; p++)
        for (i = 0; i < COUNT_OF(credentialWords); i++) {
            if (!BeginsNoCase(p, credentialWords[i]))
                continue;
            for (q = p + strlen(credentialWords[i]); *q && !IsSeparator(*q) && *q != '=' && *q != ':';
                 q++)
                ;
            while (IsBlank(*q))
                q++;
            if (*q == '=' || *q == ':')
                return 1;
        }
    return 0;
}

/* A token (split as the listing is) that begins with a credential word,
 * unless the line holds only column titles.  A line naming the host ("No
 * credential for pc1", or a row "pc1 old oldpw") is left to the caller's
 * word-for-word comparison with a host that has no credential. */
static int NamesACredential(const char *text)
{
    const char *p = text;
    int titles = 1, suspect = 0;
    size_t i, n;

    for (;;) {
        while (IsSeparator(*p))
            p++;
        if (*p == '\0')
            break;
        for (n = 0; p[n] != '\0' && !IsSeparator(p[n]); n++)
            ;
        for (i = 0; i < COUNT_OF(columnTitles); i++)
            if (strlen(columnTitles[i]) == n && strncmp(p, columnTitles[i], n) == 0)
                break;
        if (i == COUNT_OF(columnTitles))
            titles = 0;
        for (i = 0; i < COUNT_OF(credentialWords); i++)
            if (BeginsNoCase(p, credentialWords[i]))
                suspect = 1;
        p += n;
    }
    return suspect && !titles;
}

static const tCredentialKey *CredentialKeyOf(const char *token)
{
    size_t i;
    for (i = 0; i < CREDENTIAL_KEYS; i++)
        if (strncmp(token, credentialKeys[i].keyword, credentialKeys[i].keywordLen) == 0)
            return &credentialKeys[i];
    return NULL;
}

/* The key of a HOST=, USERID= or PWD= token, its value stored, or null. */
static const tCredentialKey *PopulatePasswordInLine(tSKWPasswordData *pPasswdData,
                                                    char *pAttribute, const char *pLineEnd)
{
    const tCredentialKey *pKey = CredentialKeyOf(pAttribute);
    char *value;
    int closed;

    if (!pKey)
        return NULL;
    value = TakeQuotedValue(pAttribute, pKey->distance, pLineEnd, &closed);
    if (value)
        FillField((char *)pPasswdData + pKey->field, value, CREDENTIAL_FIELD_LEN);
    return pKey;
}

/* Nothing here calls it: it serves outside code linked with the adapter. */
int SKWPopulatePasswordData(tSKWPasswordData *pPasswdData, char *pAttribute)
{
    return PopulatePasswordInLine(pPasswdData, pAttribute, pAttribute + strlen(pAttribute)) != NULL;
}

/* A value that the command line can carry back whole: it fits its field
 * with the terminator, holds no control character, and does not end in a
 * backslash, which would escape the closing quote. */
static int WholeValue(const char *value, const char *close)
{
    const char *p;

    if ((size_t)(close - value) >= CREDENTIAL_FIELD_LEN || (close > value && close[-1] == '\\'))
        return 0;
    for (p = value; p < close; p++)
        if (IsControl(*p))
            return 0;
    return 1;
}

/* A line of separators and whole attributes, at least one: KEY= "value",
 * exactly one space before the opening quote, and after the closing quote
 * a separator or the line's end.  With pPasswd, each value goes into its
 * field and is counted; without, the line is only checked.  1 when the
 * line is understood to its end. */
static int AttributeLine(tCredentialScan *pScan, tSKWPasswordData *pPasswd, const char *line,
                         const char *end)
{
    const char *p = line;
    int count = 0;

    for (;;) {
        const char *start = p, *value, *close;
        const tCredentialKey *pKey;
        size_t n;

        while (p < end && IsSeparator(*p))
            p++;
        if (p == end)
            return count > 0;
        if (count > 0 && p == start)
            return 0; /* a closing quote with text glued to it: p" q" */
        pKey = CredentialKeyOf(p);
        if (!pKey)
            return 0;
        p += pKey->keywordLen;
        if (end - p < 2 || p[0] != ' ' || p[1] != '"')
            return 0;
        value = p + 2;
        close = (const char *)memchr(value, '"', (size_t)(end - value));
        if (!close || !WholeValue(value, close))
            return 0;
        if (pPasswd) {
            char *field = (char *)pPasswd + pKey->field;
            n = (size_t)(close - value);
            memcpy(field, value, n);
            memset(field + n, 0, CREDENTIAL_FIELD_LEN - n);
            (*(int *)(void *)((char *)pScan + pKey->counter))++;
        }
        count++;
        p = close + 1;
    }
}

/* Appends one character to the wording; no room leaves the scan able to
 * say nothing. */
static int PutWording(tCredentialScan *pScan, char c)
{
    if (pScan->textLength + 1 >= sizeof(pScan->text)) {
        pScan->wordingCut = 1;
        pScan->unclear = 1;
        return 0;
    }
    pScan->text[pScan->textLength++] = c;
    pScan->text[pScan->textLength] = '\0';
    return 1;
}

/* The line's words joined by single spaces, each standing occurrence of
 * the host's text (any case, no letter or digit beside it) replaced by
 * SKW_CRED_HOST_MARK.  out holds at least as much as line. */
static void Wording(const tCredentialScan *pScan, const char *line, char *out)
{
    size_t hostLen = pScan->host ? strlen(pScan->host) : 0;
    size_t n = 0, i = 0, m = 0;

    while (*line) {
        while (IsBlank(*line))
            line++;
        if (*line == '\0')
            break;
        if (n > 0)
            out[n++] = ' ';
        while (*line && !IsBlank(*line))
            out[n++] = *line++;
    }
    out[n] = '\0';
    while (i < n) {
        if (hostLen > 0 && n - i >= hostLen && (i == 0 || !IsWordChar(out[i - 1])) &&
            CompareNoCase(out + i, pScan->host, hostLen) == 0 && !IsWordChar(out[i + hostLen])) {
            out[m++] = SKW_CRED_HOST_MARK;
            i += hostLen;
        } else {
            out[m++] = out[i++];
        }
    }
    out[m] = '\0';
}

void SKWCredentialScanStart(tCredentialScan *pScan, tSKWPasswordData *pPasswd, const char *host)
{
    memset(pScan, 0, sizeof(*pScan));
    memset(pPasswd, 0, sizeof(*pPasswd));
    pScan->host = host;
}

void SKWCredentialScanLine(tCredentialScan *pScan, tSKWPasswordData *pPasswd, char *line)
{
    char words[SKW_LINE_LEN];
    size_t length = strlen(line), i;
    /* a line that fills the reader's buffer goes on in the next one */
    int cut = length > SKW_LINE_LEN - 1 || (length == SKW_LINE_LEN - 1 && line[length - 1] != '\n');

    pScan->lines++;
    if (length > 0 && line[length - 1] == '\n')
        line[--length] = '\0';
    if (length > 0 && line[length - 1] == '\r')
        line[--length] = '\0';
    if (pScan->unclear)
        return;
    for (i = 0; i < length && !cut; i++)
        if (IsControl(line[i]) && line[i] != '\t')
            cut = 1;
    if (cut) {
        pScan->unclear = 1;
        return;
    }
    if (strchr(line, '"') || strstr(line, "HOST=") || strstr(line, "USERID=") ||
        strstr(line, "PWD=")) {
        /* Values stay out of the wording, and a credential has none to
         * compare; past the tenth line it is not read at all. */
        pScan->wordingCut = 1;
        if (pScan->lines > SKW_CRED_MAX_LINES || !AttributeLine(pScan, NULL, line, line + length))
            pScan->unclear = 1;
        else
            AttributeLine(pScan, pPasswd, line, line + length);
        pScan->nonBlank++;
        return;
    }
    /* Trouble and credential words are looked for outside the host's text:
     * a host may well be called "lockserver". */
    Wording(pScan, line, words);
    if (words[0] == '\0')
        return; /* a blank line says nothing and is left out */
    pScan->nonBlank++;
    if (ReportsTrouble(words) || HasAttributeToken(words) ||
        NamesACredential(words)) {
        pScan->unclear = 1;
        return;
    }
    if (pScan->wordingCut)
        return;
    if (pScan->textLength > 0 && !PutWording(pScan, '\n'))
        return;
    for (i = 0; words[i] != '\0'; i++)
        if (!PutWording(pScan, words[i]))
            return;
}

int SKWCredentialScanState(const tCredentialScan *pScan, const tSKWPasswordData *pPasswd,
                           const char *host)
{
    if (pScan->unclear || pScan->nonBlank == 0)
        return SKW_CRED_UNKNOWN; /* a tool that printed nothing said nothing */
    if (pScan->hosts == 0 && pScan->userIds == 0 && pScan->passwords == 0)
        return SKW_CRED_NONE;
    if (pScan->hosts == 1 && pScan->userIds == 1 && pScan->passwords == 1 &&
        BoundedLength(pPasswd->host, sizeof(pPasswd->host)) < sizeof(pPasswd->host) &&
        strcmp(pPasswd->host, host) == 0)
        return SKW_CRED_ONE;
    return SKW_CRED_UNKNOWN;
}

int SKWCredentialScanSameWording(const tCredentialScan *pA, const tCredentialScan *pB)
{
    if (pA->unclear || pB->unclear || pA->wordingCut || pB->wordingCut)
        return 0;
    return pA->textLength == pB->textLength && memcmp(pA->text, pB->text, pA->textLength) == 0;
}

void SKWCredentialScanClear(tCredentialScan *pScan)
{
    /* volatile: a clearing just before the record goes out of use must
     * not be left out by the compiler */
    volatile unsigned char *p = (volatile unsigned char *)pScan;
    size_t i;
    for (i = 0; i < sizeof(*pScan); i++)
        p[i] = 0;
}
