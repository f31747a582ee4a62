/* credrec.cpp - the credential section's rollback record: its folder, its
 * format, its sealing, and writing it whole or not at all.
 *
 * One record per host hash, "KOVACRED-<hash>.REC" in the user's own state
 * folder; written under "KOVACRED-<hash>.NEW", flushed and renamed.  The
 * record is its user's alone: sealed with CryptProtectData where crypt32
 * has it (written plain on platforms without it), a 0600 file in a 0700
 * folder on Linux.  Only the holder of the host's lock calls in here.
 */
#include "kovawin.h"

#include "credrec.h"

#include "kovadebug.h"
#include "kovatext.h"

/* ---- The one platform difference: how a path is joined --------------- */
#if defined(_WIN32)
#define PATH_SEPARATOR "\\"
#else
#define PATH_SEPARATOR "/"
#endif

#define RECORD_PATTERN "KOVACRED-*.REC"
#define RECORD_FORMAT "KOVACRED-%08lX.%s"
#define RECORD_PREFIX_LEN 9 /* "KOVACRED-" */
#define RECORD_PLAIN "KOVACRED PLAIN\n"
#define RECORD_SEALED "KOVACRED SEALED\n"
#define RECORD_TEXT_MAX 1024
#define RECORD_FILE_MAX 4096

#define FOLDER_LOCAL_APPDATA 0x001C /* CSIDL_LOCAL_APPDATA */
#define FOLDER_CREATE 0x8000        /* CSIDL_FLAG_CREATE */
#define SEAL_NO_UI 0x1              /* CRYPTPROTECT_UI_FORBIDDEN */

typedef LONG(WINAPI *tGetFolderPath)(HWND, int, HANDLE, DWORD, LPSTR);

typedef struct tSealBlob {
    DWORD cbData;
    BYTE *pbData;
} tSealBlob;
/* CryptProtectData and CryptUnprotectData: the same shape. */
typedef BOOL(WINAPI *tSealCall)(tSealBlob *, void *, tSealBlob *, void *, void *, DWORD,
                                tSealBlob *);

static char stateFolder[MAX_PATH];
static int stateFolderKnown; /* 1 found, -1 none */
static tSealCall pSeal, pUnseal;
static int sealLoaded;

/* Record texts and files are built here, never on the stack. */
static char recordText[RECORD_TEXT_MAX];
static char recordFile[RECORD_FILE_MAX];

/* ---- Names, hashes, folders ----------------------------------------- */

/* 32-bit FNV-1a: a host may be long and hold any character, its hash makes
 * a short, plain name for the lock and the record.  Names can collide: a
 * record's host text is checked. */
uint32_t CredHashHost(const char *host)
{
    uint32_t hash = 2166136261u;
    const unsigned char *p;

    for (p = (const unsigned char *)host; *p; p++) {
        hash ^= *p;
        hash *= 16777619u;
    }
    return hash;
}

static int GetPlatform(OSVERSIONINFOA *pVersion)
{
    memset(pVersion, 0, sizeof(*pVersion));
    pVersion->dwOSVersionInfoSize = sizeof(*pVersion);
    return GetVersionExA(pVersion);
}

static int Join(char *path, size_t size, const char *folder, const char *name)
{
    int written = snprintf(path, size, "%s" PATH_SEPARATOR "%s", folder, name);
    return written > 0 && (size_t)written < size;
}

/* The user's local application data folder, through shell32 or, where it
 * lacks the call, shfolder.dll. */
static int LocalAppData(char *folder)
{
    static const char *const modules[] = {"shell32.dll", "shfolder.dll"};
    size_t i;

    for (i = 0; i < sizeof(modules) / sizeof(modules[0]); i++) {
        HMODULE hModule = LoadLibraryA(modules[i]);
        tGetFolderPath pGet;
        LONG result = -1;

        if (!hModule)
            continue;
        pGet = (tGetFolderPath)(void (*)(void))GetProcAddress(hModule, "SHGetFolderPathA");
        if (pGet)
            result = pGet(NULL, FOLDER_LOCAL_APPDATA | FOLDER_CREATE, NULL, 0, folder);
        FreeLibrary(hModule);
        if (result == 0)
            return 1;
    }
    return 0;
}

