#!/usr/bin/env bash
# Cross-builds the station for 64-bit Windows with Debian's MinGW-w64 and writes
# build-windows/controllo-colli-windows.zip and, from the same files, the
# installer build-windows/controllo-colli-VERSION.msi (wixl).
#
# Qt 6 and SQLite for MinGW are not packaged by Debian, so the first run builds
# a kit from Debian's own Qt sources (qtbase, plus qtsvg) and a static SQLite
# from Debian's own sqlite3 source, each into a version-stamped folder outside
# the checkout; later runs and fresh clones on the same machine reuse them.
#
#   bash scripts/build-windows.sh          kit and SQLite (if missing), programs, tests, zip, installer
#   bash scripts/build-windows.sh kit      only the kit and SQLite
# Environment: COLLI_WINDOWS_CACHE (default /var/cache/controllo-colli),
# QTSVG_SRC (qtsvg source tarball or folder, default ../shared/notes/),
# JOBS (default 2), COLLI_WINDOWS_BUILD_DIR (default build-windows),
# COLLI_BUILD_NUMBER (the version's fourth part, default the commit count),
# COLLI_SIGN_PFX, COLLI_SIGN_PASSWORD_FILE and COLLI_SIGN_TIMESTAMP to sign
# (scripts/lib/sign-windows.sh); without a certificate the files are unsigned.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

what=${1:-all}
QT_VERSION=6.4.2
KIT_STAMP=r1            # bump whenever the kit recipe below changes
CACHE=${COLLI_WINDOWS_CACHE:-/var/cache/controllo-colli}
KIT=$CACHE/qt-$QT_VERSION-mingw-$KIT_STAMP
SQLITE_VERSION=3.40.1   # what Debian 12 has, as the Linux build links
SQLITE_STAMP=r1         # bump whenever the SQLite recipe below changes
SQLITE=$CACHE/sqlite-$SQLITE_VERSION-mingw-$SQLITE_STAMP
JOBS=${JOBS:-2}
NICE="nice -n 10"
QTSVG_SRC=${QTSVG_SRC:-$top/../shared/notes/qtsvg-$QT_VERSION-src.tar.xz}
T0=$(date +%s)
step() { echo "== $(date +%T) [$(( $(date +%s) - T0 ))s] $*"; }

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

step "packages"
packages=(g++-mingw-w64-x86-64-posix cmake ninja-build perl xz-utils dpkg-dev zip
          qt6-base-dev qt6-base-dev-tools googletest firebird-dev libsimpleini-dev
          wixl msitools osslsigncode python3 gcc make tcl)
missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" = installed ] || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends \
    -o DPkg::Lock::Timeout=600 "${missing[@]}"
fi

# Debian's sources need a deb-src entry; it is derived from the binary one and
# taken away again once the sources are here (on any exit too), so later
# updates of the machine do not fetch source indexes for nothing.
added_src=""
add_deb_src() { # $1: what apt-get source will be asked for
  apt-get source --print-uris -qq "$1" >/dev/null 2>&1 && return 0
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    added_src=/etc/apt/sources.list.d/colli-deb-src.sources
    sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $SUDO tee "$added_src" >/dev/null
  else
    added_src=/etc/apt/sources.list.d/colli-deb-src.list
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list | $SUDO tee "$added_src" >/dev/null
  fi
  $SUDO apt-get update -qq
}
drop_deb_src() {
  if [ -n "$added_src" ]; then
    $SUDO rm -f "$added_src"
    added_src=""
  fi
}
trap drop_deb_src EXIT

