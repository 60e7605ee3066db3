#!/usr/bin/env bash
# Runs the station on a demo database with a demo label printer.
#   scripts/demo.sh                 with a display: start the station, scan by hand
#   scripts/demo.sh --headless      no display (or none wanted): play a scripted
#                                   session on Xvfb, keep screenshots, print the
#                                   log and the label, exit 0 only when all happened
#   --dir FOLDER                    where to lay out the demo station (default demo/)
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

headless=""
demo="$top/demo"
while [ "$#" -gt 0 ]; do
  case "$1" in
    --headless) headless=1 ;;
    --dir) demo=$2; shift ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "demo.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
[ -z "${DISPLAY:-}" ] && headless=1

bash scripts/install-deps.sh
cmake -S . -B "${COLLI_BUILD_DIR:-build}" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "${COLLI_BUILD_DIR:-build}" --target controllo-colli colli-admin

# The demo station folder: program, template, database.
rm -rf "$demo"
mkdir -p "$demo/labels" "$demo/screenshots"
demo=$(cd "$demo" && pwd)
cp "${COLLI_BUILD_DIR:-build}/app/controllo-colli" "${COLLI_BUILD_DIR:-build}/admin/colli-admin" "$demo/"
cp share/ETICHETTA.TXT "$demo/"
"$demo/colli-admin" init "$demo/ARCHIVIOCOLLI.FDB" >/dev/null
"$demo/colli-admin" import "$demo/ARCHIVIOCOLLI.FDB" share/demo-parcels.csv

# A private CUPS with one raw queue whose printer is the listener.
services=$(mktemp -d /tmp/colli-demo.XXXXXX)
chmod 755 "$services"
listener_pid=""
xvfb_pid=""
station_pid=""
cleanup() {
  [ -n "$station_pid" ] && kill "$station_pid" 2>/dev/null || true
  [ -n "$listener_pid" ] && kill "$listener_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  bash scripts/cups-test-rig.sh stop "$services/cups" || true
  rm -rf "$services"
}
trap cleanup EXIT

bash scripts/cups-test-rig.sh start "$services/cups"
set -a; . "$services/cups/env"; set +a
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 scripts/label-listener.py "$port" "$demo/labels" --seconds 7200 &
listener_pid=$!
lpadmin -p Etichette -E -v "socket://127.0.0.1:$port/?waiteof=false" -D "Stampante etichette demo"

if [ -z "$headless" ]; then
  cat <<TEXT

The demo station runs in $demo
Printer: "Etichette" (labels are saved in $demo/labels and shown here).
Scan (type, then Enter) one of these pairs:
  SPD0001 then 8001234567897   correct EAN       -> EAN OK
  SPD0002 then 0076543210190   faulty EAN        -> EAN ERRATO: RISTAMPA, label printed
  SPD0001 then 1234567890123   unknown EAN       -> codice EAN sconosciuto
  NOPE0001                     unknown parcel    -> codice speed sconosciuto
"Integrazione EAN errati" fills the faulty EAN of SPD0003 to SPD0006.
Close the station with "Chiudi" to stop the demo.

TEXT
  (cd "$demo" && ./controllo-colli)
  "$demo/colli-admin" export-log "$demo/ARCHIVIOCOLLI.FDB"
  exit 0
fi

# --- headless: a scripted session on Xvfb ---
# Xvfb picks a free display itself and reports it.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$services/display" >"$services/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 300); do [ -s "$services/display" ] && break; sleep 0.1; done
[ -s "$services/display" ] || { cat "$services/xvfb.log" >&2; echo "demo: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n 1 "$services/display")"
unset QT_QPA_PLATFORM

. scripts/lib/station-session.sh

(cd "$demo" && exec ./controllo-colli) &
station_pid=$!
main=$(wait_window '^MainForm$')
shot "$demo/screenshots/00-main.png"

scan SPD0001; scan 8001234567897
expect_outcome "$demo/screenshots/01-ean-ok.png"
scan SPD0002; scan 0076543210190
expect_outcome "$demo/screenshots/02-ean-errato-ristampa.png"
wait_file "$demo/labels/label-001.prn"
scan NOPE0001
expect_outcome "$demo/screenshots/03-codice-speed-sconosciuto.png"

click_main_button "$main" integrazione
answer_box '^Confirm$' "$demo/screenshots/04-conferma-integrazione.png" y
answer_box '^Information$' "$demo/screenshots/05-elaborazione-completata.png" Return

click_main_button "$main" chiudi
wait_exit "$station_pid"
station_pid=""

echo "== Scan log"
log=$("$demo/colli-admin" export-log "$demo/ARCHIVIOCOLLI.FDB")
echo "$log"
echo "== Label received by the printer"
cat "$demo/labels/label-001.prn"

status=0
for s in EanCorretto EanErrato BarCodeSpeedSconosciuto; do
  grep -q ";$s\$" <<<"$log" || { echo "demo: no log row $s" >&2; status=1; }
done
grep -q '8007654321019' "$demo/labels/label-001.prn" || { echo "demo: label lacks the EAN" >&2; status=1; }
for f in 01-ean-ok 02-ean-errato-ristampa 03-codice-speed-sconosciuto 05-elaborazione-completata; do
  [ -s "$demo/screenshots/$f.png" ] || { echo "demo: screenshot $f missing" >&2; status=1; }
done
echo "== Screenshots in $demo/screenshots"
exit "$status"
