#!/usr/bin/env bash
# Installs a built Korvale the way a user gets it, checks what was installed, then builds the C
# host against it twice (CMake package, pkg-config) and runs both.
#   test-installed.sh install BUILD_DIR HOST_SOURCE_DIR WORK_DIR C_COMPILER "EXTRA_C_FLAGS"
#       cmake --install into a scratch prefix
#   test-installed.sh deb BUILD_DIR HOST_SOURCE_DIR WORK_DIR C_COMPILER "EXTRA_C_FLAGS" SCENARIO
#       cpack builds the Debian packages, which are unpacked into a scratch root (dpkg -x, as
#       dpkg would install them); the packaged korvale-play then plays SCENARIO
set -euo pipefail
mode=$1 build=$2 src=$3 work=$4 cc=$5 flags=${6:-} scenario=${7:-}
rm -rf "$work"
mkdir -p "$work"
fail=0
expect() { if eval "$1"; then echo "ok   $2"; else echo "FAIL $2"; fail=1; fi; }

if [[ $mode == install ]]; then
  prefix=$work/prefix
  echo "== cmake --install $build --prefix $prefix"
  cmake --install "$build" --prefix "$prefix" >"$work/install.log"
elif [[ $mode == deb ]]; then
  echo "== cpack -G DEB in $build"
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/debs" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; exit 1; }
  runtime=$(ls "$work"/debs/libkorvale-project0_*.deb)
  dev=$(ls "$work"/debs/libkorvale-project-dev_*.deb)
  field() { dpkg-deb -f "$1" "$2"; }
  version=$(field "$runtime" Version)
  expect '[[ $(field "$runtime" Package) == libkorvale-project0 && -n $version ]]' "runtime package libkorvale-project0 $version"
  expect '[[ $(field "$runtime" Depends) == *libutf8proc* ]]' "the runtime depends on what the library links ($(field "$runtime" Depends))"
  expect '[[ $(field "$dev" Depends) == *"libkorvale-project0 (= $version)"* ]]' \
    "the development package depends on exactly that runtime ($(field "$dev" Depends))"
  # The runtime holds the library under its soname and nothing a host builds against.
  runtime_files=$(dpkg-deb -c "$runtime" | awk '{print $6}' | grep -v '/$')
  expect '! grep -Eq "\.h$|\.pc$|\.cmake$|/libKorvale-Project\.so$|/bin/|libKorvale-Sim" <<<"$runtime_files"' \
    "the runtime package holds no development files and no simulated desktop"
  expect 'grep -q "/libKorvale-Project\.so\.0$" <<<"$runtime_files"' "the runtime package holds libKorvale-Project.so.0"
  expect 'dpkg-deb --ctrl-tarfile "$runtime" | tar -xO ./shlibs | grep -q "^libKorvale-Project 0 libkorvale-project0"' \
    "the runtime package has a shlibs entry for the soname"
  prefix=$work/root/usr
  for deb in "$runtime" "$dev"; do dpkg -x "$deb" "$work/root"; done
  # The inspector's package, where GTK 3 was found: it must start from what the packages hold.
  inspector=$(ls "$work"/debs/korvale-inspect_*.deb 2>/dev/null || true)
  if [[ -n $inspector ]]; then
    expect '[[ $(field "$inspector" Depends) == *"libkorvale-project0 (= $version)"*libgtk-3-0* ]]' \
      "korvale-inspect depends on the runtime and GTK 3 ($(field "$inspector" Depends))"
    dpkg -x "$inspector" "$work/root"
    libdir_deb=$(dirname "$(find "$prefix" -name 'libKorvale-Project.so.0' -print -quit)")
    expect '(LD_LIBRARY_PATH=$libdir_deb "$prefix/bin/korvale-inspect" --no-such-option 2>&1 || true) | grep -q "^usage: korvale-inspect"' \
      "the packaged korvale-inspect starts (and explains its options)"
  fi
  echo "== unpacked into $work/root"
else
  echo "unknown mode $mode"; exit 2
fi

libdir=$(dirname "$(find "$prefix" -name 'libKorvale-Project.so.0' -print -quit)")
expect '[[ -f $prefix/include/Korvale.h && -f $prefix/include/KorvaleSim.h ]]' "public headers installed"
expect '[[ -L $libdir/libKorvale-Project.so && -L $libdir/libKorvale-Project.so.0 ]]' "library and its links installed"
expect '[[ $(objdump -p "$libdir/libKorvale-Project.so.0" | awk "/SONAME/ {print \$2}") == libKorvale-Project.so.0 ]]' \
  "soname is libKorvale-Project.so.0"
expect '[[ -f $libdir/cmake/Korvale/KorvaleConfig.cmake && -f $libdir/cmake/Korvale/KorvaleConfigVersion.cmake ]]' \
  "CMake package files installed"
expect '[[ -L $libdir/libKorvale-Sim.so && -L $libdir/libKorvale-Sim.so.0 ]]' "simulator library and its links installed"
expect '[[ -z $(nm -D --defined-only "$libdir/libKorvale-Project.so.0" | awk "{print \$3}" | grep ksim_) ]]' \
  "the production library has no ksim_ functions"
expect '[[ -f $libdir/pkgconfig/korvale.pc && -f $libdir/pkgconfig/korvale-sim.pc ]]' "korvale.pc and korvale-sim.pc installed"

echo "== the C host through find_package(Korvale)"
cmake -S "$src" -B "$work/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >"$work/configure.log"
cmake --build "$work/build" >"$work/build.log"
# The host must run on the installed library, not on the build tree's.
expect '[[ $(ldd "$work/build/korvale-c-host" | awk "/libKorvale-Sim/ {print \$3}") == "$libdir/libKorvale-Sim.so.0" ]]' \
  "the CMake-built host loads the installed library"
"$work/build/korvale-c-host" || fail=1

echo "== the C host through pkg-config korvale-sim"
export PKG_CONFIG_PATH=$libdir/pkgconfig
expect '[[ $(pkg-config --modversion korvale) == [0-9]* ]]' "pkg-config knows korvale $(pkg-config --modversion korvale)"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c11 -Wall -Wextra -Werror $flags "$src/host.c" -o "$work/host-pkgconfig" \
  $(pkg-config --cflags --libs korvale-sim) -Wl,-rpath,"$(pkg-config --variable=libdir korvale-sim)"
"$work/host-pkgconfig" >/dev/null || { echo "FAIL the pkg-config build of the host failed its checks"; fail=1; }
[[ $fail == 0 ]] && echo "ok   the pkg-config build of the host passed its checks"

if [[ $mode == deb && -n $scenario ]]; then
  echo "== the packaged korvale-play"
  expect 'LD_LIBRARY_PATH=$libdir "$prefix/bin/korvale-play" --quiet "$scenario" | grep -q "^PASS "' \
    "korvale-play from libkorvale-project-dev plays $(basename "$scenario")"
fi
exit $fail
