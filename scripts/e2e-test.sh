#!/usr/bin/env bash
# End-to-end: the real station on Xvfb, driven with xdotool, against an embedded
# database and a private CUPS; checks the exact label bytes and the scan log.
set -euo pipefail
cd "$(dirname "$0")/.."

work=$(mktemp -d /tmp/colli-e2e.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

if ! env -u DISPLAY bash scripts/demo.sh --headless --dir "$work/station" >"$work/session.log" 2>&1; then
  cat "$work/session.log"
  echo "e2e: the scripted session failed"
  exit 1
fi

# The label the printer received: the template with CR LF line ends and both
# placeholders filled for SPD0002's correct EAN.
expected="$work/expected.prn"
sed -e 's/\r$//' -e 's/<CODICEEAN>/8007654321019/g' -e 's/<CODICEEAN_SHORT>/800765432101/g' \
    share/ETICHETTA.TXT | sed -e 's/$/\r/' >"$expected"
status=0
if ! cmp -s "$expected" "$work/station/labels/label-001.prn"; then
  echo "e2e: the label differs from the expected bytes"; status=1
fi
[ -e "$work/station/labels/label-002.prn" ] && { echo "e2e: a second label was printed"; status=1; }

log=$("$work/station/colli-admin" export-log "$work/station/ARCHIVIOCOLLI.FDB" | cut -d';' -f3-)
expected_log=$'BARCODESPEED;CODICEEANLETTO;STATUS\nSPD0001;8001234567897;EanCorretto\nSPD0002;0076543210190;EanErrato\nNOPE0001;;BarCodeSpeedSconosciuto'
if [ "$log" != "$expected_log" ]; then
  printf 'e2e: scan log differs:\n%s\n' "$log"; status=1
fi

filled=$(echo "SELECT COUNT(*) FROM COLLI WHERE CODICEEAN_ERRATO IS NOT NULL;" | \
  isql-fb -q "$work/station/ARCHIVIOCOLLI.FDB" 2>/dev/null | tr -d ' ' | grep -E '^[0-9]+$' || true)
if [ "$filled" != "6" ]; then
  echo "e2e: the batch left $filled parcels with a faulty EAN, expected 6"; status=1
fi

if [ "$status" -eq 0 ]; then
  echo "e2e: 1 passed, 0 failed"
else
  cat "$work/session.log"
  echo "e2e: 0 passed, 1 failed"
fi
exit "$status"
