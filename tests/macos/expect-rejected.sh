#!/usr/bin/env bash
# Passes when the compile check REJECTS the given file with the diagnostic its first line names
# ("// expect: <text>"): a planted misuse that compiled, or failed for another reason, fails.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
file=$1
expected=$(sed -n '1s|^// expect: ||p' "$file")
[[ -n $expected ]] || { echo "no '// expect:' line in $file"; exit 1; }
out=$(KORVALE_MACOS_CHECK_NO_SETUP=1 KORVALE_MACOS_CHECK_ONLY_EXTRA=1 bash "$root/scripts/macos-check.sh" "$file" 2>&1)
rc=$?
echo "$out" | grep -A3 "FAILED"
if [[ $rc -eq 0 ]]; then
  echo "expected the check to reject $file, but it passed"
  exit 1
fi
if ! grep -qF -- "$expected" <<<"$out"; then
  echo "rejected, but not with: $expected"
  exit 1
fi
echo "rejected as expected: $expected"
