#!/usr/bin/env bash
# Builds the Windows programs (scripts/build-windows.sh) and checks them under
# Wine on a private X display: the database-free test suites, the Win32
# printing backend against Wine's spooler with a private CUPS raw queue that
# prints to a loopback listener, the client loader and the station without
# fbclient.dll; then, through a test-only fbclient.dll that hands every client
# call to the Linux client (tests/winebridge), the database suites against the
# embedded engine and a private server, and the station from the zip scanning
# end to end in four layouts (plain folder, accented folder, drive root, server);
# everything signed with a throwaway certificate and checked, and the installer's
# tables, installation, upgrade and removal.
#   bash scripts/test-windows.sh
# COLLI_WINDOWS_SCREENSHOTS=FOLDER keeps the station's screenshots there.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
T0=$(date +%s)
step() { echo "== $(date +%T) [$(( $(date +%s) - T0 ))s] windows: $*"; }

# A throwaway certificate: the build signs as a site's would, and every
# signature is checked against it.
signing=$(mktemp -d /tmp/colli-sign.XXXXXX)
trap 'rm -rf "$signing"' EXIT
openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 2 -subj "/CN=Controllo colli (test)/O=Controllo colli" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$signing/key.pem" -out "$signing/cert.pem" 2>/dev/null
printf 'usa-e-getta\n' >"$signing/password"
openssl pkcs12 -export -inkey "$signing/key.pem" -in "$signing/cert.pem" -out "$signing/colli.pfx" \
  -passout "file:$signing/password"
export COLLI_SIGN_PFX=$signing/colli.pfx COLLI_SIGN_PASSWORD_FILE=$signing/password
unset COLLI_SIGN_TIMESTAMP # no network here
. scripts/lib/sign-windows.sh

bash scripts/build-windows.sh
win=${COLLI_WINDOWS_BUILD_DIR:-$top/build-windows}
kit=$(cat "$win/kit-path")

step "packages"
# The project's own list (Firebird server and tools for the private server and
# the bridge, CUPS, Xvfb...; no system service is started) plus Wine and what
# the bridge is built with.
bash scripts/install-deps.sh wine wine64 libwine fonts-wine wine64-tools libwine-dev gcc \
  libcups2 libxcursor1 libxi6 libxrandr2 libxrender1 libxfixes3 libxinerama1 libxcomposite1 \
  sqlite3 unzip

