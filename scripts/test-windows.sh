#!/usr/bin/env bash
# Builds the Windows programs (scripts/build-windows.sh) and checks them under
# Wine on a private X display: the database-free test suites, the Win32
# printing backend against Wine's spooler with a private CUPS raw queue that
# prints to a loopback listener, the client loader without fbclient.dll, and
# the station itself unpacked from the zip.
#   bash scripts/test-windows.sh
# COLLI_WINDOWS_SCREENSHOTS=FOLDER keeps the station's screenshots there.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
T0=$(date +%s)
step() { echo "== $(date +%T) [$(( $(date +%s) - T0 ))s] windows: $*"; }

bash scripts/build-windows.sh
win=$top/build-windows
kit=$(cat "$win/kit-path")

step "packages"
packages=(wine wine64 libwine fonts-wine libcups2 libxcursor1 libxi6 libxrandr2 libxrender1 libxfixes3
          libxinerama1 libxcomposite1 cups cups-daemon cups-client xvfb xdotool x11-utils xclip imagemagick
          openbox unzip python3)
missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" = installed ] || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends \
    -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
fi

work=$(mktemp -d /tmp/colli-wine.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  set +e
  [ -n "${WINEPREFIX:-}" ] && timeout 20 wineserver -k 2>/dev/null
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  bash scripts/cups-test-rig.sh stop "$work/cups"
  [ -n "${made_root_folder:-}" ] && rm -rf /Colli
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "test-windows: $*" >&2; exit 1; }

step "display, CUPS queue, listener"
exec 5>"$work/display"
Xvfb -displayfd 5 -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || fail "Xvfb did not start"
export DISPLAY=:$(head -n1 "$work/display")
openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)

bash scripts/cups-test-rig.sh start "$work/cups"
set -a; . "$work/cups/env"; set +a
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 scripts/label-listener.py "$port" "$work/labels" --seconds 1200 --quiet >"$work/listener.log" 2>&1 &
pids+=($!)
PATH=$PATH:/usr/sbin lpadmin -p Etichette -E -v "socket://127.0.0.1:$port/?waiteof=false"
PATH=$PATH:/usr/sbin lpadmin -d Etichette

step "Wine prefix"
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
timeout 300 wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot failed: $(tail -5 "$work/wineboot.log")"
# Debian's Wine does not find its own Tahoma unless it sits in the prefix.
cp /usr/share/wine/fonts/tahoma*.ttf /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
winpath() { winepath -w "$1" 2>/dev/null; }
export WINEPATH="$(winpath "$kit/bin");$(winpath "$kit/mingw-runtime")"

status=0
passed=0
failed=0
run_suite() {
  local exe=$1; shift
  echo "-- $(basename "$exe")"
  timeout 300 env "$@" wine "$exe" --gtest_brief=1 >"$work/suite.log" 2>&1 || true
  grep -v '^\s*$' "$work/suite.log" | grep -v '^Running main' || true
  local ok bad
  ok=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$work/suite.log" | tail -n1)
  bad=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) test.*/\1/p' "$work/suite.log" | tail -n1)
  passed=$((passed + ${ok:-0}))
  failed=$((failed + ${bad:-0}))
  if [ -z "$ok" ] || [ -n "$bad" ]; then
    status=1
    [ -z "$ok$bad" ] && failed=$((failed + 1)) # crashed or hung
  fi
}
check() { # name, 0 = good
  if [ "$2" -eq 0 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); status=1; echo "FAILED: $1" >&2; fi
}

step "test suites under Wine"
# The name-order tests use Windows program folders as they are: C:\Colli\,
# Z:\Colli\ (Wine's Z: is /) and the shares \\SRV\D\ and \\SRV\Dati\ (Wine's
# dosdevices/unc).
mkdir -p "$WINEPREFIX/drive_c/Colli" "$WINEPREFIX/dosdevices/unc/SRV/D/Colli" \
  "$WINEPREFIX/dosdevices/unc/SRV/Dati/Colli"
if [ ! -e /Colli ]; then
  mkdir /Colli
  made_root_folder=1
fi
mkdir -p "$work/labels"
run_suite "$win/tests/printing/printing_logic_tests.exe"
run_suite "$win/tests/dblocate/dblocate_settings_tests.exe"
run_suite "$win/tests/dblocate/dblocate_search_tests.exe"
run_suite "$win/tests/dataaccess_loader_tests.exe"
run_suite "$win/tests/parcels_logic_tests.exe"
run_suite "$win/tests/printing/printing_win32_tests.exe" \
  COLLI_WIN_QUEUE=Etichette COLLI_WIN_LABEL_DIR="$(winpath "$work/labels")"

step "the station from the zip, without fbclient.dll"
unzip -q "$win/controllo-colli-windows.zip" -d "$work/station"
station=$work/station/controllo-colli
# Only what the zip holds: no kit folder on the search path.
env -u WINEPATH wine "$station/controllo-colli.exe" >"$work/station.log" 2>&1 &
station_pid=$!
pids+=("$station_pid")

wait_window() {
  local id
  for _ in $(seq 1 600); do
    id=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  return 1
}
# The screen cut to what is on it: the one window open, with its frame.
shot_window() {
  import -window root "$2.full.png"
  convert "$2.full.png" -trim +repage "$2"
}

box=$(wait_window '^Controllo colli$') || fail "no message box from the station; $(tail -5 "$work/station.log")"
sleep 1
# Qt's message box copies its text with Ctrl+C; Wine hands it to the X clipboard.
xdotool windowactivate --sync "$box" >/dev/null 2>&1 || true
xdotool key ctrl+c
sleep 1
message=$(timeout 5 xclip -o -selection clipboard 2>/dev/null | tr -d '\r' || true)
echo "message box: $(echo "$message" | tr '\n' ' ')"
case "$message" in
  *"Impossibile caricare la libreria client di Firebird"*fbclient.dll*) check "message naming fbclient.dll" 0 ;;
  *) check "message naming fbclient.dll" 1 ;;
esac
shot_window "$box" "$work/message.png"
xdotool key Return
if main=$(wait_window '^MainForm$'); then
  check "main window" 0
  sleep 1
  shot_window "$main" "$work/main.png"
  if [ -n "${COLLI_WINDOWS_SCREENSHOTS:-}" ]; then
    mkdir -p "$COLLI_WINDOWS_SCREENSHOTS"
    cp "$work/message.png" "$work/main.png" "$COLLI_WINDOWS_SCREENSHOTS/"
  fi
else
  check "main window after the message" 1
fi
kill "$station_pid" 2>/dev/null || true

step "done"
echo "windows: $passed passed, $failed failed"
exit "$status"
