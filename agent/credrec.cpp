/* credrec.cpp - the credential section's rollback record: its folder, its
 * format, its sealing, and writing it whole or not at all.
 *
 * One record per host hash, "KOVACRED-<hash>.REC" in the user's own state
 * folder; written under "KOVACRED-<hash>.NEW" (created new, never through a
 * link), flushed and renamed with write-through.  A record that cannot be
 * read is moved aside as "KOVACRED-<hash>.BAD", which keeps its host
 * refused until the administrator removes it.  The record is its user's
 * alone: the folder is checked before anything is written or read there
 * (a folder, not a link or other reparse point; on NT owned by the user or
 * the user's default owner, with no access granted to anyone but them,
 * SYSTEM, the administrators and the creator; the older platform has no
 * access control to check), and sealed with CryptProtectData where crypt32
 * has it (written plain on platforms without it).  Only the holder of the
 * host's lock calls in here.
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

#define RECORD_PATTERN "KOVACRED-*"
#define RECORD_FORMAT "KOVACRED-%08lX.%s"
#define RECORD_PREFIX_LEN 9 /* "KOVACRED-" */
#define RECORD_PLAIN "KOVACRED PLAIN\n"
#define RECORD_SEALED "KOVACRED SEALED\n"
#define RECORD_TEXT_MAX 1024
#define RECORD_FILE_MAX 4096

#define FOLDER_LOCAL_APPDATA 0x001C /* CSIDL_LOCAL_APPDATA */
#define FOLDER_CREATE 0x8000        /* CSIDL_FLAG_CREATE */
#define SEAL_NO_UI 0x1              /* CRYPTPROTECT_UI_FORBIDDEN */
#define SECURITY_OWNER 0x1          /* OWNER_SECURITY_INFORMATION */
#define SECURITY_DACL 0x4           /* DACL_SECURITY_INFORMATION */
#define TOKEN_QUERY_ONLY 0x8        /* TOKEN_QUERY */
#define TOKEN_USER_CLASS 1          /* TokenUser */
#define TOKEN_OWNER_CLASS 4         /* TokenOwner */
#define REPARSE_POINT 0x400         /* FILE_ATTRIBUTE_REPARSE_POINT */
#define SECURITY_MAX 2048           /* a folder's owner and DACL */
#define TOKEN_INFO_MAX 256
#define SID_MAX 68                  /* 8 + 15 sub-authorities of 4 */
#define MOVE_WRITE_THROUGH 0x8      /* MOVEFILE_WRITE_THROUGH */
#define SD_SELF_RELATIVE 0x8000     /* SE_SELF_RELATIVE */
#define SD_DACL_PRESENT 0x0004      /* SE_DACL_PRESENT */
#define SD_DACL_PROTECTED 0x1000    /* SE_DACL_PROTECTED: nothing inherited */
#define ACE_INHERITED_BY_ALL 0x3    /* OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE */
#define FILE_ALL_RIGHTS 0x001F01FF  /* FILE_ALL_ACCESS */
#define PRIVATE_SD_OFFSET_ACL 20    /* the descriptor's header, then its DACL */
#define PRIVATE_SD_MAX (PRIVATE_SD_OFFSET_ACL + 8 + 8 + SID_MAX)

typedef LONG(WINAPI *tGetFolderPath)(HWND, int, HANDLE, DWORD, LPSTR);

typedef struct tSealBlob {
    DWORD cbData;
    BYTE *pbData;
} tSealBlob;
/* CryptProtectData and CryptUnprotectData: the same shape. */
typedef BOOL(WINAPI *tSealCall)(tSealBlob *, void *, tSealBlob *, void *, void *, DWORD,
                                tSealBlob *);
/* advapi32 and kernel32 calls of NT, looked up at run time. */
typedef BOOL(WINAPI *tGetFileSecurity)(LPCSTR, DWORD, void *, DWORD, LPDWORD);
typedef BOOL(WINAPI *tOpenProcessToken)(HANDLE, DWORD, HANDLE *);
typedef BOOL(WINAPI *tGetTokenInformation)(HANDLE, int, void *, DWORD, DWORD *);
typedef BOOL(WINAPI *tMoveFileEx)(LPCSTR, LPCSTR, DWORD);

static char stateFolder[MAX_PATH];
static int stateFolderKnown; /* 1 found, -1 none */
static DWORD stateFolderError; /* why none */
static tSealCall pSeal, pUnseal;
static int sealLoaded;
static tMoveFileEx pMoveFileEx;
static int moveLoaded;

