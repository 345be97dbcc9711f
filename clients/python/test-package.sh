#!/usr/bin/env bash
# Installs the Python package the way a user does — pip into a fresh virtual environment, with
# Debian's setuptools as the build backend (no package index is reached) — and runs its tests
# against the installed copy.
#   test-package.sh PACKAGE_SOURCE_DIR WORK_DIR        (KORVALE_LIBRARY names the library)
set -euo pipefail
src=$(cd "$1" && pwd) work=$2
# Debian's interpreter: its site-packages hold setuptools and PyGObject for the environment.
py=/usr/bin/python3
[[ -x $py ]] || py=$(command -v python3)
rm -rf "$work"
mkdir -p "$work"
# pip builds inside the folder it is given: a copy keeps the sources free of build output.
cp -r "$src" "$work/source"
"$py" -m venv --system-site-packages "$work/venv"
"$work/venv/bin/python" -m pip install --quiet --no-build-isolation --no-index --no-deps \
  --disable-pip-version-check "$work/source"
"$work/venv/bin/python" -m pip show --files korvale | grep -E "^(Name|Version)|py.typed|glib.py"
cd "$work"
"$work/venv/bin/python" -m unittest discover -v -s "$src/tests" -t "$src/tests"
