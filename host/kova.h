/* kova.h - the command host of kova32ex: the command interpreter and the
 * package-level interface.  KOVASendWakeOnLAN (wakew32.h) belongs to the
 * same interface. */
#ifndef KOVA_H
#define KOVA_H

#include "kovawin.h"

#include "kovacodes.h"

#define KOVA_CMDLINE_LEN 512
#define KOVA_SKYWARDEN_PACKAGE 1
#define KOVA_PACKAGE_NAME_LEN 256

/* The command line as the process was given it; split in place. */
extern char cmdLine[KOVA_CMDLINE_LEN + 1];

/* Carries out the command in cmdLine and answers through "KOVABUSY" and
 * "KOVA.TMP" in the current directory.  Always 0. */
int InterpretAndRunKOVACommand(void);

/* The package rule: the SkyWarden agent is the one package, number 1. */
int KOVAIsSkyWardenPackage(long number);

int32_t KOVAGetNumberOfPackages(int32_t *numberp);
int32_t KOVAGetAvailablePackages(int32_t *package, char *name, int32_t *ordinal);
int32_t KOVARebootSystem(char *macAddress, char *userId, char *password, int32_t *smPackage);
int32_t KOVAPowerdownSystem(char *macAddress, char *userId, char *password, int32_t *smPackage);

#endif