/* SIDs that may hold rights on the folder besides the user: SYSTEM
 * (S-1-5-18), the administrators (S-1-5-32-544), the creator (S-1-3-0). */
static const BYTE sidSystem[] = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
static const BYTE sidAdministrators[] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
static const BYTE sidCreatorOwner[] = {1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};

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

static int IsNT(void)
{
    OSVERSIONINFOA version;

    return GetPlatform(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
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

/* ---- The folder's check: the user's alone ---------------------------- */

/* The length of the SID at offset in the size bytes at data, or 0 when it
 * does not fit. */
static size_t SidLength(const BYTE *data, size_t size, size_t offset)
{
    size_t length;

    if (offset + 8 > size)
        return 0;
    length = 8 + 4 * (size_t)data[offset + 1];
    return offset + length <= size && length <= SID_MAX ? length : 0;
}

static int SameSid(const BYTE *sid, size_t length, const BYTE *other, size_t otherLength)
{
    return length == otherLength && memcmp(sid, other, length) == 0;
}

/* The SID of the token's user (TOKEN_USER) or default owner (TOKEN_OWNER):
 * both begin with the SID's address. */
static size_t TokenSid(tGetTokenInformation pGet, HANDLE hToken, int infoClass, BYTE *sid)
{
    BYTE info[TOKEN_INFO_MAX];
    const BYTE *found;
    DWORD got = 0;
    size_t length;

    if (!pGet(hToken, infoClass, info, sizeof(info), &got))
        return 0;
    memcpy(&found, info, sizeof(found));
    if (got > sizeof(info) || (uintptr_t)found < (uintptr_t)info ||
        (uintptr_t)found >= (uintptr_t)(info + got))
        return 0;
    length = SidLength(found, (size_t)(info + got - found), 0);
    memcpy(sid, found, length);
    return length;
}

/* Those whom the folder may let in: the user, the user's default owner
 * (the administrators, for an administrator on XP), SYSTEM, the
 * administrators and the creator. */
static int Trusted(const BYTE *sid, size_t length, const BYTE *user, size_t userLength,
                   const BYTE *owner, size_t ownerLength)
{
    return SameSid(sid, length, user, userLength) || SameSid(sid, length, owner, ownerLength) ||
           SameSid(sid, length, sidSystem, sizeof(sidSystem)) ||
           SameSid(sid, length, sidAdministrators, sizeof(sidAdministrators)) ||
           SameSid(sid, length, sidCreatorOwner, sizeof(sidCreatorOwner));
}

/* Reads a little-endian field of the self-relative descriptor. */
static DWORD Field(const BYTE *data, size_t offset, size_t bytes)
{
    DWORD value = 0;

    while (bytes-- > 0)
        value = value << 8 | data[offset + bytes];
    return value;
}

/* The token's user and default owner; NULL, or why they cannot be had. */
static const char *TokenSids(BYTE *user, size_t *pUserLength, BYTE *owner, size_t *pOwnerLength,
                             tGetFileSecurity *ppGetFileSecurity)
{
    tOpenProcessToken pOpenToken;
    tGetTokenInformation pGetToken;
    HMODULE hAdvapi = LoadLibraryA("advapi32.dll"); /* kept loaded for the run */
    HANDLE hToken;

    if (!hAdvapi)
        return "advapi32.dll cannot be loaded";
    *ppGetFileSecurity =
        (tGetFileSecurity)(void (*)(void))GetProcAddress(hAdvapi, "GetFileSecurityA");
    pOpenToken = (tOpenProcessToken)(void (*)(void))GetProcAddress(hAdvapi, "OpenProcessToken");
    pGetToken =
        (tGetTokenInformation)(void (*)(void))GetProcAddress(hAdvapi, "GetTokenInformation");
    if (!*ppGetFileSecurity || !pOpenToken || !pGetToken)
        return "the security calls are missing";
    if (!pOpenToken(GetCurrentProcess(), TOKEN_QUERY_ONLY, &hToken))
        return "the process token cannot be read";
    *pUserLength = TokenSid(pGetToken, hToken, TOKEN_USER_CLASS, user);
    *pOwnerLength = TokenSid(pGetToken, hToken, TOKEN_OWNER_CLASS, owner);
    CloseHandle(hToken);
    return *pUserLength && *pOwnerLength ? NULL : "the process token cannot be read";
}

static void PutField(BYTE *data, size_t offset, DWORD value, size_t bytes)
{
    size_t i;

    for (i = 0; i < bytes; i++)
        data[offset + i] = (BYTE)(value >> (8 * i));
}

/* NT: a self-relative descriptor whose protected DACL lets the user alone
 * in, inherited by everything the folder will hold, so that a folder we
 * make is private whatever its parent lets in.  0 when it cannot be had:
 * the folder then inherits, and the check decides. */
static int PrivateDescriptor(BYTE *descriptor)
{
    BYTE user[SID_MAX], owner[SID_MAX];
    size_t userLength = 0, ownerLength = 0, aceSize;
    tGetFileSecurity pUnused;

    if (!IsNT() || TokenSids(user, &userLength, owner, &ownerLength, &pUnused))
        return 0;
    aceSize = 8 + userLength;
    memset(descriptor, 0, PRIVATE_SD_OFFSET_ACL + 8 + aceSize);
    descriptor[0] = 1;                                       /* revision */
    PutField(descriptor, 2, SD_SELF_RELATIVE | SD_DACL_PRESENT | SD_DACL_PROTECTED, 2);
    PutField(descriptor, 16, PRIVATE_SD_OFFSET_ACL, 4);      /* the DACL */
    descriptor[PRIVATE_SD_OFFSET_ACL] = 2;                   /* ACL_REVISION */
    PutField(descriptor, PRIVATE_SD_OFFSET_ACL + 2, (DWORD)(8 + aceSize), 2);
    PutField(descriptor, PRIVATE_SD_OFFSET_ACL + 4, 1, 2);   /* one entry */
    descriptor[PRIVATE_SD_OFFSET_ACL + 8] = 0;               /* ACCESS_ALLOWED_ACE_TYPE */
    descriptor[PRIVATE_SD_OFFSET_ACL + 9] = ACE_INHERITED_BY_ALL;
    PutField(descriptor, PRIVATE_SD_OFFSET_ACL + 10, (DWORD)aceSize, 2);
    PutField(descriptor, PRIVATE_SD_OFFSET_ACL + 12, FILE_ALL_RIGHTS, 4);
    memcpy(descriptor + PRIVATE_SD_OFFSET_ACL + 16, user, userLength);
    return 1;
}

/* NT: the folder is owned by the user (or the default owner) and its DACL
 * lets in nobody else; NULL, with why, or the reason it fails. */
static const char *CheckOwner(const char *folder)
{
    static BYTE descriptor[SECURITY_MAX];
    BYTE user[SID_MAX], owner[SID_MAX];
    size_t userLength = 0, ownerLength = 0, ownerAt, aclAt, aceAt, sidLength;
    tGetFileSecurity pGetFileSecurity = NULL;
    const char *why = TokenSids(user, &userLength, owner, &ownerLength, &pGetFileSecurity);
    DWORD got = 0, count, i;

    if (why)
        return why;
    if (!pGetFileSecurity(folder, SECURITY_OWNER | SECURITY_DACL, descriptor, sizeof(descriptor),
                          &got) ||
        got > sizeof(descriptor) || got < 20)
        return "its owner and access cannot be read (a volume without security?)";
    ownerAt = Field(descriptor, 4, 4);
    aclAt = Field(descriptor, 16, 4);
    sidLength = ownerAt ? SidLength(descriptor, got, ownerAt) : 0;
    if (!sidLength || !(SameSid(descriptor + ownerAt, sidLength, user, userLength) ||
                        SameSid(descriptor + ownerAt, sidLength, owner, ownerLength)))
        return "it is owned by someone else";
    /* No DACL at all lets everyone in. */
    if (!(Field(descriptor, 2, 2) & 0x0004) || !aclAt || aclAt + 8 > got)
        return "it lets everyone in";
    count = Field(descriptor, aclAt + 4, 2);
    aceAt = aclAt + 8;
    for (i = 0; i < count; i++) {
        size_t aceSize;
        int type;

        if (aceAt + 8 > got)
            return "its access list cannot be read";
        type = descriptor[aceAt];
        aceSize = Field(descriptor, aceAt + 2, 2);
        if (aceSize < 8 || aceAt + aceSize > got)
            return "its access list cannot be read";
        /* Denials keep others out; any grant must name one of ours. */
        if (type != 1) {
            sidLength = SidLength(descriptor, aceAt + aceSize, aceAt + 8);
            if (type != 0 || !sidLength ||
                !Trusted(descriptor + aceAt + 8, sidLength, user, userLength, owner, ownerLength))
                return "it lets others in";
        }
        aceAt += aceSize;
    }
    return NULL;
}

/* The folder is the user's alone; else why not.  The older platform has
 * no access control at all: only the kind of the folder is checked. */
static const char *CheckFolder(const char *folder)
{
    DWORD attributes = GetFileAttributesA(folder);

    if (attributes == INVALID_FILE_ATTRIBUTES)
        return "it cannot be found";
    if (attributes & REPARSE_POINT)
        return "it is a link or another reparse point";
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return "it is no folder";
    return IsNT() ? CheckOwner(folder) : NULL;
}

/* The folder of the records: KOVA_STATE_DIR, else "kova" in the local
 * application data, else the older places; made when missing. */
static const char *StateFolder(void)
{
    char base[MAX_PATH];
    const char *chosen = getenv("KOVA_STATE_DIR");
    const char *profile = getenv("USERPROFILE");
    const char *refused;
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
    } else if (IsNT()) {
        found = profile && profile[0] &&
                Join(stateFolder, sizeof(stateFolder), profile,
                     "Local Settings\\Application Data\\kova");
    } else if (GetWindowsDirectoryA(base, sizeof(base)) > 0) {
        found = Join(stateFolder, sizeof(stateFolder), base, "KOVA");
    }
    stateFolderError = ERROR_PATH_NOT_FOUND;
    if (!found)
        return NULL;
    {
        static BYTE privateDescriptor[PRIVATE_SD_MAX];
        SECURITY_ATTRIBUTES attributes;
        attributes.nLength = sizeof(attributes);
        attributes.lpSecurityDescriptor =
            PrivateDescriptor(privateDescriptor) ? privateDescriptor : NULL;
        attributes.bInheritHandle = FALSE;
        /* Dead just after: the folder is there, private, and empty. */
        if (!CreateDirectoryA(stateFolder, &attributes) && GetLastError() != ERROR_ALREADY_EXISTS) {
            stateFolderError = GetLastError();
            return NULL;
        }
    }
    /* Nothing is written to or read from a folder others may change or
     * read: a record there could be read, or planted. */
    refused = CheckFolder(stateFolder);
    if (refused) {
        KovaDebug("state folder %s refused: %s; no rollback record is written or read there",
                  stateFolder, refused);
        stateFolderError = ERROR_ACCESS_DENIED;
        return NULL;
    }
    stateFolderKnown = 1;
    return stateFolder;
}

static int RecordPath(char *path, uint32_t hash, const char *extension)
{
    char name[32];
    const char *folder = StateFolder();

    snprintf(name, sizeof(name), RECORD_FORMAT, (unsigned long)hash, extension);
    if (!folder)
        SetLastError(stateFolderError);
    return folder && Join(path, MAX_PATH, folder, name);
}

/* A rename that fails where the new name exists: with write-through on NT
 * (MoveFileExA, looked up at run time), MoveFileA on the older platform,
 * which has no MoveFileExA. */
static int Rename(const char *from, const char *to)
{
    HMODULE hKernel;

    if (!moveLoaded) {
        moveLoaded = 1;
        hKernel = IsNT() ? LoadLibraryA("kernel32.dll") : NULL;
        if (hKernel)
            pMoveFileEx = (tMoveFileEx)(void (*)(void))GetProcAddress(hKernel, "MoveFileExA");
    }
    if (pMoveFileEx) {
        if (pMoveFileEx(from, to, MOVE_WRITE_THROUGH))
            return 1;
        if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED)
            return 0;
    }
    return MoveFileA(from, to);
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
    /* New, never through a link: a name already there (the settle removed
     * any before) fails the save. */
    hFile = CreateFileA(temporary, GENERIC_WRITE, 0, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        memset(recordFile, 0, sizeof(recordFile));
        return 0;
    }
    /* Dead after the write or the flush: a temporary record, which the
     * next command removes; no record, the store untouched. */
    ok = WriteFile(hFile, recordFile, (DWORD)fileLen, &written, NULL) &&
         written == (DWORD)fileLen && FlushFileBuffers(hFile);
    CloseHandle(hFile);
    memset(recordFile, 0, sizeof(recordFile));
    /* Dead after the rename: a record, the store untouched; the next
     * command finds the old state there and forgets it. */
    if (!ok || !Rename(temporary, path)) {
        DWORD error = GetLastError();
        DeleteFileA(temporary);
        SetLastError(error);
        return 0;
    }
    return 1;
}

