/* kovacred.cpp - the credential section.
 *
 * A request with a user ID puts its credential into the agent's store for
 * one host and must leave the store as it found it, even when the process
 * dies half way, as a database's rollback journal does.  Each step names
 * its function:
 *
 *   1. Lock (TakeLock): the host's named mutex, KOVA-CRED-<hash of the
 *      host> (in the Global\ namespace where there is one), one for every
 *      request of the account.  No lock in time: no request.
 *   2. Settle (Settle): first the host's tool marker, KOVA-TOOLS-<hash>, an
 *      inheritable named event that every tool of a section inherits: while
 *      it exists elsewhere, a tool of a dead request still runs and may yet
 *      change the store, so we wait for it (KOVA_ORPHAN_WAIT_MS); past the
 *      wait nothing is trusted and nothing is made.  Then a record left
 *      under the hash is settled (Repair, step 8); if it cannot be, no
 *      request.  Our own marker is held from here to the end.
 *   3. List (KovaCredPlace): only "none" from the agent's own word, or one
 *      whole credential for the host, counts; anything else: no request.
 *   4. Record (KovaCredPlace, CredRecordSave): the host, the old state and
 *      the request's user ID with a salted hash of its password, written
 *      whole.  No record, no change, no request.
 *   5. Change and check (KovaCredPlace): store the request's credential and
 *      list: exactly it must be there, or the store is put back (step 6)
 *      and the request is not made.  Then the request runs; the store goes
 *      back only once every tool it started has ended.
 *   6. Undo (PutBack): put the old state back, then list again; once more
 *      if the listing does not show the old state.
 *   7. Forget (CredRecordForget): only once a listing showed the old state.
 *   8. Recovery (Repair), the second door to step 6: every agent command
 *      first takes, for each record left (a few that need the store per
 *      command), its host's lock, settles the marker, removes a temporary
 *      record (its writer is gone), moves a record it cannot read aside
 *      (its host stays refused), and lists: the temporary credential is
 *      there: undo (6) and forget (7); the old state is there: forget; a
 *      credential positively read that is neither: the store was changed
 *      since, forget and leave it alone; anything else: keep the record.
 *
 * Invariants: the store differs from the record's old state only while the
 * host's record exists; a record is read, written or deleted only by the
 * holder of its host's lock; no listing is trusted while a dead request's
 * tool may still run; a request with a user ID runs only with its own
 * credential in place.
 */
#include "kovawin.h"

#include "kovacred.h"

#include "kovadebug.h"
#include "kovatext.h"
#include "skwstore.h"

#define CRED_MUTEX_FORMAT "KOVA-CRED-%08lX"
#define CRED_TOOLS_FORMAT "KOVA-TOOLS-%08lX"
#define CRED_GLOBAL "Global\\"
#define CRED_NAME_LEN 40
#define CRED_WAIT_DEFAULT_MS 60000   /* what a console sits through */
#define ORPHAN_WAIT_DEFAULT_MS 30000 /* a dead request's tool, to its end */
#define CRED_RECOVERY_WAIT_MS 2000   /* longer: a live request holds it */
#define CRED_RECOVERY_MAX 4          /* records settled per command */
#define CRED_RECOVERY_LIST 32        /* looked at per command */
#define ORPHAN_POLL_MS 20

static int recovered;

/* ---- Names and hashes ------------------------------------------------ */

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

/* The session namespace exists from NT 5.0 on; NT 4.0 and the older
 * platform allow no backslash in an object name. */
static void ObjectName(char *name, const char *format, uint32_t hash)
{
    OSVERSIONINFOA version;
    char bare[CRED_NAME_LEN - sizeof(CRED_GLOBAL)];
    int global;

    memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    global = GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
             version.dwMajorVersion >= 5;
    snprintf(bare, sizeof(bare), format, (unsigned long)hash);
    snprintf(name, CRED_NAME_LEN, "%s%s", global ? CRED_GLOBAL : "", bare);
}

static DWORD WaitMs(const char *variable, DWORD defaultMs)
{
    uint32_t value;

    return KovaEnvironmentMs(variable, &value) ? (DWORD)value : defaultMs;
}

/* ---- Step 1: the lock ------------------------------------------------ */

/* Takes the lock of hash; 0 when it cannot be had in time.  Dead while
 * holding it: the system frees it, and the next owner sees it abandoned. */
static int TakeLock(tCredSection *pSection, uint32_t hash, DWORD waitMs)
{
    char name[CRED_NAME_LEN];
    DWORD waited;

    memset(pSection, 0, sizeof(*pSection));
    pSection->hash = hash;
    ObjectName(name, CRED_MUTEX_FORMAT, hash);
    pSection->hMutex = CreateMutexA(NULL, FALSE, name);
    if (!pSection->hMutex) {
        KovaDebug("credential lock %s: CreateMutexA failed, error %lu", name,
                  (unsigned long)GetLastError());
        return 0;
    }
    waited = WaitForSingleObject(pSection->hMutex, waitMs);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        /* A dead owner left a record if it changed anything: Repair. */
        if (waited == WAIT_ABANDONED)
            KovaDebug("credential lock %s: abandoned by a request that died", name);
        return 1;
    }
    KovaDebug("credential lock %s: still held by another request after %lu ms", name,
              (unsigned long)waitMs);
    CloseHandle(pSection->hMutex);
    pSection->hMutex = NULL;
    return 0;
}

