#!/usr/bin/env bash
# Installs the Node client's dependencies (koffi) from the committed package-lock.json into a
# directory of the build tree, so the sources stay untouched: install-deps.sh SOURCE_DIR DEST_DIR.
# Install scripts are not run: koffi's prebuilt binary comes in a registry package of its own.
set -euo pipefail
src=$1 dest=$2
mkdir -p "$dest"
if cmp -s "$src/package-lock.json" "$dest/node_modules/.korvale-lock" 2>/dev/null; then
  echo "dependencies already installed from this package-lock.json in $dest"
  exit 0
fi
cp "$src/package.json" "$src/package-lock.json" "$dest/"
cd "$dest"
npm ci --ignore-scripts --no-audit --no-fund --loglevel=error
cp package-lock.json node_modules/.korvale-lock
node -e "console.log('koffi', require('koffi').version, 'installed')"
