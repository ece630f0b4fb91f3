#!/usr/bin/env bash
# Checks that a 32-bit plugin DLL loads on Windows XP SP3: its PE header gives 5.1
# as the oldest Windows and subsystem, it needs no DLL beside kernel32, msvcrt and
# the host's, and every function it takes from kernel32 and msvcrt is on the lists
# below, each of them exported by those DLLs on XP SP3 (the C++ runtime's threads
# library, for one, would add GetTickCount64, which XP lacks).
set -u
objdump=$1 dll=$2
dump=$("$objdump" -p "$dll") || { echo "objdump failed on $dll"; exit 1; }
fail=0
bad() { echo "FAIL: $*"; fail=1; }

for field in MajorOSystemVersion=5 MinorOSystemVersion=1 MajorSubsystemVersion=5 MinorSubsystemVersion=1; do
  name=${field%=*} want=${field#*=}
  got=$(echo "$dump" | awk -v f="$name" '$1 == f {print $2}')
  [ "$got" = "$want" ] || bad "$name is ${got:-missing}, expected $want"
done

kernel32="CloseHandle CreateSemaphoreW DeleteCriticalSection EnterCriticalSection FileTimeToSystemTime
  FormatMessageA FreeLibrary GetCurrentThreadId GetLastError GetModuleHandleA GetModuleHandleW GetProcAddress
  InitializeCriticalSection IsDBCSLeadByteEx LeaveCriticalSection LoadLibraryA LoadLibraryW
  LocalFileTimeToFileTime LocalFree MultiByteToWideChar ReleaseSemaphore SetLastError Sleep
  SystemTimeToFileTime TlsAlloc TlsFree TlsGetValue TlsSetValue VirtualProtect VirtualQuery
  WaitForSingleObject WideCharToMultiByte"
msvcrt="__mb_cur_max _amsg_exit _close _errno _fdopen _filelengthi64 _fileno _fstat64 _initterm _iob
  _localtime64 _lock _lseeki64 _mktime64 _read _time64 _unlock _wfopen _write abort atoi calloc fclose
  fflush fgetpos fopen fputc fputs fread free fsetpos fwrite getc getwc islower isspace isupper iswctype
  isxdigit localeconv malloc memchr memcmp memcpy memmove memset putc putwc realloc setlocale setvbuf
  strchr strcmp strcoll strerror strftime strlen strncmp strstr strtol strtoul strxfrm tolower towlower
  towupper ungetc ungetwc vfprintf wcscoll wcsftime wcslen wcsxfrm"

# Lines "DLL NAME" from each "DLL Name:" line and the member names listed under it.
imports=$(echo "$dump" | awk '
  /^[[:space:]]*DLL Name: / {dll = $3; next}
  /^[[:space:]]*vma:/ {next}
  dll != "" && NF == 0 {dll = ""; next}
  dll != "" && NF >= 3 && $1 ~ /^[0-9a-f]+$/ {print dll, $3}')
[ -n "$imports" ] || bad "no imports found"
while read -r from name; do
  [ -z "$from" ] && continue
  case "$from" in
    KERNEL32.dll) list=$kernel32 ;;
    msvcrt.dll) list=$msvcrt ;;
    trvplugin.dll) continue ;;
    *) bad "imports from $from"; continue ;;
  esac
  case " $(echo $list) " in *" $name "*) ;; *) bad "$from!$name is not known to exist on Windows XP SP3" ;; esac
done <<EOF_IMPORTS
$imports
EOF_IMPORTS

[ $fail -eq 0 ] && echo "ok: $dll loads on Windows XP SP3 (PE 5.1, $(echo "$imports" | wc -l) imports on the allow-list)"
exit $fail
