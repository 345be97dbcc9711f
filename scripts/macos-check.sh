#!/usr/bin/env bash
# Compile check of the macOS backend off a Mac: every file in src/platform/macos/ (and any extra
# files named) is compiled with clang, -Wall -Wextra -Werror, Objective-C++ files with ARC and
# blocks, against Debian's GNUstep headers plus the declarations-only headers in
# src/platform/macos/decls/. Exits non-zero on any diagnostic, warnings included.
#   bash scripts/macos-check.sh [extra files...]
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
if [[ ${KORVALE_MACOS_CHECK_NO_SETUP:-} != 1 ]]; then
  bash "$root/scripts/setup.sh" clang libgnustep-gui-dev libblocksruntime-dev >/dev/null || exit 2
fi
clang=${CLANG:-clang}
gcc_objc=$(dirname "$(dirname "$(find /usr/lib/gcc -path '*/include/objc/objc.h' 2>/dev/null | sort -V | tail -1)")")
if [[ ! -d /usr/include/GNUstep || -z $gcc_objc ]]; then
  echo "macos-check: GNUstep headers or GCC's objc headers are missing" >&2
  exit 2
fi
decls="$root/src/platform/macos/decls"
utfcpp=$(dirname "$(find /usr/include -name utf8.h -path '*utf8cpp*' | head -1)")
common=(-fsyntax-only -std=c++20 -Wall -Wextra -Werror -Wno-unknown-warning-option
  -I"$decls" -isystem "$decls/gnustep" -I"$root/src" -I"$root/include" -isystem "$utfcpp"
  -DKORVALE_HAVE_MACOS_BACKEND=1)
objc=(-x objective-c++ -fobjc-arc -fblocks -fobjc-runtime=gnustep-2.0
  -isystem /usr/include/GNUstep -idirafter "$gcc_objc"
  -DGNUSTEP -DGNUSTEP_BASE_LIBRARY=1 -DGNU_GUI_LIBRARY=1 -DGNU_RUNTIME=1)
# The backend table too, with the macOS entry in it.
files=("$root"/src/platform/macos/*.cpp "$root"/src/platform/macos/*.mm "$root"/src/platform/BackendTable.cpp "$@")
# KORVALE_MACOS_CHECK_ONLY_EXTRA=1: only the files named (the planted-misuse tests use it).
[[ ${KORVALE_MACOS_CHECK_ONLY_EXTRA:-} == 1 ]] && files=("$@")
status=0
for f in "${files[@]}"; do
  [[ -e $f ]] || { echo "macos-check: no such file: $f" >&2; status=1; continue; }
  case $f in
    *.mm) flags=("${common[@]}" "${objc[@]}") ;;
    *) flags=("${common[@]}" -x c++) ;;
  esac
  out=$("$clang" "${flags[@]}" "$f" 2>&1)
  rc=$?
  if [[ $rc -ne 0 || -n $out ]]; then
    echo "macos-check: FAILED ${f#"$root"/}"
    [[ -n $out ]] && echo "$out"
    status=1
  else
    echo "macos-check: ok ${f#"$root"/}"
  fi
done
exit $status
