#!/usr/bin/env bash
# The README's deployment commands, as written, after scripts/test.sh has built
# build/: make the Debian package, check it with lintian, install it with apt-get, load a database with
# colli-admin from the PATH, start the station. It installs the package for real,
# so the fresh-root run uses it in its throwaway root; it removes it again.
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
echo "deploy: 1 passed, 0 failed"
