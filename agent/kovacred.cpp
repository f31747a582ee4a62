/* kovacred.cpp - the credential section.
 *
 * A request with a user ID puts its credential into the agent's store for
 * one host and must leave the store as it found it, even when the process
 * dies half way, as a database's rollback journal does:
 *
 *   1. Lock: the host's named mutex (KOVA-CRED-<hash of the host>, in the
 *      Global\ namespace where there is one), one for every request of the
 *      account.  No lock in time: no request.
 *   2. Repair: a record left under that hash is settled first (step 8);
 *      if it cannot be, no request.
 *   3. List the store.  Only a listing understood whole counts: "none" or
 *      exactly one credential for the host.  Anything else, or a lock
 *      abandoned by a dead owner with no record behind it (the store may
 *      hold that request's credential): the store is left alone.
 *   4. Record how to undo: the host, the old state (none, or the old
 *      credential) and the request's user ID with a salted hash of its
 *      password; written whole under a temporary name, flushed, renamed.
 *      No record, no change.
 *   5. Change: store the request's credential.  The request runs.
 *   6. Undo: put the old state back, then list again; once more if the
 *      listing does not show the old state.
 *   7. Forget: delete the record, only once a listing showed the old state.
 *   8. Recovery, the second door to step 6: every agent command first
 *      takes, for each record left (a few per command), its host's lock and
 *      lists: the temporary credential is there: undo (6) and forget (7);
 *      the old state is there: forget; the listing cannot be read: keep the
 *      record; anything else (the store was changed since): forget and
 *      leave the store alone.  A damaged record, or one sealed for another
 *      user, stays and is skipped.
 *
 * Invariants: the store differs from the record's old state only while the
 * host's record exists; a record is read, written or deleted only by the
 * holder of its host's lock; at most one record exists per hash.  The
 * record is its user's alone: sealed with CryptProtectData where crypt32
 * has it (written plain on platforms without it), a 0600 file in a 0700
 * folder on Linux.
 */
#include "kovawin.h"

#include "kovacred.h"

#include "kovadebug.h"
#include "kovatext.h"
#include "skwparse.h"

/* ---- The one platform difference: how a path is joined --------------- */
#if defined(_WIN32)
#define PATH_SEPARATOR "\\"
#else
#define PATH_SEPARATOR "/"
#endif

#define CRED_MUTEX_FORMAT "KOVA-CRED-%08lX"
#define CRED_MUTEX_GLOBAL "Global\\"
#define CRED_MUTEX_NAME_LEN 40
#define CRED_WAIT_DEFAULT_MS 60000 /* what a console sits through */
#define CRED_RECOVERY_WAIT_MS 2000 /* longer: a live request holds it */
#define CRED_RECOVERY_MAX 4        /* records settled per command */

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

#define RECORD_NONE 0
#define RECORD_OK 1
#define RECORD_BAD 2 /* damaged, or sealed for someone else */

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
static int recovered;
static tSealCall pSeal, pUnseal;
static int sealLoaded;

/* Record texts and files are built here, never on the stack. */
static char recordText[RECORD_TEXT_MAX];
static char recordFile[RECORD_FILE_MAX];

/* ---- Names, hashes, folders ----------------------------------------- */

/* 32-bit FNV-1a: a host may be long and hold any character, its hash makes
 * a short, plain name for the lock and the record.  Names can collide: a
 * record's host text is checked. */
static uint32_t HashHost(const char *host)
{
    uint32_t hash = 2166136261u;
    const unsigned char *p;

    for (p = (const unsigned char *)host; *p; p++) {
        hash ^= *p;
        hash *= 16777619u;
    }
    return hash;
}

/* 64-bit FNV-1a of the salt and the password: enough to recognise the
 * request's own credential later without keeping it. */
