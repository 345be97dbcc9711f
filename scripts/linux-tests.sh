#!/usr/bin/env bash
# The Linux backend's tests against real applications: installs what they need from Debian
# (an X server, the accessibility bus, GTK 3 for Python, l3afpad, xdotool, xclip and the
# development files the backend and the inspector are built against), builds, and runs the CTest
# cases labelled "linux" (each starts its own Xvfb and session bus and stops them).
#   scripts/linux-tests.sh                 install, build in build-linux, run
#   scripts/linux-tests.sh --install-only  install only (the normal test run then includes them)
#   scripts/linux-tests.sh BUILD_DIR       install, build in BUILD_DIR, run
set -euo pipefail
cd "$(dirname "$0")/.."
linux_packages=(xvfb at-spi2-core libatspi2.0-dev libglib2.0-dev libx11-dev libxtst-dev libxfixes-dev
                gir1.2-gtk-3.0 python3-gi gir1.2-atspi-2.0 xdotool xclip l3afpad dbus dbus-x11
                libgtk-3-dev gir1.2-gtk-4.0 python3-pyqt5 python3-pyqt6 qt6-qpa-plugins xterm x11-utils
                openbox)
bash scripts/setup.sh --tests "${linux_packages[@]}"
[[ ${1:-} == --install-only ]] && exit 0
build=${1:-build-linux}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
ninja -C "$build" -j "$(nproc)" korvale-linux-host-test korvale-linux-clipboard-test korvale-clipboard-owner \
  korvale-linux-toolkits-test korvale-demo korvale-inspect
ctest --test-dir "$build" -L linux --output-on-failure
