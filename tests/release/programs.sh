#!/usr/bin/env bash
# Checks that the two 32-bit programs can start on every Windows they claim,
# from their PE headers alone: subsystem version 4.0 (what Windows 98 and
# NT 4.0 load), no debug sections, and no import that Windows 98 or NT 4.0
# does not export. A newer call the code needs must be loaded at run time
# (GetProcAddress), where its absence can be handled; in the import table it
# stops the program before it starts. Some calls are exported on the older
# platform only as stubs that fail (MoveFileExA, most ...W calls): no import
# table shows those, the code must check their results.
#   programs.sh BUILD_DIR      (build/windows; exit 77: nothing to check here)
set -uo pipefail
build=$1
objdump=i686-w64-mingw32-objdump

command -v "$objdump" >/dev/null 2>&1 || { echo "no $objdump"; exit 77; }
programs=("$build/host/kova32ex.exe" "$build/wakelan/wakelan.exe")
for program in "${programs[@]}"; do
  [ -f "$program" ] || { echo "no 32-bit build in $build"; exit 77; }
done

# Libraries that Windows 98 or NT 4.0 lacks, whole (the C runtimes after
# version 6 among them); then single functions, DLL!NAME, that one of them
# does not export.
denied_dlls='^(bcrypt|ncrypt|ucrtbase|vcruntime[0-9]*|msvc[rp](7|8|9|1[0-9])[0-9]*|api-ms-win-.*|ext-ms-win-.*|userenv|wtsapi32)\.dll$'
denied_functions=(
  # kernel32: Windows 2000 and later
  KERNEL32.dll!GetFileSizeEx KERNEL32.dll!SetFilePointerEx KERNEL32.dll!ReplaceFileA
  KERNEL32.dll!CreateHardLinkA KERNEL32.dll!MoveFileWithProgressA KERNEL32.dll!ProcessIdToSessionId
  # kernel32: XP and later
  KERNEL32.dll!GetModuleHandleExA KERNEL32.dll!GetNativeSystemInfo KERNEL32.dll!IsWow64Process
  KERNEL32.dll!AddVectoredExceptionHandler KERNEL32.dll!AttachConsole
  # kernel32: Vista and later
  KERNEL32.dll!GetTickCount64 KERNEL32.dll!InitializeCriticalSectionEx KERNEL32.dll!InitOnceExecuteOnce
  KERNEL32.dll!InitializeSRWLock KERNEL32.dll!AcquireSRWLockExclusive KERNEL32.dll!InitializeConditionVariable
  KERNEL32.dll!SleepConditionVariableCS KERNEL32.dll!CancelIoEx KERNEL32.dll!FlsAlloc
  KERNEL32.dll!GetFinalPathNameByHandleA KERNEL32.dll!CreateSymbolicLinkA KERNEL32.dll!GetSystemTimePreciseAsFileTime
  # kernel32: NT only (not on Windows 98), or not on NT 4.0
  KERNEL32.dll!TryEnterCriticalSection KERNEL32.dll!SwitchToThread KERNEL32.dll!SignalObjectAndWait
  KERNEL32.dll!CreateToolhelp32Snapshot KERNEL32.dll!GetLongPathNameA
  # advapi32
  ADVAPI32.dll!RegGetValueA ADVAPI32.dll!RegDeleteKeyExA ADVAPI32.dll!CreateWellKnownSid
  ADVAPI32.dll!SystemFunction036 ADVAPI32.dll!ConvertStringSecurityDescriptorToSecurityDescriptorA
  # crypt32: Windows 2000 and later
  CRYPT32.dll!CryptProtectData CRYPT32.dll!CryptUnprotectData
  # shell32: Windows 2000 and later (older ones have it in shfolder.dll, if at all)
  SHELL32.dll!SHGetFolderPathA SHELL32.dll!SHGetFolderPathW SHELL32.dll!SHGetKnownFolderPath
  # ws2_32: XP and later
  WS2_32.dll!getaddrinfo WS2_32.dll!freeaddrinfo WS2_32.dll!getnameinfo WS2_32.dll!inet_pton
  WS2_32.dll!inet_ntop WS2_32.dll!WSAPoll
  # msvcrt: not in the runtime of Windows 98 and NT 4.0 (version 6)
  msvcrt.dll!__iob_func msvcrt.dll!_time64 msvcrt.dll!_localtime64 msvcrt.dll!_gmtime64
  msvcrt.dll!_mktime64 msvcrt.dll!_aligned_malloc
)

status=0
for program in "${programs[@]}"; do
  name=${program##*/}
  headers=$("$objdump" -p "$program") || { echo "$name: cannot read its headers"; status=1; continue; }
  major=$(awk '$1 == "MajorSubsystemVersion" {print $2}' <<<"$headers")
  minor=$(awk '$1 == "MinorSubsystemVersion" {print $2}' <<<"$headers")
  if [ "$major.$minor" != 4.0 ]; then
    echo "$name: subsystem version $major.$minor, not 4.0"
    status=1
  fi
  debug=$("$objdump" -h "$program" | awk '$2 ~ /^\.debug/ {print $2}' | tr '\n' ' ')
  if [ -n "$debug" ]; then
    echo "$name: debug sections $debug"
    status=1
  fi
  # DLL!NAME for every import, from the import tables.
  imports=$(awk '/^The Import Tables/ {on = 1} /^The Export Tables|^PE File Base Relocations/ {on = 0}
    on && $1 == "DLL" && $2 == "Name:" {dll = $3; next}
    on && dll != "" && NF == 3 && $1 ~ /^[0-9a-f]+$/ {print dll "!" $3}' <<<"$headers")
  if [ -z "$imports" ]; then
    echo "$name: no imports read"
    status=1
  fi
  while IFS= read -r import; do
    dll=${import%%!*}
    if grep -qiE "$denied_dlls" <<<"$dll"; then
      echo "$name: imports $import, and Windows 98 and NT 4.0 have no $dll"
      status=1
    fi
    for denied in "${denied_functions[@]}"; do
      if [ "${import,,}" = "${denied,,}" ]; then
        echo "$name: imports $import, which Windows 98 or NT 4.0 does not export"
        status=1
      fi
    done
  done <<<"$imports"
done
exit $status