# --- the kit: Qt for MinGW, GoogleTest for MinGW, the MinGW runtime ----------
build_kit() {
  local work=$CACHE/work-$QT_VERSION-$KIT_STAMP
  local hostver
  hostver=$(dpkg-query -W -f='${Version}' qt6-base-dev)
  case "$hostver" in
    "$QT_VERSION"*) ;;
    *) echo "host Qt is $hostver; the kit needs the same version, $QT_VERSION" >&2; exit 1 ;;
  esac
  echo "Building the Qt $QT_VERSION kit for MinGW into $KIT."
  echo "This happens once per machine and takes 30 to 50 minutes on 2 cores."
  $SUDO rm -rf "$KIT"
  $SUDO mkdir -p "$KIT" "$work"
  $SUDO chown "$(id -u):$(id -g)" "$KIT" "$work"

  add_deb_src "qt6-base=$hostver"
  step "kit: sources"
  cd "$work"
  if [ ! -d qtbase ]; then
    apt-get source -q --download-only "qt6-base=$hostver"
    dpkg-source -x qt6-base_*.dsc qtbase   # applies Debian's patches
  fi
  if [ ! -d qtsvg ]; then
    if [ -e "$QTSVG_SRC" ]; then
      if [ -d "$QTSVG_SRC" ]; then cp -a "$QTSVG_SRC" qtsvg
      else mkdir qtsvg && tar -xf "$QTSVG_SRC" -C qtsvg --strip-components=1; fi
    else
      apt-get source -q --download-only qt6-svg
      dpkg-source -x qt6-svg_*.dsc qtsvg
    fi
  fi
  drop_deb_src

  # Qt's installed qt.toolchain.cmake chain-loads this file by absolute path.
  cp "$top/cmake/mingw-w64-x86_64.cmake" "$KIT/mingw-w64-x86_64.cmake"

  step "kit: configure qtbase"
  # tabletevent off: the +dfsg tarball lacks wintab.h. OpenGL must be off in
  # three ways or the windows plugin keeps dynamicgl. direct2d stays on (the
  # windows plugin needs its font database), only the second plugin goes.
  $NICE cmake -S qtbase -B build-qtbase -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$KIT/mingw-w64-x86_64.cmake" \
    -DQT_HOST_PATH=/usr -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DCMAKE_INSTALL_PREFIX="$KIT" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DFEATURE_sql=OFF -DFEATURE_network=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_dbus=OFF -DFEATURE_concurrent=OFF -DFEATURE_testlib=OFF -DFEATURE_xml=OFF \
    -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_opengl_dynamic=OFF -DFEATURE_dynamicgl=OFF \
    -DFEATURE_vulkan=OFF -DFEATURE_tabletevent=OFF \
    -DFEATURE_androiddeployqt=OFF -DFEATURE_pkg_config=OFF -DFEATURE_zstd=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
    -DFEATURE_system_freetype=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_textmarkdownreader=OFF \
    -DFEATURE_direct2d1_1=OFF -DFEATURE_jpeg=OFF >configure-qtbase.log
  step "kit: build qtbase (the long part)"
  $NICE ninja -C build-qtbase -j"$JOBS" >build-qtbase.log
  cmake --install build-qtbase --strip >/dev/null

  step "kit: qtsvg"
  $NICE cmake -S qtsvg -B build-qtsvg -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$KIT/lib/cmake/Qt6/qt.toolchain.cmake" \
    -DCMAKE_INSTALL_PREFIX="$KIT" -DCMAKE_BUILD_TYPE=Release \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF >configure-qtsvg.log
  $NICE ninja -C build-qtsvg -j"$JOBS" >build-qtsvg.log
  cmake --install build-qtsvg --strip >/dev/null

  step "kit: googletest"
  $NICE cmake -S /usr/src/googletest -B build-gtest -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$KIT/mingw-w64-x86_64.cmake" \
    -DCMAKE_INSTALL_PREFIX="$KIT" -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_SHARED_LIBS=OFF -Dgtest_disable_pthreads=OFF >configure-gtest.log
  $NICE ninja -C build-gtest -j"$JOBS" >build-gtest.log
  cmake --install build-gtest >/dev/null

  # The MinGW runtime every program built with the kit needs beside it;
  # Debian ships these with debug info (libstdc++ 23 MB, stripped 2 MB).
  mkdir -p "$KIT/mingw-runtime"
  for f in libstdc++-6.dll libgcc_s_seh-1.dll; do
    cp "$(x86_64-w64-mingw32-g++-posix -print-file-name=$f)" "$KIT/mingw-runtime/"
  done
  cp /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$KIT/mingw-runtime/"
  x86_64-w64-mingw32-strip --strip-unneeded "$KIT"/mingw-runtime/*.dll

  cd "$top"
  rm -rf "$work"
  date -u +%FT%TZ >"$KIT/.complete"
  step "kit: done, $(du -sh "$KIT" | cut -f1)"
}

# --- SQLite for MinGW: one static library ----------------------------------------
# The journal must be safe however it is used: serialized threading (it is
# written and forwarded from different threads), no extension loading,
# double-quoted strings only as identifiers, no memory statistics (a global
# mutex on every allocation), no deprecated interfaces nor shared cache.
# As in Debian's Linux library, so both behave alike: secure delete, LIKE never
# matches a BLOB, URI file names, up to 250000 parameters. Debian's extras (FTS,
# R-Tree, sessions...) are left out. synchronous stays FULL, the default, in
# WAL mode too: an outcome is on disk before the operator is told.
SQLITE_OPTIONS=(
  -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -DSQLITE_DQS=0
  -DSQLITE_DEFAULT_MEMSTATUS=0 -DSQLITE_OMIT_DEPRECATED -DSQLITE_OMIT_SHARED_CACHE
  -DSQLITE_USE_ALLOCA
  -DSQLITE_SECURE_DELETE -DSQLITE_LIKE_DOESNT_MATCH_BLOBS -DSQLITE_USE_URI=1
  -DSQLITE_MAX_VARIABLE_NUMBER=250000
)
build_sqlite() {
  local work=$CACHE/work-sqlite-$SQLITE_VERSION-$SQLITE_STAMP debver
  echo "Building SQLite $SQLITE_VERSION for MinGW into $SQLITE (once per machine, about a minute)."
  $SUDO rm -rf "$SQLITE" "$work"
  $SUDO mkdir -p "$SQLITE" "$work"
  $SUDO chown "$(id -u):$(id -g)" "$SQLITE" "$work"
  add_deb_src sqlite3

  step "sqlite: sources"
  cd "$work"
  apt-get source -q --download-only sqlite3
  drop_deb_src
  dpkg-source -x sqlite3_*.dsc sqlite >/dev/null   # applies Debian's patches
  debver=$(dpkg-parsechangelog -l sqlite/debian/changelog -S Version)
  case "$debver" in
    "$SQLITE_VERSION"-*) ;;
    *) echo "Debian's sqlite3 source is $debver; this recipe is for $SQLITE_VERSION" >&2; exit 1 ;;
  esac

  # Debian's source is SQLite's tree, not the one-file amalgamation: that is
  # generated on the build machine (a Tcl script) and is all that gets cross-compiled.
  if [ ! -f sqlite/sqlite3.c ]; then
    step "sqlite: amalgamation"
    (cd sqlite && $NICE ./configure --disable-tcl --disable-readline >../configure.log &&
      $NICE make sqlite3.c >../amalgamation.log)
  fi
  step "sqlite: compile"
  $NICE x86_64-w64-mingw32-gcc-posix -O2 "${SQLITE_OPTIONS[@]}" -c sqlite/sqlite3.c -o sqlite3.o
  mkdir -p "$SQLITE/include" "$SQLITE/lib"
  x86_64-w64-mingw32-gcc-ar-posix rcs "$SQLITE/lib/libsqlite3.a" sqlite3.o
  cp sqlite/sqlite3.h "$SQLITE/include/"
  printf 'Debian source package sqlite3 %s\n%s\n' "$debver" "${SQLITE_OPTIONS[*]}" >"$SQLITE/BUILD-INFO"

  cd "$top"
  rm -rf "$work"
  date -u +%FT%TZ >"$SQLITE/.complete"
  step "sqlite: done, $debver"
}

$SUDO mkdir -p "$CACHE"
exec 9>"$CACHE/.lock"
flock 9   # one build into the cache at a time, even from two checkouts
if [ -f "$KIT/.complete" ]; then
  step "kit: reusing $KIT"
else
  build_kit
fi
if [ -f "$SQLITE/.complete" ]; then
  step "sqlite: reusing $SQLITE"
else
  build_sqlite
fi
flock -u 9
[ "$what" = kit ] && exit 0

# --- the programs and the database-free test suites ---------------------------
win=${COLLI_WINDOWS_BUILD_DIR:-$top/build-windows}
werror=OFF
[ -n "${CI:-}" ] && werror=ON
# Only these two headers come from the build machine; /usr/include itself
# must stay out of a Windows build.
mkdir -p "$win/host-include"
cp /usr/include/ibase.h /usr/include/SimpleIni.h "$win/host-include/"
step "configure"
# -O2 as on Linux: at -O3 GCC 12 warns falsely (-Wrestrict) inside std::string.
$NICE cmake -S . -B "$win" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$KIT/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DCOLLI_WERROR="$werror" \
  -DFBCLIENT_INCLUDE_DIR="$win/host-include" -DSIMPLEINI_INCLUDE_DIR="$win/host-include" \
  -DGTest_DIR="$KIT/lib/cmake/GTest" \
  -DSQLite3_INCLUDE_DIR="$SQLITE/include" -DSQLite3_LIBRARY="$SQLITE/lib/libsqlite3.a" \
  -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST >/dev/null
echo "$KIT" >"$win/kit-path"   # for scripts/test-windows.sh
step "build"
$NICE cmake --build "$win" -j"$JOBS"

# --- the zip ---------------------------------------------------------------------
step "zip"
objdump=x86_64-w64-mingw32-objdump
stage=$win/zip/controllo-colli
rm -rf "$win/zip" "$win/controllo-colli-windows.zip"
mkdir -p "$stage/platforms" "$stage/styles"
cp "$win/app/controllo-colli.exe" "$win/admin/colli-admin.exe" "$stage/"
cp "$KIT/plugins/platforms/qwindows.dll" "$stage/platforms/"
cp "$KIT/plugins/styles/qwindowsvistastyle.dll" "$stage/styles/"
# Exactly the DLLs the programs and plugins import, found in the kit or the
# MinGW runtime, and what those import in turn; system DLLs stay out.
queue=("$stage"/*.exe "$stage"/platforms/*.dll "$stage"/styles/*.dll)
while [ "${#queue[@]}" -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  for dll in $($objdump -p "$file" | sed -n 's/^\s*DLL Name: //p'); do
    [ -e "$stage/$dll" ] && continue
    for from in "$KIT/bin" "$KIT/mingw-runtime"; do
      if [ -e "$from/$dll" ]; then
        cp "$from/$dll" "$stage/"
        queue+=("$stage/$dll")
        break
      fi
    done
  done
done
x86_64-w64-mingw32-strip --strip-unneeded "$stage"/*.exe
# Signed once stripped (stripping would break the signature): the programs and
# the DLLs that come with them, since WDAC checks every DLL a program loads.
. scripts/lib/sign-windows.sh
if signing_wanted; then
  step "signing the programs and their DLLs"
  while IFS= read -r -d '' file; do
    sign_file "$file" "Controllo colli"
  done < <(find "$stage" -type f \( -name '*.exe' -o -name '*.dll' \) -print0)
else
  echo "unsigned build: COLLI_SIGN_PFX and COLLI_SIGN_PASSWORD_FILE are not set"
fi
cp share/ETICHETTA.TXT parcels/schema.sql "$stage/"
sed 's/$/\r/' share/LEGGIMI-WINDOWS.txt >"$stage/LEGGIMI-README.txt"
(cd "$win/zip" && zip -qr9 "$win/controllo-colli-windows.zip" controllo-colli)
# The installer, from the same files.
version=$(cat "$win/colli-version")
step "installer"
rm -f "$win"/controllo-colli-*.msi
python3 scripts/build-msi.py "$stage" "$version" "$win/controllo-colli-$version.msi"
# Last, after every table edit: any later change breaks the signature.
if signing_wanted; then
  sign_file "$win/controllo-colli-$version.msi" "Controllo colli $version"
  step "signed: programs, DLLs and installer"
else
  step "unsigned: programs, DLLs and installer"
fi
step "done: $win/controllo-colli-$version.msi ($(du -k "$win/controllo-colli-$version.msi" | cut -f1) KiB)"
step "done: $win/controllo-colli-windows.zip ($(du -k "$win/controllo-colli-windows.zip" | cut -f1) KiB):"
(cd "$win/zip" && find controllo-colli -type f | sort | sed 's/^/   /')