static void Leave(tCredSection *pSection)
{
    if (pSection->hTools) {
        CloseHandle(pSection->hTools);
        pSection->hTools = NULL;
    }
    if (pSection->hMutex) {
        ReleaseMutex(pSection->hMutex);
        CloseHandle(pSection->hMutex);
        pSection->hMutex = NULL;
    }
}

/* ---- Step 2: no tool of a dead request alive ------------------------- */

/* Creates the host's tool marker, inheritable; 1 when it is ours alone,
 * 0 when it already existed (*phTools is closed again) or failed. */
static int CreateMarker(const char *name, HANDLE *phTools)
{
    SECURITY_ATTRIBUTES inherit;
    DWORD error;

    inherit.nLength = sizeof(inherit);
    inherit.lpSecurityDescriptor = NULL;
    inherit.bInheritHandle = TRUE;
    *phTools = CreateEventA(&inherit, TRUE, FALSE, name);
    error = GetLastError();
    if (*phTools && error != ERROR_ALREADY_EXISTS)
        return 1;
    if (*phTools)
        CloseHandle(*phTools);
    *phTools = NULL;
    return 0;
}

/* Waits, under the host's lock, until no other process holds the host's
 * tool marker, and keeps ours.  0 when a dead request's tool outlives the
 * wait (or the marker cannot be made): nothing may be trusted yet. */
static int AwaitOrphans(tCredSection *pSection, DWORD waitMs)
{
    char name[CRED_NAME_LEN];
    DWORD start = GetTickCount();
    int logged = 0;

    ObjectName(name, CRED_TOOLS_FORMAT, pSection->hash);
    while (!CreateMarker(name, &pSection->hTools)) {
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            KovaDebug("tool marker %s: CreateEventA failed, error %lu", name,
                      (unsigned long)GetLastError());
            return 0;
        }
        if (!logged++)
            KovaDebug("tool marker %s: a tool of a request that died still runs, waiting up "
                      "to %lu ms", name, (unsigned long)waitMs);
        if ((DWORD)(GetTickCount() - start) >= waitMs) {
            KovaDebug("tool marker %s: still held after %lu ms: the credential store is not "
                      "trusted, its record stays", name, (unsigned long)waitMs);
            return 0;
        }
        Sleep(ORPHAN_POLL_MS);
    }
    if (logged)
        KovaDebug("tool marker %s: the dead request's tools have ended after %lu ms", name,
                  (unsigned long)(DWORD)(GetTickCount() - start));
    return 1;
}

