#!/usr/bin/env bash
# Installs from Debian what Korvale needs, only where something is missing. With no arguments:
# what building the library and the demo needs. `--tests` adds what the test suite needs
# (GoogleTest, Google Benchmark, Python, Node.js, packaging tools); any other argument names a
# further package.
set -euo pipefail
packages=(g++ cmake ninja-build pkg-config nlohmann-json3-dev libutfcpp-dev libutf8proc-dev)
for arg in "$@"; do
  if [[ $arg == --tests ]]; then
    packages+=(libgtest-dev libgmock-dev libbenchmark-dev python3)
    # The packages' tests: CPack's Debian packages (dpkg-shlibdeps, file), the Python package
    # installed with pip into a virtual environment, built by Debian's setuptools.
    packages+=(dpkg-dev file python3-venv python3-pip python3-setuptools)
    # The Node package's TypeScript declarations are type-checked with Debian's tsc.
    packages+=(node-typescript)
    # Node.js and npm for the Node client; a node that comes with its own npm (from another
    # repository) is kept, since Debian's npm package would conflict with it.
    command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)
  else
    packages+=("$arg")
  fi
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""; [[ $(id -u) -ne 0 ]] && SUDO=sudo
  # Waits for another install that holds the package lock instead of failing at once.
  lock=(-o DPkg::Lock::Timeout=600)
  $SUDO apt-get "${lock[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get "${lock[@]}" install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
