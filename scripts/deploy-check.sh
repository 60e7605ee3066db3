#!/usr/bin/env bash
# The README's deployment commands, as written, after scripts/test.sh has built
# build/: make the Debian package, check it with lintian, install it with apt-get, check the
# journal's folder, load a database with colli-admin from the PATH, start the station, then
# remove and purge the package. It installs the package for real, so the fresh-root run uses it
# in its throwaway root; it removes it again.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

station_pid=""
cleanup() {
  [ -n "$station_pid" ] && kill -9 "$station_pid" 2>/dev/null || true
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq controllo-colli >/dev/null 2>&1 || true
  rm -rf /opt/controllo-colli
}
trap cleanup EXIT

(cd build && cpack -G DEB >/dev/null)
# Debian's rules for the package: any error or warning fails (the one override
# ships in the package with its reason).
if ! lintian --fail-on error,warning build/controllo-colli_*.deb; then
  echo "deploy: lintian found errors or warnings in the package"; exit 1
fi
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq ./build/controllo-colli_*.deb >/dev/null
command -v colli-admin >/dev/null || { echo "deploy: colli-admin is not on the PATH"; exit 1; }

# The journal's folder: root:controllo-colli, 2770. A member of the group (here
# nobody with the group added) writes into it and what it writes stays in the
# group; nobody without the group can write there.
journal=/var/lib/controllo-colli
found=$(stat -c '%U:%G %a' "$journal" 2>/dev/null || echo missing)
[ "$found" = "root:controllo-colli 2770" ] ||
  { echo "deploy: $journal is $found, not root:controllo-colli 2770"; exit 1; }
gid=$(getent group controllo-colli | cut -d: -f3)
setpriv --reuid=nobody --regid=nogroup --groups="$gid" touch "$journal/probe" ||
  { echo "deploy: a member of controllo-colli cannot write in $journal"; exit 1; }
[ "$(stat -c %G "$journal/probe")" = controllo-colli ] ||
  { echo "deploy: a file made in $journal is not in the group controllo-colli"; exit 1; }
if setpriv --reuid=nobody --regid=nogroup --clear-groups touch "$journal/intruder" 2>/dev/null; then
  echo "deploy: a user outside controllo-colli can write in $journal"; exit 1
fi
rm -f "$journal/probe"

colli-admin init /opt/controllo-colli/ARCHIVIOCOLLI.FDB
colli-admin import /opt/controllo-colli/ARCHIVIOCOLLI.FDB "$top/share/demo-parcels.csv"

# The station from the PATH, from another folder: it must come up on the
# installed database and stay up until it is told to end.
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=$(mktemp -d)
export XDG_DATA_HOME="$XDG_RUNTIME_DIR/data" # the diagnostic log stays in the check's own folder
(cd / && exec controllo-colli) >"$XDG_RUNTIME_DIR/station.log" 2>&1 &
station_pid=$!
sleep 4
if ! kill -0 "$station_pid" 2>/dev/null; then
  wait "$station_pid" || true
  cat "$XDG_RUNTIME_DIR/station.log"
  echo "deploy: the station did not stay up"; exit 1
fi
kill -9 "$station_pid"; wait "$station_pid" 2>/dev/null || true; station_pid=""
rm -rf "$XDG_RUNTIME_DIR"

# Removing keeps the journal and the group; only a purge takes them away.
touch "$journal/kept"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq controllo-colli >/dev/null
[ -e "$journal/kept" ] && getent group controllo-colli >/dev/null ||
  { echo "deploy: removing the package took the journal's folder or the group away"; exit 1; }
DEBIAN_FRONTEND=noninteractive dpkg --purge controllo-colli >/dev/null
[ ! -e "$journal" ] && ! getent group controllo-colli >/dev/null ||
  { echo "deploy: the purge left $journal or the group controllo-colli behind"; exit 1; }
echo "deploy: 1 passed, 0 failed"
