#!/usr/bin/env bash
# End-to-end: the headless demo session (the real station on Xvfb, driven with
# xdotool, against an embedded database and a private CUPS), which checks the
# exact label bytes, the scan log and the batch's result itself; then the
# Debian package's contents.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${COLLI_BUILD_DIR:-build}

work=$(mktemp -d /tmp/colli-e2e.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"

passed=0 failed=0
check() { # name, then the command
  local name=$1; shift
  if "$@" >"$work/$name.log" 2>&1; then
    passed=$((passed + 1)); echo "e2e: $name passed"
  else
    failed=$((failed + 1)); cat "$work/$name.log"; echo "e2e: $name FAILED"
  fi
}

check session env -u DISPLAY bash scripts/demo.sh --headless --dir "$work/station"

package_has_programs_on_path() {
  (cd "$build" && cpack -G DEB) || return 1
  local deb contents
  deb=$(ls -t "$build"/controllo-colli_*.deb | head -n 1)
  contents=$(dpkg-deb --contents "$deb")
  echo "$contents"
  grep -q '\./usr/bin/colli-admin -> /opt/controllo-colli/colli-admin' <<<"$contents" &&
    grep -q '\./usr/bin/controllo-colli -> /opt/controllo-colli/controllo-colli' <<<"$contents" &&
    grep -q '\./opt/controllo-colli/controllo-colli$' <<<"$contents"
}
check package package_has_programs_on_path

echo "e2e: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
