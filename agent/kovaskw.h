/* kovaskw.h - the adapter between kova32ex and the SkyWarden agent: its
 * inventory queries and its reboot and power-down requests, carried out by
 * running the agent's console tools SKWSYSCMD and SKWSECCMD. */
#ifndef KOVASKW_H
#define KOVASKW_H

#include "kovawin.h"

/* Result codes of SKWRebootSystem and SKWPowerdownSystem (SKW_...). */
#include "kovacodes.h"

#define SKW_LINE_LEN 512
#define SKW_CMD_LEN 128

typedef struct tSystagAndName {
    uint32_t systag;
    char sysname[512];
    char address[512];
} tSystagAndName;

typedef struct tSystemData {
    uint32_t systag;
    char sysname[512];
    char proto[64];
    char addr[128];
    int32_t online;
    int32_t onln;
    int32_t offln;
    int32_t ping;
    uint32_t grplist[128];
    char errorcond[128][64];
    char os[64];
    int32_t manager;
    int32_t server;
    char mac[13];
    int32_t shutdown;
    int32_t powerdown;
    int32_t wakeonlan;
    int32_t webmgr;
} tSystemData;

typedef struct tSKWPasswordData {
    char host[64];
    char userId[64];
    char password[64];
} tSKWPasswordData;

/* Inventory. */
int SKWIsManagerAvailable(void);
uint32_t SKWGetSystag(char *macAddress);
tSystagAndName *SKWGetSystagAndName(char *macAddress);
tSystemData *SKWRequestClientInfo(char *macAddress);
int PopulateSystemData(tSystemData *pSystemData, char *pAttribute);

/* Reboot, power-down and the agent's credential store. */
int32_t SKWRebootSystem(char *macAddress, char *userId, char *password);
int32_t SKWPowerdownSystem(char *macAddress, char *userId, char *password);
tSKWPasswordData *SKWGetPassword(char *sysname);
int SKWPopulatePasswordData(tSKWPasswordData *pPasswdData, char *pAttribute);
int SKWSetPassword(char *host, char *userId, char *passwd);
int SKWDeletePassword(char *host);
int32_t SKWInterpretSKWSYSError(int32_t returnCode);

#endif
