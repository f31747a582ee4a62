/* kovacodes.h - every result code of the system, in one list: kova32ex
 * writes any of them into "KOVA.TMP", so no two may mean different things
 * by accident. */
#ifndef KOVACODES_H
#define KOVACODES_H

/* Command host and package layer. */
#define KOVA_NO_SUCH_PACKAGE 101
/* A REBOOTSYS or POWERDOWNSYS line that lacks a word; the adapter uses the
 * same code for a request without a usable result (SKW_NO_RESULT). */
#define KOVA_BAD_COMMAND 108

/* The adapter (SKWRebootSystem, SKWPowerdownSystem). */
#define SKW_SUCCESS 0
#define SKW_CANNOT_START_TOOL 102
#define SKW_SYSTEM_NOT_FOUND 103
#define SKW_ERROR_GROUP_A 104 /* tool results 1, 4, 5 */
#define SKW_ERROR_GROUP_B 105 /* tool results 2, 6, 8, 9 */
#define SKW_ERROR_GROUP_C 106 /* tool results 7, 10 to 13 */
#define SKW_ERROR_GROUP_D 107 /* tool result 3 */
#define SKW_NO_RESULT KOVA_BAD_COMMAND /* no result line, or a result out of range */

/* The Wake-on-LAN engine: a wake that could not be carried out. */
#define KOVA_WOL_FAILURE 130

#endif