static int FileThere(const char *path)
{
    WIN32_FIND_DATAA found;
    HANDLE hFind = FindFirstFileA(path, &found);

    if (hFind == INVALID_HANDLE_VALUE)
        return 0;
    FindClose(hFind);
    return 1;
}

/* A record that was read and cannot be used goes aside, so that recovery
 * never takes it again; its host stays refused while it is there.  Dead
 * just after: the same, the next command sees the moved-aside record. */
static void SetAside(uint32_t hash, const char *path, const char *why)
{
    char aside[MAX_PATH];

    memset(recordFile, 0, sizeof(recordFile));
    memset(recordText, 0, sizeof(recordText));
    if (!RecordPath(aside, hash, "BAD"))
        return;
    if (Rename(path, aside))
        KovaDebug("rollback record KOVACRED-%08lX.REC cannot be used (%s): moved aside as "
                  "KOVACRED-%08lX.BAD", (unsigned long)hash, why, (unsigned long)hash);
    else
        KovaDebug("rollback record KOVACRED-%08lX.REC cannot be used (%s) nor moved aside, "
                  "error %lu", (unsigned long)hash, why, (unsigned long)GetLastError());
}

/* Reads the record under hash (its host's lock is held).  A record moved
 * aside keeps the host BAD until it is removed. */
