#!/usr/bin/env bash
# Installs the Node package the way a user does — npm pack, then npm install of the tarball into a
# scratch project — runs the tests there (they require it by name) and type-checks a TypeScript
# host against its index.d.ts (Debian's tsc, where installed).
#   test-package.sh PACKAGE_SOURCE_DIR WORK_DIR        (KORVALE_LIBRARY names the library)
set -euo pipefail
src=$(cd "$1" && pwd) work=$2
rm -rf "$work"
mkdir -p "$work/project/test"
cd "$work"
npm pack --silent --pack-destination "$work" "$src" >/dev/null
tarball=$(ls "$work"/korvale-*.tgz)
echo "packed $(basename "$tarball"): $(tar -tzf "$tarball" | sed 's|^package/||' | sort | tr '\n' ' ')"

# Types for Node itself come from the registry, pinned; koffi comes as the package's dependency.
cat >"$work/project/package.json" <<JSON
{ "name": "korvale-scratch-host", "version": "1.0.0", "private": true,
  "dependencies": { "korvale": "file:$tarball" },
  "devDependencies": { "@types/node": "20.11.30" } }
JSON
cd "$work/project"
# Install scripts are not run: koffi's prebuilt binary comes in a registry package of its own.
npm install --ignore-scripts --no-audit --no-fund --prefer-offline --loglevel=error
cp "$src"/test/*.test.js "$work/project/test/"
node --test test/

if command -v tsc >/dev/null; then
  cp "$src/test/types/usage.ts" "$work/project/usage.ts"
  tsc --strict --noEmit --skipLibCheck --types node --module commonjs --target es2020 \
    --moduleResolution node usage.ts
  echo "ok   a TypeScript host type-checks against index.d.ts (tsc $(tsc --version | awk '{print $2}'))"
else
  echo "tsc not installed: the declarations were not type-checked"
fi
