#!/usr/bin/env bash
# The one test command: installs what is missing, builds into build/, starts the
# private services the tests need, runs ctest, and stops the services again.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

bash scripts/install-deps.sh

services=$(mktemp -d /tmp/colli-test.XXXXXX)
chmod 755 "$services"
# Qt wants a private runtime folder; without one every GUI test warns.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR="$services/runtime"
  mkdir -m 700 "$XDG_RUNTIME_DIR"
fi
# Blackholed-link tests drop their own server's port with iptables rules
# marked with this run's name; whatever a crashed test left is removed here.
export COLLI_TEST_RUN="run$$"
remove_blackholes() {
  command -v iptables >/dev/null || return 0
  local rules
  rules=$(iptables -w 5 -S INPUT 2>/dev/null | grep -- "colli-blackhole-$COLLI_TEST_RUN-" || true)
  [ -n "$rules" ] || return 0
  sed 's/^-A /-D /' <<<"$rules" | while read -r rule; do iptables -w 5 $rule || true; done
  return 0
}
stop_services() {
  remove_blackholes
  [ -x scripts/cups-test-rig.sh ] && bash scripts/cups-test-rig.sh stop "$services/cups" || true
  bash scripts/fb-test-server.sh stop "$services/firebird" || true
  rm -rf "$services"
}
trap stop_services EXIT

# The station writes its diagnostic log to the user's data folder: here a
# folder of the run's own.
export XDG_DATA_HOME="$services/data"
# Listing the tests runs some of them during the build, so the runtime folder
# and the headless platform are set before it.
export QT_QPA_PLATFORM=offscreen
werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCOLLI_WERROR="$werror" >/dev/null
cmake --build build

export COLLI_FB_SERVER_DIR="$services/firebird"
port=$(bash scripts/fb-test-server.sh start "$COLLI_FB_SERVER_DIR")
export COLLI_FB_SERVER="127.0.0.1/$port"
export COLLI_FB_SERVER_PID=$(cat "$COLLI_FB_SERVER_DIR/pid")

if [ -x scripts/cups-test-rig.sh ]; then
  bash scripts/cups-test-rig.sh start "$services/cups"
  set -a; . "$services/cups/env"; set +a
fi

export COLLI_SOURCE_DIR="$top"
status=0
ctest --test-dir build --output-on-failure || status=1
bash scripts/e2e-test.sh || status=1
# Real stations against a private server of its own under seeded faults (about 2 minutes).
python3 scripts/chaos-test.py || status=1
exit "$status"
