#!/usr/bin/env bash
# Runs the station on a demo database with a demo label printer.
#   scripts/demo.sh                 with a display: start the station, scan by hand
#   scripts/demo.sh --headless      no display (or none wanted): play a scripted
#                                   session on Xvfb, keep screenshots, print the
#                                   log and the label, exit 0 only when the log
#                                   rows, the label bytes and the batch's result
#                                   in the database are the expected ones
#   --dir FOLDER                    where to lay out the demo station (default demo/);
#                                   a folder that exists must be one the demo made
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)

usage() { sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; }
headless=""
demo="$top/demo"
while [ "$#" -gt 0 ]; do
  case "$1" in
    --headless) headless=1 ;;
    --dir)
      [ "$#" -ge 2 ] && [ -n "$2" ] || { echo "demo.sh: --dir needs a folder" >&2; usage >&2; exit 2; }
      demo=$2; shift ;;
    -h|--help) usage; exit 0 ;;
    *) echo "demo.sh: unknown option $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
[ -z "${DISPLAY:-}" ] && headless=1

# The demo empties its folder at every run, so it only ever empties one it made.
marker=.controllo-colli-demo
if [ -e "$demo" ] && { [ ! -d "$demo" ] || [ -n "$(ls -A "$demo")" ]; } && [ ! -e "$demo/$marker" ]; then
  echo "demo.sh: $demo exists and was not made by the demo; it is left alone." >&2
  echo "demo.sh: give --dir a new folder (or an empty one)." >&2
  exit 2
fi

bash scripts/install-deps.sh
cmake -S . -B "${COLLI_BUILD_DIR:-build}" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "${COLLI_BUILD_DIR:-build}" --target controllo-colli colli-admin

# The demo station folder: program, template, database.
rm -rf "$demo"
mkdir -p "$demo/labels" "$demo/screenshots"
demo=$(cd "$demo" && pwd)
touch "$demo/$marker"
cp "${COLLI_BUILD_DIR:-build}/app/controllo-colli" "${COLLI_BUILD_DIR:-build}/admin/colli-admin" "$demo/"
cp share/ETICHETTA.TXT "$demo/"
"$demo/colli-admin" init "$demo/ARCHIVIOCOLLI.FDB" >/dev/null
"$demo/colli-admin" import "$demo/ARCHIVIOCOLLI.FDB" share/demo-parcels.csv
# The journal of scan outcomes stays with the demo, whatever the workstation has.
mkdir "$demo/giornale"
printf '[CONFIG]\r\nCartella Giornale=%s\r\n' "$demo/giornale" >"$demo/dati.ini"

# A private CUPS with one raw queue whose printer is the listener.
services=$(mktemp -d /tmp/colli-demo.XXXXXX)
chmod 755 "$services"
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
  export XDG_RUNTIME_DIR="$services/runtime"
  mkdir -m 700 "$XDG_RUNTIME_DIR"
fi
# The station's diagnostic log stays with the demo, not in the user's data folder.
export XDG_DATA_HOME="$demo/data"
listener_pid=""
xvfb_pid=""
station_pid=""
cleanup() {
  [ -n "$station_pid" ] && kill "$station_pid" 2>/dev/null || true
  [ -n "$listener_pid" ] && kill "$listener_pid" 2>/dev/null || true
  [ -n "${wm_pid:-}" ] && kill "$wm_pid" 2>/dev/null || true
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
# A window manager, so that windows have their frames and titles as on a desk.
start_window_manager "$services"

# Started from another folder: the station must find its files next to the program.
(cd "$services" && exec "$demo/controllo-colli") &
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
wait_journal_empty "$demo/giornale/giornale-scansioni.sqlite"

click_main_button "$main" integrazione
answer_box '^Confirm$' "$demo/screenshots/04-conferma-integrazione.png" yes
answer_box '^Information$' "$demo/screenshots/05-elaborazione-completata.png" ok

click_main_button "$main" chiudi
wait_exit "$station_pid"
station_pid=""

echo "== Scan log"
"$demo/colli-admin" export-log "$demo/ARCHIVIOCOLLI.FDB"
echo "== Label received by the printer"
cat "$demo/labels/label-001.prn"
echo

status=0
fail() { echo "demo: $*" >&2; status=1; }

log=$("$demo/colli-admin" export-log "$demo/ARCHIVIOCOLLI.FDB" | cut -d';' -f3-5)
expected_log=$'BARCODESPEED;CODICEEANLETTO;STATUS\nSPD0001;8001234567897;EanCorretto\nSPD0002;0076543210190;EanErrato\nNOPE0001;;BarCodeSpeedSconosciuto'
[ "$log" = "$expected_log" ] || fail "the scan log differs from the three expected rows"

# The template with CR LF line ends and both placeholders filled for SPD0002.
sed -e 's/\r$//' -e 's/<CODICEEAN>/8007654321019/g' -e 's/<CODICEEAN_SHORT>/800765432101/g' \
    share/ETICHETTA.TXT | sed -e 's/$/\r/' >"$services/expected.prn"
cmp -s "$services/expected.prn" "$demo/labels/label-001.prn" || fail "the label differs from the expected bytes"
[ -e "$demo/labels/label-002.prn" ] && fail "a second label was printed"

# The batch filled exactly the parcels that lacked a faulty EAN and have a 13-character EAN.
filled=$(echo "SELECT BARCODESPEED, CODICEEAN_ERRATO FROM COLLI WHERE CODICEEAN_ERRATO IS NOT NULL ORDER BY 1;" |
           isql-fb -q "$demo/ARCHIVIOCOLLI.FDB" 2>&1 | awk 'NF == 2 && $1 ~ /^SPD/ {printf "%s=%s ", $1, $2}')
expected_filled="SPD0001=0012345678974 SPD0002=0076543210190 SPD0003=0123450001738 SPD0004=0555500002172 SPD0005=0600011122274 SPD0006=0712312312374 "
[ "$filled" = "$expected_filled" ] || fail "the faulty EANs after the batch are '$filled', expected '$expected_filled'"

for f in 00-main 01-ean-ok 02-ean-errato-ristampa 03-codice-speed-sconosciuto 05-elaborazione-completata; do
  [ -s "$demo/screenshots/$f.png" ] || fail "screenshot $f missing"
done
echo "== Screenshots in $demo/screenshots"
[ "$status" -eq 0 ] && echo "demo: the session did all it should" || echo "demo: the session FAILED"
exit "$status"