/* ---- Steps 6 and 8: undo, verified, through both doors ---------------- */

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
static int PutBack(const tCredRecord *pRecord)
{
    tSKWPasswordData *pListed;
    int attempt, state;

    for (attempt = 0; attempt < 2; attempt++) {
        if (pRecord->stored)
            SKWStoreAdd(pRecord->host, pRecord->old.userId, pRecord->old.password);
        else
            SKWStoreDelete(pRecord->host);
        state = SKWStoreList(pRecord->host, &pListed);
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
    tCredRecord *pRecord = &pSection->record;
    tSKWPasswordData *pListed;
    int loaded, state, done;

    /* Only a lock holder writes one, and we hold the lock: its writer is
     * gone, before its rename, with the store untouched. */
    CredRecordDropTemporary(pSection->hash);
    loaded = CredRecordLoad(pSection->hash, pRecord);
    pSection->repairedAlone = loaded != CRED_RECORD_OK;
    if (loaded != CRED_RECORD_OK) {
        if (loaded == CRED_RECORD_BAD)
            KovaDebug("rollback record of hash %08lX cannot be used (KOVACRED-%08lX.BAD, or a "
                      ".REC not readable now): its PC's requests answer 108",
                      (unsigned long)pSection->hash, (unsigned long)pSection->hash);
        return loaded == CRED_RECORD_NONE;
    }
    state = SKWStoreList(pRecord->host, &pListed);
    if (ShowsTemporary(state, pListed, pRecord)) {
        done = PutBack(pRecord);
        KovaDebug("repair for \"%s\": a dead request's credential %s", pRecord->host,
                  done ? "was replaced by the old state" : "remains");
    } else if (state == SKW_CRED_UNKNOWN) {
        done = 0;
        KovaDebug("repair for \"%s\": the listing is not known, the record is kept",
                  pRecord->host);
    } else {
        done = 1;
        KovaDebug("repair for \"%s\": %s", pRecord->host,
                  ShowsOldState(state, pListed, pRecord)
                      ? "the store was already put back"
                      : "the store was changed since, it is left alone");
    }
    if (done)
        CredRecordForget(pSection->hash);
    return done;
}

/* Step 2 whole: no dead request's tool alive, no record left. */
static int Settle(tCredSection *pSection, DWORD orphanWaitMs)
{
    return AwaitOrphans(pSection, orphanWaitMs) && Repair(pSection);
}

/* ---- The doors -------------------------------------------------------- */

void KovaCredRecover(void)
{
    uint32_t hashes[CRED_RECOVERY_LIST];
    tCredSection section;
    int count, i, costly;

    if (recovered)
        return;
    recovered = 1;
    count = CredRecordList(hashes, CRED_RECOVERY_LIST);
    /* A busy lock belongs to a live request, which settles its own; a
     * dead request's tool that still runs keeps its record for later.
     * Only records that cost a wait or a tool count against the limit: a
     * damaged one is moved aside, a temporary one removed, at no cost, so
     * they hold up no real record behind them (32 of them per command). */
    for (i = 0, costly = 0; i < count && costly < CRED_RECOVERY_MAX; i++) {
        /* A lock not had in time cost its wait. */
        if (!TakeLock(&section, hashes[i], CRED_RECOVERY_WAIT_MS)) {
            costly++;
            continue;
        }
        Settle(&section, CRED_RECOVERY_WAIT_MS);
        Leave(&section);
        costly += !section.repairedAlone;
    }
}

int KovaCredNothingPending(const char *host)
{
    tCredSection section;
    int settled;

    if (!CredRecordExists(CredHashHost(host)))
        return 1;
    if (!TakeLock(&section, CredHashHost(host), CRED_RECOVERY_WAIT_MS))
        return 0;
    settled = Settle(&section, WaitMs("KOVA_ORPHAN_WAIT_MS", ORPHAN_WAIT_DEFAULT_MS));
    Leave(&section);
    return settled;
}

/* Steps 3 to 5. */
int KovaCredPlace(tCredSection *pSection, const char *host, const char *userId,
                  const char *password)
{
    tCredRecord *pRecord = &pSection->record;
    tSKWPasswordData *pListed;
    int state;

    memset(pSection, 0, sizeof(*pSection));
    if (strlen(host) >= CRED_HOST_LEN || strlen(userId) >= sizeof(pRecord->tempUserId) ||
        !SKWStoreCommandsFit(host, userId, password)) {
        KovaDebug("credential for \"%s\" not placed: a value does not fit the agent's "
                  "command line", host);
        return 0;
    }
    if (!TakeLock(pSection, CredHashHost(host), WaitMs("KOVA_CRED_WAIT_MS", CRED_WAIT_DEFAULT_MS)))
        return 0;
    if (!Settle(pSection, WaitMs("KOVA_ORPHAN_WAIT_MS", ORPHAN_WAIT_DEFAULT_MS))) {
        KovaDebug("credential for \"%s\" not placed: a dead request's repair is pending", host);
        Leave(pSection);
        return 0;
    }

    state = SKWStoreList(host, &pListed);
    memset(pRecord, 0, sizeof(*pRecord));
    strcpy(pRecord->host, host);
    if (state == SKW_CRED_ONE) {
        pRecord->stored = 1;
        pRecord->old = *pListed;
    }
    if (state == SKW_CRED_UNKNOWN ||
        (pRecord->stored &&
         !SKWStoreCommandsFit(host, pRecord->old.userId, pRecord->old.password))) {
        KovaDebug("credential for \"%s\" not placed: %s", host,
                  state == SKW_CRED_UNKNOWN ? "the store's listing is not known"
                                            : "the stored credential cannot be sent back whole");
        Leave(pSection);
        return 0;
    }

    strcpy(pRecord->tempUserId, userId);
    pRecord->tempSalt = GetTickCount() * 2654435761u ^ pSection->hash;
    pRecord->tempHash = HashPassword(pRecord->tempSalt, password);
    if (!CredRecordSave(pSection->hash, pRecord)) {
        KovaDebug("credential for \"%s\" not placed: its rollback record cannot be written, "
                  "error %lu", host, (unsigned long)GetLastError());
        Leave(pSection);
        return 0;
    }
    /* Dead from here on: the record tells the next command how to undo. */
    pSection->changed = 1;
    SKWStoreAdd(host, userId, password);
    state = SKWStoreList(host, &pListed);
    if (state != SKW_CRED_ONE || strcmp(pListed->userId, userId) != 0 ||
        strcmp(pListed->password, password) != 0) {
        KovaDebug("credential for \"%s\" not placed: the listing after storing it does not "
                  "show it, the store is put back", host);
        KovaCredUndo(pSection);
        return 0;
    }
    return 1;
}

void KovaCredUndo(tCredSection *pSection)
{
    if (pSection->changed && PutBack(&pSection->record))
        CredRecordForget(pSection->hash);
    pSection->changed = 0;
    memset(&pSection->record, 0, sizeof(pSection->record));
    Leave(pSection);
}