/* The folder of the records: KOVA_STATE_DIR, else "kova" in the local
 * application data, else the older places; made when missing. */
static const char *StateFolder(void)
{
    char base[MAX_PATH];
    const char *chosen = getenv("KOVA_STATE_DIR");
    const char *profile = getenv("USERPROFILE");
    OSVERSIONINFOA version;
    int found = 0;

    if (stateFolderKnown)
        return stateFolderKnown > 0 ? stateFolder : NULL;
    stateFolderKnown = -1;
    if (chosen && chosen[0]) {
        found = strlen(chosen) < sizeof(stateFolder);
        if (found)
            strcpy(stateFolder, chosen);
    } else if (LocalAppData(base)) {
        found = Join(stateFolder, sizeof(stateFolder), base, "kova");
    } else if (GetPlatform(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        found = profile && profile[0] &&
                Join(stateFolder, sizeof(stateFolder), profile,
                     "Local Settings\\Application Data\\kova");
    } else if (GetWindowsDirectoryA(base, sizeof(base)) > 0) {
        found = Join(stateFolder, sizeof(stateFolder), base, "KOVA");
    }
    if (!found ||
        (!CreateDirectoryA(stateFolder, NULL) && GetLastError() != ERROR_ALREADY_EXISTS))
        return NULL;
    stateFolderKnown = 1;
    return stateFolder;
}

static int RecordPath(char *path, uint32_t hash, const char *extension)
{
    char name[32];
    const char *folder = StateFolder();

    snprintf(name, sizeof(name), RECORD_FORMAT, (unsigned long)hash, extension);
    return folder && Join(path, MAX_PATH, folder, name);
}

/* ---- Sealing: the user's own protection where crypt32 offers it ----- */

static void LoadSealing(void)
{
    HMODULE hCrypt;

    if (sealLoaded)
        return;
    sealLoaded = 1;
    hCrypt = LoadLibraryA("crypt32.dll"); /* kept loaded for the run */
    if (!hCrypt)
        return;
    pSeal = (tSealCall)(void (*)(void))GetProcAddress(hCrypt, "CryptProtectData");
    pUnseal = (tSealCall)(void (*)(void))GetProcAddress(hCrypt, "CryptUnprotectData");
    if (!pSeal || !pUnseal)
        pSeal = pUnseal = NULL;
}

/* Seals or unseals size bytes at data into out; the length, or -1. */
static int RunSeal(tSealCall pCall, const char *data, DWORD size, char *out, DWORD outMax)
{
    tSealBlob in = {size, (BYTE *)data};
    tSealBlob result = {0, NULL};
    int length = -1;

    if (!pCall(&in, NULL, NULL, NULL, NULL, SEAL_NO_UI, &result))
        return -1;
    if (result.cbData <= outMax) {
        memcpy(out, result.pbData, result.cbData);
        length = (int)result.cbData;
    }
    memset(result.pbData, 0, result.cbData);
    LocalFree(result.pbData);
    return length;
}

/* ---- The record on disk ---------------------------------------------- */

static int HasLineEnd(const char *value)
{
    return strchr(value, '\n') != NULL || strchr(value, '\r') != NULL;
}

static int FormatRecord(const tCredRecord *pRecord)
{
    int written;

    if (HasLineEnd(pRecord->host) || HasLineEnd(pRecord->old.userId) ||
        HasLineEnd(pRecord->old.password) || HasLineEnd(pRecord->tempUserId))
        return -1;
    written = snprintf(recordText, sizeof(recordText),
                       "HOST=%s\nSTORED=%d\nUSERID=%s\nPWD=%s\nTEMPUSERID=%s\n"
                       "TEMPSALT=%08lX\nTEMPHASH=%08lX%08lX\nEND\n",
                       pRecord->host, pRecord->stored ? 1 : 0, pRecord->old.userId,
                       pRecord->old.password, pRecord->tempUserId,
                       (unsigned long)pRecord->tempSalt,
                       (unsigned long)(uint32_t)(pRecord->tempHash >> 32),
                       (unsigned long)(uint32_t)pRecord->tempHash);
    return written > 0 && (size_t)written < sizeof(recordText) ? written : -1;
}

/* The value of the line "KEY=value" at *pText into field; 0 when the line
 * is not that key, or the value does not fit. */
static int TakeLine(const char **pText, const char *key, char *field, size_t size)
{
    size_t keyLen = strlen(key);
    const char *end;

    if (strncmp(*pText, key, keyLen) != 0 || (*pText)[keyLen] != '=')
        return 0;
    *pText += keyLen + 1;
    end = strchr(*pText, '\n');
    if (!end || (size_t)(end - *pText) >= size)
        return 0;
    memcpy(field, *pText, (size_t)(end - *pText));
    field[end - *pText] = '\0';
    *pText = end + 1;
    return 1;
}

static int ParseHex(const char *text, size_t digits, uint64_t *pValue)
{
    size_t i;

    *pValue = 0;
    for (i = 0; i < digits; i++) {
        int d = KovaHexDigitValue(text[i]);
        if (d < 0)
            return 0;
        *pValue = *pValue << 4 | (uint64_t)d;
    }
    return text[digits] == '\0';
}

static int ParseRecord(const char *text, tCredRecord *pRecord)
{
    char stored[4], salt[16], hash[24];
    uint64_t value;

    memset(pRecord, 0, sizeof(*pRecord));
    if (!TakeLine(&text, "HOST", pRecord->host, sizeof(pRecord->host)) ||
        !TakeLine(&text, "STORED", stored, sizeof(stored)) ||
        !TakeLine(&text, "USERID", pRecord->old.userId, sizeof(pRecord->old.userId)) ||
        !TakeLine(&text, "PWD", pRecord->old.password, sizeof(pRecord->old.password)) ||
        !TakeLine(&text, "TEMPUSERID", pRecord->tempUserId, sizeof(pRecord->tempUserId)) ||
        !TakeLine(&text, "TEMPSALT", salt, sizeof(salt)) ||
        !TakeLine(&text, "TEMPHASH", hash, sizeof(hash)) || strcmp(text, "END\n") != 0)
        return 0;
    if (strcmp(stored, "0") != 0 && strcmp(stored, "1") != 0)
        return 0;
    pRecord->stored = stored[0] == '1';
    if (pRecord->stored)
        strcpy(pRecord->old.host, pRecord->host);
    if (!ParseHex(salt, 8, &value))
        return 0;
    pRecord->tempSalt = (uint32_t)value;
    if (!ParseHex(hash, 16, &value))
        return 0;
    pRecord->tempHash = value;
    return 1;
}

/* Writes the record whole or not at all: a temporary file, flushed, then
 * renamed to the record's name (no record is there: a pending one was
 * settled first). */
int CredRecordSave(uint32_t hash, const tCredRecord *pRecord)
{
    char temporary[MAX_PATH], path[MAX_PATH];
    int textLen = FormatRecord(pRecord);
    int fileLen, headerLen;
    DWORD written = 0;
    HANDLE hFile;
    int ok;

    if (textLen < 0 || !RecordPath(temporary, hash, "NEW") || !RecordPath(path, hash, "REC"))
        return 0;
    LoadSealing();
    if (pSeal) {
        headerLen = (int)strlen(RECORD_SEALED);
        memcpy(recordFile, RECORD_SEALED, (size_t)headerLen);
        fileLen = RunSeal(pSeal, recordText, (DWORD)textLen, recordFile + headerLen,
                          (DWORD)(sizeof(recordFile) - headerLen));
        if (fileLen < 0)
            return 0; /* the sealing is there but failed: never write it plain */
        fileLen += headerLen;
    } else {
        headerLen = (int)strlen(RECORD_PLAIN);
        memcpy(recordFile, RECORD_PLAIN, (size_t)headerLen);
        memcpy(recordFile + headerLen, recordText, (size_t)textLen);
        fileLen = headerLen + textLen;
    }
    memset(recordText, 0, sizeof(recordText));
    hFile = CreateFileA(temporary, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return 0;
    ok = WriteFile(hFile, recordFile, (DWORD)fileLen, &written, NULL) &&
         written == (DWORD)fileLen && FlushFileBuffers(hFile);
    CloseHandle(hFile);
    memset(recordFile, 0, sizeof(recordFile));
    /* Dead before the rename: no record, and the store is still untouched. */
    if (!ok || !MoveFileA(temporary, path)) {
        DeleteFileA(temporary);
        return 0;
    }
    return 1;
}

/* Reads the record under hash (its host's lock is held). */
int CredRecordLoad(uint32_t hash, tCredRecord *pRecord)
{
    char path[MAX_PATH];
    DWORD got = 0, total = 0;
    HANDLE hFile;
    int textLen, ok;
    size_t headerLen;

    if (!RecordPath(path, hash, "REC"))
        return CRED_RECORD_NONE;
    hFile = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND
                   ? CRED_RECORD_NONE
                   : CRED_RECORD_BAD;
    while (total < sizeof(recordFile) &&
           ReadFile(hFile, recordFile + total, (DWORD)(sizeof(recordFile) - total), &got, NULL) &&
           got > 0)
        total += got;
    CloseHandle(hFile);
    if (total >= sizeof(recordFile))
        return CRED_RECORD_BAD;
    textLen = -1;
    if (total >= (headerLen = strlen(RECORD_PLAIN)) &&
        memcmp(recordFile, RECORD_PLAIN, headerLen) == 0 &&
        total - headerLen < sizeof(recordText)) {
        textLen = (int)(total - headerLen);
        memcpy(recordText, recordFile + headerLen, (size_t)textLen);
    } else if (total >= (headerLen = strlen(RECORD_SEALED)) &&
               memcmp(recordFile, RECORD_SEALED, headerLen) == 0) {
        LoadSealing();
        if (pUnseal)
            textLen = RunSeal(pUnseal, recordFile + headerLen, (DWORD)(total - headerLen),
                              recordText, sizeof(recordText) - 1);
    }
    memset(recordFile, 0, sizeof(recordFile));
    if (textLen < 0)
        return CRED_RECORD_BAD;
    recordText[textLen] = '\0';
    ok = memchr(recordText, '\0', (size_t)textLen) == NULL && ParseRecord(recordText, pRecord) &&
         CredHashHost(pRecord->host) == hash;
    memset(recordText, 0, sizeof(recordText));
    return ok ? CRED_RECORD_OK : CRED_RECORD_BAD;
}

/* Dead just after: nothing is owed, the store shows the old state. */
void CredRecordForget(uint32_t hash)
{
    char path[MAX_PATH];

    if (RecordPath(path, hash, "REC"))
        DeleteFileA(path);
}

int CredRecordExists(uint32_t hash)
{
    char path[MAX_PATH];
    WIN32_FIND_DATAA found;
    HANDLE hFind;

    if (!RecordPath(path, hash, "REC"))
        return 0;
    hFind = FindFirstFileA(path, &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(hFind);
    return 1;
}

void CredRecordDropTemporary(uint32_t hash)
{
    char temporary[MAX_PATH];

    if (RecordPath(temporary, hash, "NEW"))
        DeleteFileA(temporary);
}

int CredRecordList(uint32_t *hashes, int max)
{
    char pattern[MAX_PATH];
    WIN32_FIND_DATAA found;
    const char *folder = StateFolder();
    HANDLE hFind;
    int count = 0;

    if (!folder || max <= 0 || !Join(pattern, sizeof(pattern), folder, RECORD_PATTERN))
        return 0;
    hFind = FindFirstFileA(pattern, &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return 0;
    do {
        uint64_t hash;
        if (strlen(found.cFileName) == RECORD_PREFIX_LEN + 8 + 4 &&
            memcmp(found.cFileName + RECORD_PREFIX_LEN + 8, ".REC", 4) == 0) {
            found.cFileName[RECORD_PREFIX_LEN + 8] = '\0';
            if (ParseHex(found.cFileName + RECORD_PREFIX_LEN, 8, &hash))
                hashes[count++] = (uint32_t)hash;
        }
    } while (count < max && FindNextFileA(hFind, &found));
    FindClose(hFind);
    return count;
}