int CredRecordLoad(uint32_t hash, tCredRecord *pRecord)
{
    char path[MAX_PATH], aside[MAX_PATH];
    DWORD got = 0, total = 0;
    HANDLE hFile;
    int textLen, ok, read = 1;
    size_t headerLen;

    if (!RecordPath(path, hash, "REC") || !RecordPath(aside, hash, "BAD"))
        return CRED_RECORD_NONE;
    if (FileThere(aside))
        return CRED_RECORD_BAD;
    hFile = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, NULL);
    /* Not opened (no descriptor left, say): BAD for now, kept as it is. */
    if (hFile == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND
                   ? CRED_RECORD_NONE
                   : CRED_RECORD_BAD;
    while (total < sizeof(recordFile) &&
           (read = ReadFile(hFile, recordFile + total, (DWORD)(sizeof(recordFile) - total), &got,
                            NULL)) != 0 &&
           got > 0)
        total += got;
    CloseHandle(hFile);
    if (!read) {
        memset(recordFile, 0, sizeof(recordFile));
        return CRED_RECORD_BAD; /* a read that failed says nothing of the record */
    }
    if (total == 0 || total >= sizeof(recordFile)) {
        SetAside(hash, path, total == 0 ? "empty" : "too long");
        return CRED_RECORD_BAD;
    }
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
    if (textLen < 0) {
        SetAside(hash, path, "not a record, or sealed for another user");
        return CRED_RECORD_BAD;
    }
    recordText[textLen] = '\0';
    ok = memchr(recordText, '\0', (size_t)textLen) == NULL && ParseRecord(recordText, pRecord);
    memset(recordText, 0, sizeof(recordText));
    if (!ok || CredHashHost(pRecord->host) != hash) {
        SetAside(hash, path, ok ? "another host's" : "not in the record's form");
        memset(pRecord, 0, sizeof(*pRecord));
        return CRED_RECORD_BAD;
    }
    return CRED_RECORD_OK;
}

