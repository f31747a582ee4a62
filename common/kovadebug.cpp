/* kovadebug.cpp - the lines of kova32ex's debugging channel. */
#include "kovawin.h"

#include "kovadebug.h"

#include <stdarg.h>

#define PASSWORD_KEY "/PWD:"
#define PASSWORD_KEY_LEN (sizeof(PASSWORD_KEY) - 1)
#define PASSWORD_MASK "********"
#define LINE_JOIN "; "

/* The first "/PWD:" in text, in any case, or null. */
static const char *FindPasswordKey(const char *text)
{
    const char *p;
    size_t i;

    for (p = text; *p; p++) {
        for (i = 0; i < PASSWORD_KEY_LEN; i++)
            if (toupper((unsigned char)p[i]) != PASSWORD_KEY[i])
                break;
        if (i == PASSWORD_KEY_LEN)
            return p;
    }
    return NULL;
}

/* Appends c to out while room is left for the NUL. */
static void Put(char *out, size_t size, size_t *pLen, char c)
{
    if (*pLen + 1 < size)
        out[(*pLen)++] = c;
}

static void PutText(char *out, size_t size, size_t *pLen, const char *text)
{
    while (*text)
        Put(out, size, pLen, *text++);
}

void KovaDebugLine(const char *text, char *out, size_t size)
{
    const char *pKey = FindPasswordKey(text);
    const char *pResume = NULL; /* where the text goes on after the mask */
    const char *p = text;
    size_t len = 0;

    if (size == 0)
        return;
    if (pKey) {
        const char *pValue = pKey + PASSWORD_KEY_LEN;
        /* A quoted value may hold quotes itself: it ends at the last one. */
        pResume = *pValue == '"' ? strrchr(pValue + 1, '"') : NULL;
        if (!pResume)
            pResume = pValue + strlen(pValue);
        if (*pValue == '"')
            pValue++;
        pKey = pValue;
    }
    while (*p) {
        if (p == pKey) {
            PutText(out, size, &len, PASSWORD_MASK);
            p = pResume;
            pKey = NULL; /* an empty value resumes right here */
            continue;
        }
        if (*p == '\r' || *p == '\n') {
            while (*p == '\r' || *p == '\n' || *p == ' ' || *p == '\t')
                p++;
            if (len > 0 && *p)
                PutText(out, size, &len, LINE_JOIN);
            continue;
        }
        Put(out, size, &len, (unsigned char)*p < 0x20 || *p == 0x7F ? '?' : *p);
        p++;
    }
    out[len] = '\0';
}

void KovaDebug(const char *format, ...)
{
    char text[KOVA_DEBUG_TEXT_LEN];
    char line[sizeof(KOVA_DEBUG_PREFIX) + KOVA_DEBUG_TEXT_LEN + 1];
    size_t prefixLen = sizeof(KOVA_DEBUG_PREFIX) - 1;
    DWORD savedError = GetLastError();
    va_list args;

    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    memcpy(line, KOVA_DEBUG_PREFIX, prefixLen);
    KovaDebugLine(text, line + prefixLen, sizeof line - prefixLen - 1);
    strcat(line, "\n");
    OutputDebugStringA(line);
    SetLastError(savedError);
}