work=$(mktemp -d /tmp/colli-wine.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  set +e
  [ -n "${WINEPREFIX:-}" ] && timeout 20 wineserver -k 2>/dev/null
  [ -n "${COLLI_FB_SERVER_DIR:-}" ] && bash scripts/fb-test-server.sh stop "$COLLI_FB_SERVER_DIR"
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  bash scripts/cups-test-rig.sh stop "$work/cups"
  [ -n "${made_root_folder:-}" ] && rm -rf /Colli
  rm -rf "$work" "$signing"
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
# No debugger on a crash: it would wait for someone until the suite's time runs out.
# No menu builder: the installer's Start-menu entry must stay inside the prefix,
# not become a desktop entry in the user's own home.
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d;winemenubuilder.exe=d"
# One wineserver for the whole run: one that ends between two programs can
# refuse the next one ("recvmsg: Connection reset by peer").
mkdir -p "$WINEPREFIX"
wineserver -p
timeout 300 wineboot -i >"$work/wineboot.log" 2>&1 || fail "wineboot failed: $(tail -5 "$work/wineboot.log")"
# N: is a network drive whose share Wine cannot tell (its mount manager reads
# the drive types as it starts, hence the restart).
mkdir -p "$work/share-n"
ln -s "$work/share-n" "$WINEPREFIX/dosdevices/n:"
wine reg add 'HKLM\Software\Wine\Drives' /v 'N:' /d network /f >/dev/null 2>&1
wineserver -k
wineserver -p
# Debian's Wine does not find its own Tahoma unless it sits in the prefix.
cp /usr/share/wine/fonts/tahoma*.ttf /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
winpath() { winepath -w "$1" 2>/dev/null; }
export WINEPATH="$(winpath "$kit/bin");$(winpath "$kit/mingw-runtime")"

status=0
passed=0
failed=0
# run_suite EXE [VAR=value...] [-- ARGUMENT...]. Wine hands no QT_* variable on,
# so Qt options go as arguments.
run_suite() {
  local exe=$1 t0=$SECONDS; shift
  local vars=() args=()
  while [ $# -gt 0 ]; do
    if [ "$1" = -- ]; then shift; args=("$@"); break; fi
    vars+=("$1"); shift
  done
  # from a folder of the run's own: nothing a test leaves in its current folder stays behind
  (cd "$work" && timeout 300 env "${vars[@]}" wine "$exe" --gtest_brief=1 "${args[@]}") >"$work/suite.log" 2>&1 || true
  echo "-- $(basename "$exe") ($((SECONDS - t0)) s)"
  grep -v '^\s*$' "$work/suite.log" | grep -v '^Running main' || true
  local ok bad
  ok=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' "$work/suite.log" | tail -n1)
  # --gtest_brief prints one line per failed test and no count of them
  bad=$(grep -c '^\[  FAILED  \] [^ ]*\.[^ ]* (' "$work/suite.log" || true)
  passed=$((passed + ${ok:-0}))
  failed=$((failed + bad))
  if [ -z "$ok" ] || [ "$bad" -gt 0 ]; then
    status=1
    if [ -z "$ok" ] && [ "$bad" -eq 0 ]; then failed=$((failed + 1)); fi # crashed or hung
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
# A workstation's own settings: the suites must leave them as they found them.
own_settings=$'[CONFIG]\r\nNome Server=MAGAZZINO\r\n'
printf '%s' "$own_settings" >"$WINEPREFIX/drive_c/Colli/dati.ini"
device_key='HKCU\Software\Microsoft\Windows NT\CurrentVersion\Windows'
# Wine replaces a default that names no installed printer as each program
# starts, so the workstation's own default is the queue, as Wine names it.
own_device='Etichette,wineps.drv,CUPS:Etichette'
wine reg add "$device_key" /v Device /d "$own_device" /f >/dev/null 2>&1
run_suite "$win/tests/printing/printing_logic_tests.exe"
run_suite "$win/tests/dblocate/dblocate_settings_tests.exe"
run_suite "$win/tests/dblocate/dblocate_search_tests.exe" COLLI_WIN_NETWORK_DRIVE=N:
run_suite "$win/tests/dataaccess_loader_tests.exe"
run_suite "$win/tests/printing/printing_win32_tests.exe" \
  COLLI_WIN_QUEUE=Etichette COLLI_WIN_LABEL_DIR="$(winpath "$work/labels")"
kept=1
printf '%s' "$own_settings" | cmp -s - "$WINEPREFIX/drive_c/Colli/dati.ini" && kept=0
check "C:\\Colli\\dati.ini left as it was" "$kept"
device=$(wine reg query "$device_key" /v Device 2>/dev/null | tr -d '\r' | sed -n 's/^ *Device *REG_SZ *//p' || true)
kept=1
[ "$device" = "$own_device" ] && kept=0
check "the user's default printer left as it was (found: $device)" "$kept"

step "the station from the zip, without fbclient.dll"
unzip -q "$win/controllo-colli-windows.zip" -d "$work/station"
station=$work/station/controllo-colli
# Both programs as shipped: their manifest and a version resource of the project's version.
version=$(cat "$win/colli-version")
for program in controllo-colli colli-admin; do
  rc=0
  wine "$win/tests/resource_check.exe" "$(winpath "$station/$program.exe")" "$version" || rc=$?
  check "$program.exe: manifest and version $version" "$rc"
done
# Every program and DLL of the zip and the installer carry a valid signature
# of the build's certificate; a file changed after signing does not.
msi=$(ls "$win"/controllo-colli-*.msi)
verified=0
unverified=()
while IFS= read -r -d '' file; do
  if osslsigncode verify -CAfile "$signing/cert.pem" -in "$file" >"$work/verify.log" 2>&1; then
    verified=$((verified + 1))
  else
    unverified+=("${file#"$work/"}")
  fi
done < <(find "$station" "$msi" -type f \( -name '*.exe' -o -name '*.dll' -o -name '*.msi' \) -print0)
rc=0; [ "${#unverified[@]}" -eq 0 ] && [ "$verified" -ge 10 ] || rc=1
check "signatures: $verified files verified${unverified:+, not: ${unverified[*]}}" "$rc"
cp "$station/colli-admin.exe" "$work/tampered.exe"
printf 'X' | dd of="$work/tampered.exe" bs=1 seek=4096 conv=notrunc 2>/dev/null
rc=0; osslsigncode verify -CAfile "$signing/cert.pem" -in "$work/tampered.exe" >/dev/null 2>&1 && rc=1
check "signatures: a program changed after signing fails verification" "$rc"

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
shot_window "$box" "$work/message.png"
# The station holds every key typed while it works, so a reader's Enter
# never closes a box; the operator's Escape does.
xdotool windowactivate --sync "$box" >/dev/null 2>&1 || true
xdotool key Return
sleep 1
rc=0; xdotool search --onlyvisible --name '^Controllo colli$' >/dev/null 2>&1 || rc=1
check "the box stays up through an Enter" "$rc"
# Every box the station shows goes to its diagnostic log, in the user's own data folder.
diagnostics=$(find "$WINEPREFIX/drive_c/users" -path '*/AppData/Local/Controllo colli/diagnostica.log' | head -n1)
message=$(tr -d '\r' <"${diagnostics:-/dev/null}" | sed -n 's/^[-0-9]* [:.0-9]* Errore: //p' | tail -n1)
echo "message box: $message"
case "$message" in
  *"Impossibile caricare la libreria client di Firebird"*fbclient.dll*) check "message naming fbclient.dll" 0 ;;
  *) check "message naming fbclient.dll" 1 ;;
esac
xdotool key Escape
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

step "client bridge"
# Wine loads a builtin DLL only when a file of that name is on its search path:
# the stub goes to system32, the code (fbclient.dll.so) is found on WINEDLLPATH.
bash tests/winebridge/build.sh "$win/winebridge"
cp "$win/winebridge/fbclient.dll" "$WINEPREFIX/drive_c/windows/system32/fbclient.dll"
export WINEDLLPATH=$win/winebridge WINEDLLOVERRIDES="$WINEDLLOVERRIDES;fbclient=b"

step "private Firebird server"
export COLLI_FB_SERVER_DIR=$work/firebird
fb_port=$(bash scripts/fb-test-server.sh start "$COLLI_FB_SERVER_DIR")
export COLLI_FB_SERVER="127.0.0.1/$fb_port"
export COLLI_SOURCE_DIR=$(winpath "$top")
# The broken-link tests kill and restart servers of their own through this helper.
control_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 scripts/fb-server-control.py "$control_port" --seconds 3000 >"$work/control.log" 2>&1 &
pids+=($!)
export COLLI_FB_SERVER_CONTROL=$control_port

step "database suites under Wine"
# Left out: the alias test of open-or-create, which writes the database's path
# into the Linux server's databases.conf, where a Windows path means nothing.
run_suite "$win/tests/dataaccess/dataaccess_tests.exe"
run_suite "$win/tests/parcels/parcels_tests.exe"
run_suite "$win/tests/parcels/parcels_count_text_tests.exe" LC_ALL=it_IT.UTF-8 COLLI_EXPECTED_COUNT=1.234
run_suite "$win/tests/parcels/parcels_count_text_tests.exe" LC_ALL=en_US.UTF-8 COLLI_EXPECTED_COUNT=1,234
run_suite "$win/tests/dblocate/dblocate_open_tests.exe" \
  GTEST_FILTER='-OpenOnServerTest.LocateAttachesThroughAnAliasWithoutMessages'
run_suite "$win/tests/dblocate/dblocate_dialog_tests.exe" -- -platform offscreen
run_suite "$win/tests/admin/admin_tests.exe"
# colli-admin.exe report with no display: the page painted, the PDF written.
run_suite "$win/tests/admin/report_tests.exe"
run_suite "$win/tests/app/app_tests.exe" GTEST_FILTER='-SessionEnd.*:Startup.EveryCaptionFitsItsControl'
# Every caption whole at 100 %, 125 % and 150 % (Wine's display resolution, read as each program
# starts), each in a process of its own with one main window, as the station runs.
for dpi in 96 120 144; do
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  run_suite "$win/tests/app/app_tests.exe" GTEST_FILTER='Startup.EveryCaptionFitsItsControl' -- -platform windows
done
wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1
# The session's end comes as window messages: real windows, on Wine's display.
run_suite "$win/tests/app/app_tests.exe" GTEST_FILTER='SessionEnd.*' -- -platform windows

step "the station from the zip, end to end"
# Four layouts a warehouse meets: a plain folder, a folder whose name has an
# accented letter, the root of a drive letter (a mapped share) and a dati.ini
# that names a server. Each scans a correct pair, a faulty pair (its label must
# reach the CUPS queue with its bytes intact inside Wine's PostScript), an
# unknown code, runs the batch and is closed with "Chiudi" once its journal
# has handed every outcome to the server; then the scan log and the faulty
# EANs are read back with isql-fb.
. scripts/lib/station-session.sh
mkdir -p "$work/shots"
csv=$(winpath "$top/share/demo-parcels.csv")
sed -e 's/\r$//' -e 's/<CODICEEAN>/8007654321019/g' -e 's/<CODICEEAN_SHORT>/800765432101/g' \
  share/ETICHETTA.TXT | sed -e 's/$/\r/' >"$work/expected-label.prn"
isql() { isql-fb -q -u SYSDBA -p plumtrove "$1" 2>&1; }
# The workstation's journal of outcomes: under ProgramData, the same whoever
# signs in (Unix folder; a session may name another).
common_journal="$WINEPREFIX/drive_c/ProgramData/Controllo colli"
journal_folder=$common_journal
# Rows still in the journal, read while the station may be writing it (WAL).
journal_rows() { sqlite3 -readonly "$1" 'SELECT COUNT(*) FROM RIGHE' 2>/dev/null; }

# folder (Unix), program and database as the station names them, database for isql-fb
station_session() {
  local name=$1 folder=$2 program=$3 database=$4 isqldb=$5 installed=${6:-} labels main log filled
  local journal=$journal_folder/giornale-scansioni.sqlite rows credentials=(env ISC_PASSWORD=plumtrove) options=()
  if [ -z "$installed" ]; then
    mkdir -p "$folder"
    cp -r "$station/." "$folder/"
  fi
  # A server's SYSDBA password is never taken by default; the private one keeps the station's.
  # A session may give it in a file instead (a Windows name).
  if [ -n "${admin_password_file:-}" ]; then
    credentials=(env -u ISC_PASSWORD)
    options=(--password-file "$admin_password_file")
  fi
  "${credentials[@]}" wine "$folder/colli-admin.exe" "${options[@]}" init "$database" >"$work/$name-admin.log" 2>&1 &&
    "${credentials[@]}" wine "$folder/colli-admin.exe" "${options[@]}" import "$database" "$csv" \
      >>"$work/$name-admin.log" 2>&1 ||
    session_fail "colli-admin: $(tail -3 "$work/$name-admin.log")"
  labels=$(find "$work/labels" -name 'label-*' | wc -l)

  (cd "$work" && exec env -u WINEPATH wine "$program" >"$work/$name-station.log" 2>&1) &
  station_pid=$!
  main=$(wait_window '^MainForm$')
  sleep 1
  scan SPD0001; scan 8001234567897
  expect_outcome "$work/shots/$name-ean-ok.png"
  scan SPD0002; scan 0076543210190
  expect_outcome "$work/shots/$name-ristampa.png"
  for _ in $(seq 1 100); do
    [ "$(find "$work/labels" -name 'label-*' | wc -l)" -gt "$labels" ] && break
    sleep 0.2
  done
  scan NOPE0001
  expect_outcome "$work/shots/$name-sconosciuto.png"
  click_main_button "$main" integrazione
  # Keys typed while the station works are held, so that a reader never
  # answers a box: the operator uses the button's Alt shortcut, or Escape.
  answer_box '^Confirm$' "$work/shots/$name-conferma.png" alt+y
  answer_box '^Information$' "$work/shots/$name-completata.png" Escape
  # The outcomes go to the server from the journal in the background.
  for _ in $(seq 1 150); do
    rows=$(journal_rows "$journal")
    [ "$rows" = 0 ] && break
    sleep 0.2
  done
  [ "$rows" = 0 ] || session_fail "$name: '$rows' rows still in the journal ${journal#"$WINEPREFIX/"}"
  click_main_button "$main" chiudi
  wait_exit "$station_pid"
  [ "$(journal_rows "$journal")" = 0 ] || session_fail "$name: no empty journal ${journal#"$WINEPREFIX/"} after the end"
  [ "$journal_folder" = "$folder" ] || [ ! -e "$folder/giornale-scansioni.sqlite" ] ||
    session_fail "$name: a journal beside the program as well"

  log=$(printf 'SET LIST ON;\nSELECT BARCODESPEED || %s || COALESCE(CODICEEANLETTO, %s) || %s || STATUS AS R FROM LOGSPARATE ORDER BY ID;\n' \
          "';'" "''" "';'" | isql "$isqldb" | sed -n 's/^R  *//p' | tr -d '\r' | paste -sd' ')
  [ "$log" = "SPD0001;8001234567897;EanCorretto SPD0002;0076543210190;EanErrato NOPE0001;;BarCodeSpeedSconosciuto" ] ||
    session_fail "$name: scan log '$log'"
  [ "$(find "$work/labels" -name 'label-*' | wc -l)" -eq $((labels + 1)) ] || session_fail "$name: not one label printed"
  python3 -c 'import sys; sys.exit(open(sys.argv[2], "rb").read() not in open(sys.argv[1], "rb").read())' \
    "$(find "$work/labels" -name 'label-*' | sort | tail -n1)" "$work/expected-label.prn" ||
    session_fail "$name: the label's bytes are not in what the printer received"
  filled=$(printf 'SET LIST ON;\nSELECT COUNT(*) AS N FROM COLLI WHERE CODICEEAN_ERRATO IS NOT NULL;\n' |
             isql "$isqldb" | sed -n 's/^N  *//p')
  [ "$filled" = 6 ] || session_fail "$name: $filled parcels with a faulty EAN after the batch, expected 6"
  echo "$name: journal ${journal#"$WINEPREFIX/"}"
}

session() { # name, then station_session's arguments
  local name=$1 rc
  # errexit stays on inside: every failed step ends the session
  set +e
  (set -e; station_session "$@")
  rc=$?
  set -e
  check "station from the zip: $name" "$rc"
  [ "$rc" -eq 0 ] || tail -5 "$work/$name-station.log" 2>/dev/null || true
  # a failed session may leave its windows behind
  timeout 20 wineserver -k 2>/dev/null || true
  wineserver -p
}

drive_c=$WINEPREFIX/drive_c
session plain "$drive_c/Colli-e2e" 'C:\Colli-e2e\controllo-colli.exe' 'C:\Colli-e2e\ARCHIVIOCOLLI.FDB' \
  "$drive_c/Colli-e2e/ARCHIVIOCOLLI.FDB"
# colli-admin reads its password from a file in a user's folder with an
# accented name, which the ANSI code page of a narrow name would miss.
mkdir -p "$drive_c/users/Niccolò"
printf 'plumtrove\r\n' >"$drive_c/users/Niccolò/password.txt"
admin_password_file='C:\users\Niccolò\password.txt' \
  session accented "$drive_c/Magazzino/Però" 'C:\Magazzino\Però\controllo-colli.exe' \
  'C:\Magazzino\Però\ARCHIVIOCOLLI.FDB' "$drive_c/Magazzino/Però/ARCHIVIOCOLLI.FDB"
# A share mapped to P: is a drive letter whose root holds the program. No
# folder is to be had under ProgramData here (a file stands in the way): the
# journal goes beside the program, at the drive's root.
mkdir -p "$work/share-p" "$common_journal"
ln -s "$work/share-p" "$WINEPREFIX/dosdevices/p:"
mv "$common_journal" "$common_journal.aside"
touch "$common_journal"
journal_folder=$work/share-p session drive-root "$work/share-p" 'P:\controllo-colli.exe' 'P:\ARCHIVIOCOLLI.FDB' \
  "$work/share-p/ARCHIVIOCOLLI.FDB"
rm "$common_journal"
mv "$common_journal.aside" "$common_journal"
# The server's alias names a database of its own; dati.ini next to the program points at it.
mkdir -p "$work/server-db" "$drive_c/Colli-server"
chmod 777 "$work/server-db"
echo "colli = $work/server-db/ARCHIVIOCOLLI.FDB" >>"$COLLI_FB_SERVER_DIR/root/databases.conf"
# Its journal in a folder of the site's choice, named in Notepad's "ANSI": an
# accented name, which SQLite must be given in UTF-8.
printf '[CONFIG]\r\nNome Server=%s\r\nAlias=colli\r\nCartella Giornale=C:\\Giornale già\\\r\n' \
  "$COLLI_FB_SERVER" | iconv -f UTF-8 -t CP1252 >"$drive_c/Colli-server/dati.ini"
journal_folder="$drive_c/Giornale già" session server "$drive_c/Colli-server" 'C:\Colli-server\controllo-colli.exe' \
  "$COLLI_FB_SERVER:colli" "$COLLI_FB_SERVER:colli"
[ -e "$drive_c/Colli-server/ARCHIVIOCOLLI.FDB" ] && check "server layout made no local database" 1

step "the installer"
# Its tables first, against the validation rules and the package's promises;
# then breaks of a copy that each rule must catch.
python3 tests/package/msi-tables-check.py "$msi" "$version" --signed >"$work/msi-tables.log" 2>&1 && rc=0 || rc=1
sed 's/^/   /' "$work/msi-tables.log"
check "installer: tables ($(grep -c '^ok' "$work/msi-tables.log") rules hold)" "$rc"
python3 tests/package/msi-tables-check.py "$msi" "$version" --mutations >"$work/msi-breaks.log" 2>&1 && rc=0 || rc=1
grep -v '^ok' "$work/msi-breaks.log" | sed 's/^/   /'
check "installer: every break of the tables caught" "$rc"

# Installed quietly into C:\Colli\ as a site would, the station started from
# its Start-menu entry's target scanning end to end, then an upgrade to a
# later build of the same version and the removal: the site's dati.ini, its
# edited ETICHETTA.TXT and its database must stay through both.
rm -rf "$drive_c/Colli" # the suites' workstation settings are done with
newer=$(echo "$version" | awk -F. '{ print $1 "." $2 "." $3 "." $4 + 1 }')
python3 scripts/build-msi.py "$win/zip/controllo-colli" "$newer" "$work/controllo-colli-$newer.msi"
sign_file "$work/controllo-colli-$newer.msi" "Controllo colli $newer"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
entries() { # the product's entries in Settings' app list, as "name version" lines
  wine reg query "$uninstall_key" /s 2>/dev/null | tr -d '\r' | awk '
    /^HKEY/ { name = ""; version = "" }
    $1 == "DisplayName" { sub(/^ *DisplayName *REG_SZ */, ""); name = $0 }
    $1 == "DisplayVersion" { version = $3 }
    name == "Controllo colli" && version != "" { print name " " version; name = "" }'
}
# Wine 8 passes for Windows 7 unless told otherwise: the package refuses it.
rc=0
wine msiexec /i "$(winpath "$msi")" /qn >"$work/msi-old-windows.log" 2>&1 || rc=$?
refused=1
[ "$rc" -ne 0 ] && [ ! -e "$drive_c/Colli/controllo-colli.exe" ] && [ -z "$(entries)" ] && refused=0
check "installer: refused on Windows 7 (build $(wine reg query 'HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion' \
  /v CurrentBuildNumber 2>/dev/null | tr -d '\r' | awk '/CurrentBuildNumber/ { print $3 }'), status $rc)" "$refused"
wine winecfg -v win10 >/dev/null 2>&1
rc=0
wine msiexec /i "$(winpath "$msi")" /qn >"$work/msi-install.log" 2>&1 || rc=$?
check "installer: msiexec /i on Windows 10 (status $rc)" "$rc"
rc=0; [ "$(entries)" = "Controllo colli $version" ] || rc=1
check "installer: one entry in the app list, version $version ($(entries | paste -sd,))" "$rc"
# Per machine. Wine's installer still puts the entry in the installing user's
# own Start menu; Windows puts it in the one of all users (ProgramData).
rc=0; msiinfo export "$msi" Property | tr -d '\r' | grep -qx "ALLUSERS$(printf '\t')1" || rc=1
check "installer: a per-machine package" "$rc"
menu_entry=$(find "$drive_c/ProgramData/Microsoft/Windows/Start Menu" "$drive_c/users" \
               -path '*/Start Menu/Programs/Controllo colli/Controllo colli.lnk' 2>/dev/null | head -n1)
rc=0; [ -n "$menu_entry" ] || rc=1
check "installer: the Start-menu entry (${menu_entry#"$drive_c/"})" "$rc"
# The entry's target as the shell link holds it (ANSI or UTF-16 text).
target=$(python3 -c '
import re, sys
data = open(sys.argv[1], "rb").read()
for text in (data.decode("latin-1"), data.decode("utf-16-le", "replace"), data[1:].decode("utf-16-le", "replace")):
    found = re.search(r"[A-Za-z]:\\[^\x00-\x1f]*?controllo-colli\.exe", text)
    if found:
        print(found.group(0))
        break
' "$menu_entry" 2>/dev/null || true)
rc=0; [ "$(echo "$target" | tr a-z A-Z)" = 'C:\COLLI\CONTROLLO-COLLI.EXE' ] || rc=1
check "installer: the entry starts C:\Colli\controllo-colli.exe (found: $target)" "$rc"
# The folders' rights: Wine's msiexec does not apply MsiLockPermissionsEx and
# its icacls shows nothing of its own files; what it shows is kept in the log.
echo "icacls C:\Colli (Wine): $(wine icacls 'C:\Colli' 2>&1 | tr -d '\r' | paste -sd' ' || true)"
rc=0; [ -d "$common_journal" ] || rc=1
check "installer: the journal's folder under ProgramData made" "$rc"
printf '[CONFIG]\r\n; banco 1\r\n' >"$drive_c/Colli/dati.ini"
session installed "$drive_c/Colli" "${target:-C:\Colli\controllo-colli.exe}" 'C:\Colli\ARCHIVIOCOLLI.FDB' \
  "$drive_c/Colli/ARCHIVIOCOLLI.FDB" installed
# colli-admin init gave Users write on the database it made, and on nothing else.
rc=0; grep -q 'gave BUILTIN\\Users read and write on C:\\Colli\\ARCHIVIOCOLLI.FDB' "$work/installed-admin.log" || rc=1
check "installer: init let the station write C:\Colli\ARCHIVIOCOLLI.FDB ($(grep -i 'users\|warning' "$work/installed-admin.log" | head -n1))" "$rc"
printf '^FX modificata dal sito\r\n' >>"$drive_c/Colli/ETICHETTA.TXT"
mkdir -p "$work/site"
cp "$drive_c/Colli/dati.ini" "$drive_c/Colli/ETICHETTA.TXT" "$work/site/"
site_kept() { # what, then the checks
  local rc=0 rows
  cmp -s "$work/site/dati.ini" "$drive_c/Colli/dati.ini" || rc=1
  cmp -s "$work/site/ETICHETTA.TXT" "$drive_c/Colli/ETICHETTA.TXT" || rc=1
  rows=$(printf 'SET LIST ON;\nSELECT COUNT(*) AS N FROM LOGSPARATE;\n' |
           isql "$drive_c/Colli/ARCHIVIOCOLLI.FDB" | sed -n 's/^N  *//p')
  [ "$rows" = 3 ] || rc=1
  check "installer: after the $1, dati.ini, the edited ETICHETTA.TXT and the database's 3 log rows (found $rows)" "$rc"
}
# The same package again: Windows Installer takes it for the product installed
# and changes nothing.
rc=0
wine msiexec /i "$(winpath "$msi")" /qn >"$work/msi-again.log" 2>&1 || rc=$?
[ "$(entries)" = "Controllo colli $version" ] || rc=1
check "installer: the same package again changes nothing (status $rc, $(entries | paste -sd,))" "$rc"
site_kept "same package again"
rc=0
wine msiexec /i "$(winpath "$work/controllo-colli-$newer.msi")" /qn >"$work/msi-upgrade.log" 2>&1 || rc=$?
check "installer: upgrade to $newer (status $rc)" "$rc"
rc=0; [ "$(entries)" = "Controllo colli $newer" ] && [ -f "$drive_c/Colli/controllo-colli.exe" ] || rc=1
check "installer: the upgrade replaced $version ($(entries | paste -sd,))" "$rc"
site_kept upgrade
rc=0
wine msiexec /x "$(winpath "$work/controllo-colli-$newer.msi")" /qn >"$work/msi-remove.log" 2>&1 || rc=$?
check "installer: msiexec /x (status $rc)" "$rc"
rc=0; [ -z "$(entries)" ] && [ ! -e "$drive_c/Colli/controllo-colli.exe" ] && { [ -z "$menu_entry" ] || [ ! -e "$menu_entry" ]; } || rc=1
check "installer: programs, Start-menu entry and app-list entry removed" "$rc"
site_kept removal
# The journal is the workstation's, not the program's: the package makes its
# folder and never removes it, nor what is in it.
rc=0; [ -f "$common_journal/giornale-scansioni.sqlite" ] || rc=1
check "installer: the journal under ProgramData kept" "$rc"

if [ -n "${COLLI_WINDOWS_SCREENSHOTS:-}" ]; then
  mkdir -p "$COLLI_WINDOWS_SCREENSHOTS"
  cp "$work"/shots/*.png "$COLLI_WINDOWS_SCREENSHOTS/" 2>/dev/null || true
fi

step "done"
echo "windows: $passed passed, $failed failed"
exit "$status"