static uint64_t HashPassword(uint32_t salt, const char *password)
{
    uint64_t hash = 14695981039346656037ull;
    const unsigned char *p;
    int i;

    for (i = 0; i < 4; i++) {
        hash ^= (salt >> (8 * i)) & 0xFF;
        hash *= 1099511628211ull;
    }
    for (p = (const unsigned char *)password; *p; p++) {
        hash ^= *p;
        hash *= 1099511628211ull;
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
static int SaveRecord(uint32_t hash, const tCredRecord *pRecord)
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
static int LoadRecord(uint32_t hash, tCredRecord *pRecord)
{
    char path[MAX_PATH];
    DWORD got = 0, total = 0;
    HANDLE hFile;
    int textLen, ok;
    size_t headerLen;

    if (!RecordPath(path, hash, "REC"))
        return RECORD_NONE;
    hFile = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND
                   ? RECORD_NONE
                   : RECORD_BAD;
    while (total < sizeof(recordFile) &&
           ReadFile(hFile, recordFile + total, (DWORD)(sizeof(recordFile) - total), &got, NULL) &&
           got > 0)
        total += got;
    CloseHandle(hFile);
    if (total >= sizeof(recordFile))
        return RECORD_BAD;
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
        return RECORD_BAD;
    recordText[textLen] = '\0';
    ok = memchr(recordText, '\0', (size_t)textLen) == NULL && ParseRecord(recordText, pRecord) &&
         HashHost(pRecord->host) == hash;
    memset(recordText, 0, sizeof(recordText));
    return ok ? RECORD_OK : RECORD_BAD;
}

/* Dead just after: nothing is owed, the store shows the old state. */
static void ForgetRecord(uint32_t hash)
{
    char path[MAX_PATH];

    if (RecordPath(path, hash, "REC"))
        DeleteFileA(path);
}

static int RecordExists(uint32_t hash)
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

/* ---- The lock -------------------------------------------------------- */

static DWORD CredentialWaitMs(void)
{
    uint32_t value;

    return KovaEnvironmentMs("KOVA_CRED_WAIT_MS", &value) ? (DWORD)value : CRED_WAIT_DEFAULT_MS;
}

/* Takes the lock of hash; 0 when it cannot be had in time.  Dead while
 * holding it: the system frees it, and the next owner sees it abandoned. */
static int TakeLock(tCredSection *pSection, uint32_t hash, DWORD waitMs)
{
    char name[CRED_MUTEX_NAME_LEN];
    OSVERSIONINFOA version;
    DWORD waited;
    int global;

    memset(pSection, 0, sizeof(*pSection));
    pSection->hash = hash;
    pSection->state = SKW_CRED_UNKNOWN;
    /* The session namespace exists from NT 5.0 on; NT 4.0 and the older
     * platform allow no backslash in an object name. */
    global = GetPlatform(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
             version.dwMajorVersion >= 5;
    snprintf(name, sizeof(name), "%s" CRED_MUTEX_FORMAT, global ? CRED_MUTEX_GLOBAL : "",
             (unsigned long)hash);
    pSection->hMutex = CreateMutexA(NULL, FALSE, name);
    if (!pSection->hMutex) {
        KovaDebug("credential lock %s: CreateMutexA failed, error %lu", name,
                  (unsigned long)GetLastError());
        return 0;
    }
    waited = WaitForSingleObject(pSection->hMutex, waitMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        pSection->abandoned = waited == WAIT_ABANDONED;
        if (pSection->abandoned)
            KovaDebug("credential lock %s: abandoned by a request that died", name);
        return 1;
    }
    KovaDebug("credential lock %s: still held by another request after %lu ms", name,
              (unsigned long)waitMs);
    CloseHandle(pSection->hMutex);
    pSection->hMutex = NULL;
    return 0;
}

void KovaCredLeave(tCredSection *pSection)
{
    if (!pSection->hMutex)
        return;
    ReleaseMutex(pSection->hMutex);
    CloseHandle(pSection->hMutex);
    pSection->hMutex = NULL;
}

/* ---- Undo, verified: both doors -------------------------------------- */

static int ShowsOldState(int state, const tSKWPasswordData *pListed, const tCredRecord *pRecord)
{
    if (!pRecord->stored)
        return state == SKW_CRED_NONE;
    return state == SKW_CRED_ONE && strcmp(pListed->userId, pRecord->old.userId) == 0 &&
           strcmp(pListed->password, pRecord->old.password) == 0;
}

static int ShowsTemporary(int state, const tSKWPasswordData *pListed, const tCredRecord *pRecord)
{
    return state == SKW_CRED_ONE && strcmp(pListed->userId, pRecord->tempUserId) == 0 &&
           HashPassword(pRecord->tempSalt, pListed->password) == pRecord->tempHash;
}

/* Puts the record's old state back and lists to see it; twice at most.
 * Dead during it: the record stays, and the next command repairs. */
static int PutBack(tCredRecord *pRecord)
{
    tSKWPasswordData *pListed;
    int attempt, state;

    for (attempt = 0; attempt < 2; attempt++) {
        if (pRecord->stored)
            SKWSetPassword(pRecord->host, pRecord->old.userId, pRecord->old.password);
        else
            SKWDeletePassword(pRecord->host);
        state = SKWListCredential(pRecord->host, &pListed);
        if (ShowsOldState(state, pListed, pRecord))
            return 1;
    }
    KovaDebug("credential store for \"%s\" not seen put back after two tries: the record "
              "stays for the next command", pRecord->host);
    return 0;
}

/* The second door: settles the record under the held lock.  1 when no
 * record remains. */
static int Repair(tCredSection *pSection)
{
    char temporary[MAX_PATH];
    tSKWPasswordData *pListed;
    int loaded = LoadRecord(pSection->hash, &pSection->record);
    int state, done;

    /* A record that died before its rename never counted: drop it. */
    if (RecordPath(temporary, pSection->hash, "NEW"))
        DeleteFileA(temporary);
    if (loaded != RECORD_OK) {
        if (loaded == RECORD_BAD)
            KovaDebug("rollback record KOVACRED-%08lX.REC is damaged or sealed for another "
                      "user: kept, its PC's requests answer 108", (unsigned long)pSection->hash);
        return loaded == RECORD_NONE;
    }
    state = SKWListCredential(pSection->record.host, &pListed);
    if (ShowsTemporary(state, pListed, &pSection->record)) {
        done = PutBack(&pSection->record);
        KovaDebug("repair for \"%s\": a dead request's credential %s",
                  pSection->record.host, done ? "was replaced by the old state" : "remains");
    } else {
        done = state != SKW_CRED_UNKNOWN; /* the old state, or changed since */
        KovaDebug("repair for \"%s\": %s", pSection->record.host,
                  !done ? "the listing cannot be read, the record is kept"
                  : ShowsOldState(state, pListed, &pSection->record)
                      ? "the store was already put back"
                      : "the store was changed since, it is left alone");
    }
    if (done)
        ForgetRecord(pSection->hash);
    return done;
}

/* ---- The request's door ---------------------------------------------- */

void KovaCredRecover(void)
{
    char pattern[MAX_PATH];
    uint32_t hashes[CRED_RECOVERY_MAX];
    WIN32_FIND_DATAA found;
    tCredSection section;
    const char *folder;
    HANDLE hFind;
    int count = 0, i;

    if (recovered)
        return;
    recovered = 1;
    folder = StateFolder();
    if (!folder || !Join(pattern, sizeof(pattern), folder, RECORD_PATTERN))
        return;
    hFind = FindFirstFileA(pattern, &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return;
    do {
        uint64_t hash;
        if (strlen(found.cFileName) == RECORD_PREFIX_LEN + 8 + 4 &&
            memcmp(found.cFileName + RECORD_PREFIX_LEN + 8, ".REC", 4) == 0) {
            found.cFileName[RECORD_PREFIX_LEN + 8] = '\0';
            if (ParseHex(found.cFileName + RECORD_PREFIX_LEN, 8, &hash))
                hashes[count++] = (uint32_t)hash;
        }
    } while (count < CRED_RECOVERY_MAX && FindNextFileA(hFind, &found));
    FindClose(hFind);
    /* A busy lock belongs to a live request, which settles its own. */
    for (i = 0; i < count; i++) {
        if (TakeLock(&section, hashes[i], CRED_RECOVERY_WAIT_MS)) {
            Repair(&section);
            KovaCredLeave(&section);
        }
    }
}

int KovaCredNothingPending(const char *host)
{
    tCredSection section;
    int settled;

    if (!RecordExists(HashHost(host)))
        return 1;
    if (!TakeLock(&section, HashHost(host), CRED_RECOVERY_WAIT_MS))
        return 0;
    settled = Repair(&section);
    KovaCredLeave(&section);
    return settled;
}

int KovaCredEnter(tCredSection *pSection, const char *host)
{
    tSKWPasswordData *pListed;
    int hadRecord;

    if (strlen(host) >= CRED_HOST_LEN || !TakeLock(pSection, HashHost(host), CredentialWaitMs()))
        return 0;
    hadRecord = RecordExists(pSection->hash);
    if (!Repair(pSection)) {
        KovaCredLeave(pSection);
        return 0;
    }
    memset(&pSection->record, 0, sizeof(pSection->record));
    strcpy(pSection->record.host, host);
    /* An owner that died leaving no record may have left its credential. */
    if (pSection->abandoned && !hadRecord) {
        KovaDebug("credential store for \"%s\" not known: the lock's last owner died", host);
        return 1;
    }
    pSection->state = SKWListCredential(host, &pListed);
    if (pSection->state == SKW_CRED_ONE) {
        pSection->record.stored = 1;
        pSection->record.old = *pListed;
    }
    return 1;
}

int KovaCredChange(tCredSection *pSection, char *userId, char *password)
{
    tCredRecord *pRecord = &pSection->record;

    if (pSection->state == SKW_CRED_UNKNOWN || strlen(userId) >= sizeof(pRecord->tempUserId))
        return 0;
    strcpy(pRecord->tempUserId, userId);
    pRecord->tempSalt = GetTickCount() * 2654435761u ^ pSection->hash;
    pRecord->tempHash = HashPassword(pRecord->tempSalt, password);
    if (!SaveRecord(pSection->hash, pRecord)) {
        KovaDebug("rollback record for \"%s\" cannot be written, error %lu: the store is "
                  "left alone", pRecord->host, (unsigned long)GetLastError());
        return 0;
    }
    /* Dead from here on: the record tells the next command how to undo. */
    pSection->changed = SKWSetPassword(pRecord->host, userId, password);
    if (!pSection->changed)
        ForgetRecord(pSection->hash); /* the tool never started: no change */
    return pSection->changed;
}

void KovaCredUndo(tCredSection *pSection)
{
    if (pSection->changed && PutBack(&pSection->record))
        ForgetRecord(pSection->hash);
    pSection->changed = 0;
    KovaCredLeave(pSection);
}
