/* kovadebug.h - kova32ex's debugging channel (OutputDebugStringA), which an
 * administrator reads with a debug viewer: one line per event, each
 * starting "kova32ex: ".  A call costs a round trip to a listening viewer,
 * so lines mark events, never bytes or reading passes.  wakelan prints
 * everything itself and never calls this. */
#ifndef KOVADEBUG_H
#define KOVADEBUG_H

#include "kovawin.h"

#define KOVA_DEBUG_PREFIX "kova32ex: "
#define KOVA_DEBUG_TEXT_LEN 512 /* the formatted event, before joining */

#if defined(__GNUC__)
#define KOVA_DEBUG_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define KOVA_DEBUG_FORMAT
#endif

/* Formats one event and sends it as one line: the lines of a multi-line
 * text are joined with "; ", other control characters become '?', and
 * whatever follows a "/PWD:" (an agent tool's command line) up to its last
 * double quote is replaced by "********", so no password reaches the
 * channel.  GetLastError is kept, so a caller may trace a failure before
 * it reads the error for its own use. */
void KovaDebug(const char *format, ...) KOVA_DEBUG_FORMAT;

/* The same rules on a finished text, into out (size characters with the
 * NUL); what KovaDebug sends, after its prefix. */
void KovaDebugLine(const char *text, char *out, size_t size);

#endif
