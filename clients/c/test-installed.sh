#!/usr/bin/env bash
# Installs a built Korvale into a scratch prefix, checks what was installed, then builds the C
# host against that prefix twice (CMake package, pkg-config) and runs both.
#   test-installed.sh BUILD_DIR HOST_SOURCE_DIR WORK_DIR C_COMPILER "EXTRA_C_FLAGS"
set -euo pipefail
build=$1 src=$2 work=$3 cc=$4 flags=${5:-}
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work"

echo "== cmake --install $build --prefix $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
libdir=$(dirname "$(find "$prefix" -name 'libKorvale-Project.so.0' -print -quit)")
fail=0
expect() { if eval "$1"; then echo "ok   $2"; else echo "FAIL $2"; fail=1; fi; }
expect '[[ -f $prefix/include/Korvale.h && -f $prefix/include/KorvaleSim.h ]]' "public headers installed"
expect '[[ -L $libdir/libKorvale-Project.so && -L $libdir/libKorvale-Project.so.0 ]]' "library and its links installed"
expect '[[ $(objdump -p "$libdir/libKorvale-Project.so.0" | awk "/SONAME/ {print \$2}") == libKorvale-Project.so.0 ]]' \
  "soname is libKorvale-Project.so.0"
expect '[[ -f $libdir/cmake/Korvale/KorvaleConfig.cmake && -f $libdir/cmake/Korvale/KorvaleConfigVersion.cmake ]]' \
  "CMake package files installed"
expect '[[ -f $libdir/pkgconfig/korvale.pc ]]' "korvale.pc installed"

echo "== the C host through find_package(Korvale)"
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/configure.log"
cmake --build "$work/build" >"$work/build.log"
"$work/build/korvale-c-host" || fail=1

echo "== the C host through pkg-config korvale"
export PKG_CONFIG_PATH=$libdir/pkgconfig
expect '[[ $(pkg-config --modversion korvale) == [0-9]* ]]' "pkg-config knows korvale $(pkg-config --modversion korvale)"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall -Wextra -Werror $flags "$src/host.c" -o "$work/host-pkgconfig" \
  $(pkg-config --cflags --libs korvale) -Wl,-rpath,"$(pkg-config --variable=libdir korvale)"
"$work/host-pkgconfig" >/dev/null || { echo "FAIL the pkg-config build of the host failed its checks"; fail=1; }
[[ $fail == 0 ]] && echo "ok   the pkg-config build of the host passed its checks"
exit $fail
