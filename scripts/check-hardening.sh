#!/bin/sh
# Checks the hardening of Windows programs and prints each property per file:
#   scripts/check-hardening.sh EXE[:UNSTRIPPED] ...
# UNSTRIPPED is the same program before stripping (the same code at the same
# addresses): its symbols say where WinMain and __stack_chk_fail are. Without it the
# program's own symbols are used. Exits 1 when any file lacks any property:
# DYNAMIC_BASE, HIGH_ENTROPY_VA (x64), NX_COMPAT, relocations, no section both
# writable and executable, a stack canary, endbr64/endbr32 at the entry of WinMain,
# and imports only from DLLs that every Windows has.
set -eu
allowed_dlls="ADVAPI32.DLL KERNEL32.DLL MSVCRT.DLL SHELL32.DLL USER32.DLL"

# Little-endian numbers from the file's bytes: u16|u32 FILE OFFSET
u16() { od -An -tu2 --endian=little -j "$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 --endian=little -j "$2" -N4 "$1" | tr -d ' '; }

status=0
result() {  # result PROPERTY ok|MISSING DETAIL
  printf '  %-18s %-8s %s\n' "$1" "$2" "$3"
  [ "$2" = ok ] || status=1
}

check() {
  exe=$1
  symbols=$2
  pe=0
  [ "$(od -An -c -N2 "$exe" | tr -d ' ')" != MZ ] || pe=$(u32 "$exe" 60)
  # "PE\0\0"
  if [ "$pe" -eq 0 ] || [ "$(u32 "$exe" "$pe")" != 17744 ]; then
    echo "$exe: not a Windows program"
    status=1
    return
  fi
  machine=$(u16 "$exe" $((pe + 4)))
  case $machine in
    34404) arch=x64 tools=x86_64-w64-mingw32 winmain=WinMain chk_fail=__stack_chk_fail fortify_fail=__chk_fail endbr=endbr64 ;;
    332) arch=x86 tools=i686-w64-mingw32 winmain=_WinMain@16 chk_fail=___stack_chk_fail fortify_fail=___chk_fail endbr=endbr32 ;;
    *) echo "$exe: unknown machine $machine"; status=1; return ;;
  esac
  echo "$exe ($arch)"
  sections=$(u16 "$exe" $((pe + 6)))
  file_flags=$(u16 "$exe" $((pe + 22)))
  optional=$((pe + 24))
  dll_flags=$(u16 "$exe" $((optional + 70)))

  flag() {  # flag NAME BIT
    if [ $((dll_flags & $2)) -ne 0 ]; then result "$1" ok ""; else result "$1" MISSING ""; fi
  }
  flag DYNAMIC_BASE 64
  if [ $arch = x64 ]; then flag HIGH_ENTROPY_VA 32; fi
  flag NX_COMPAT 256

  # Section table: name (8 bytes), ..., characteristics at byte 36 of each 40.
  table=$((optional + $(u16 "$exe" $((pe + 20)))))
  reloc_size=0
  wx=""
  i=0
  while [ $i -lt "$sections" ]; do
    entry=$((table + 40 * i))
    name=$(dd if="$exe" bs=1 skip=$entry count=8 2>/dev/null | tr -d '\0')
    characteristics=$(u32 "$exe" $((entry + 36)))
    [ "$name" != .reloc ] || reloc_size=$(u32 "$exe" $((entry + 8)))
    # IMAGE_SCN_MEM_EXECUTE and IMAGE_SCN_MEM_WRITE
    if [ $((characteristics & 0x20000000)) -ne 0 ] && [ $((characteristics & 0x80000000)) -ne 0 ]; then
      wx="$wx $name"
    fi
    i=$((i + 1))
  done
  if [ $((file_flags & 1)) -eq 0 ] && [ "$reloc_size" -gt 0 ]; then
    result relocations ok ".reloc, $reloc_size bytes"
  else
    result relocations MISSING "no .reloc section or relocations stripped"
  fi
  if [ -z "$wx" ]; then result "no W+X section" ok ""; else result "no W+X section" MISSING "writable and executable:$wx"; fi

  # The code at a symbol's address in the program, from the symbols of its twin,
  # which must hold the same code.
  if [ "$symbols" != "$exe" ]; then
    code=$(mktemp -d)
    "$tools-objcopy" -O binary -j .text "$exe" "$code/exe"
    "$tools-objcopy" -O binary -j .text "$symbols" "$code/symbols"
    if ! cmp -s "$code/exe" "$code/symbols"; then
      echo "  $symbols holds other code than $exe"
      status=1
      symbols=/dev/null
    fi
    rm -rf "$code"
  fi
  address() { "$tools-nm" "$symbols" 2>/dev/null | awk -v s="$1" '$3 == s && $2 ~ /^[Tt]$/ { print "0x" $1; exit }'; }
  # A canary check is a call to __stack_chk_fail from protected code. The symbol alone
  # proves nothing: a program that links a guard (the launcher's stack_guard.cpp) has
  # it, and the guard's own _FORTIFY_SOURCE reporter (__chk_fail) calls it, also when
  # nothing is compiled with the protector. So a call counts only outside the guard's
  # own functions, which the disassembly of the program with its symbols names.
  fail_at=$(address "$chk_fail")
  calls=0
  if [ -n "$fail_at" ]; then
    calls=$("$tools-objdump" -d --no-show-raw-insn "$symbols" | awk -v call="call +(0x)?$(printf '%x' "$fail_at")( |$)" \
      -v guard="<$chk_fail>: <$fortify_fail>:" '
      /^[0-9a-f]+ <.*>:$/ { inGuard = index(" " guard " ", " " $2 " ") > 0; next }
      $0 ~ call && !inGuard { calls++ }
      END { print calls + 0 }')
  fi
  if [ "$calls" -gt 0 ]; then
    result "stack canary" ok "$calls calls to __stack_chk_fail"
  else
    result "stack canary" MISSING "no call to __stack_chk_fail from protected code"
  fi
  entry_at=$(address "$winmain")
  first=""
  if [ -n "$entry_at" ]; then
    first=$("$tools-objdump" -d --no-show-raw-insn --start-address="$entry_at" \
      --stop-address=$((entry_at + 4)) "$exe" | awk -F'\t' '/^ +[0-9a-f]+:/ { print $2; exit }')
  fi
  case $first in
    "$endbr"*) result "$endbr at WinMain" ok "" ;;
    "") result "$endbr at WinMain" MISSING "WinMain not found in the symbols of $symbols" ;;
    *) result "$endbr at WinMain" MISSING "WinMain starts with $first" ;;
  esac

  dlls=$("$tools-objdump" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r' | sort -u | tr '\n' ' ' | sed 's/ $//')
  others=""
  for dll in $dlls; do
    case " $allowed_dlls " in
      *" $(printf '%s' "$dll" | tr '[:lower:]' '[:upper:]') "*) ;;
      *) others="$others $dll" ;;
    esac
  done
  if [ -z "$others" ]; then result imports ok "$dlls"; else result imports MISSING "not on every Windows:$others"; fi
}

[ $# -gt 0 ] || { echo "usage: $0 EXE[:UNSTRIPPED] ..." >&2; exit 2; }
for argument in "$@"; do
  exe=${argument%%:*}
  symbols=${argument#*:}
  check "$exe" "$symbols"
done
exit $status