/* Dead just after: nothing is owed, the store shows the old state. */
void CredRecordForget(uint32_t hash)
{
    char path[MAX_PATH];

    if (RecordPath(path, hash, "REC"))
        DeleteFileA(path);
}

/* A record, or one moved aside. */
int CredRecordExists(uint32_t hash)
{
    char path[MAX_PATH];

    return (RecordPath(path, hash, "REC") && FileThere(path)) ||
           (RecordPath(path, hash, "BAD") && FileThere(path));
}

/* A link planted at the name is removed itself, never followed.  Dead just
 * after: nothing left to remove. */
void CredRecordDropTemporary(uint32_t hash)
{
    char temporary[MAX_PATH];

    if (RecordPath(temporary, hash, "NEW") && DeleteFileA(temporary))
        KovaDebug("temporary record KOVACRED-%08lX.NEW of a writer that is gone removed",
                  (unsigned long)hash);
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
    /* Records and temporary records (a writer's death left it), each hash
     * once; moved-aside records are no longer taken. */
    do {
        const char *extension = found.cFileName + RECORD_PREFIX_LEN + 8;
        uint64_t hash;
        int i;

        if (strlen(found.cFileName) != RECORD_PREFIX_LEN + 8 + 4 ||
            (strcmp(extension, ".REC") != 0 && strcmp(extension, ".NEW") != 0))
            continue;
        found.cFileName[RECORD_PREFIX_LEN + 8] = '\0';
        if (!ParseHex(found.cFileName + RECORD_PREFIX_LEN, 8, &hash))
            continue;
        for (i = 0; i < count && hashes[i] != (uint32_t)hash; i++)
            ;
        if (i == count)
            hashes[count++] = (uint32_t)hash;
    } while (count < max && FindNextFileA(hFind, &found));
    FindClose(hFind);
    return count;
}
