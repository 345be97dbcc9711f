#!/usr/bin/env bash
# Installs what building and testing Korvale needs on Debian, only where something is missing.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config nlohmann-json3-dev libutfcpp-dev libutf8proc-dev
          libgtest-dev libgmock-dev libbenchmark-dev python3
          clang libclang-rt-14-dev "$@")
# Node.js and npm for the Node client; a node that comes with its own npm (from another
# repository) is kept, since Debian's npm package would conflict with it.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
