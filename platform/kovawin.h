/* kovawin.h - the one platform header of the system code.
 *
 * Every source file of wol/, host/, agent/ and wakelan/ includes this header
 * first and no operating-system header of its own.  On Windows it brings in
 * the real Win32 and Windows Sockets headers; elsewhere it brings in our own
 * stand-in (platform/linux), which declares the same names with the same
 * meaning.  The C library headers the system code uses come from here too.
 */
#ifndef KOVAWIN_H
#define KOVAWIN_H

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <winsock2.h>
#  include <windows.h>
#  include <wsipx.h>
#  include <fcntl.h>
#  include <io.h>
#else
#  include "linux/win32.h"
#endif

#endif
