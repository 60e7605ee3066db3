#!/usr/bin/env bash
# A private CUPS scheduler for the printing tests: everything it reads and
# writes lives in one folder, clients reach it over a unix socket there.
#   cups-test-rig.sh start DIR   starts it, waits until it answers, writes DIR/env
#   cups-test-rig.sh stop DIR    stops it by the PID in DIR/pid
set -euo pipefail

usage() { echo "usage: $0 start|stop DIR" >&2; exit 2; }
[ "$#" -eq 2 ] || usage
action=$1
dir=$2

stop_rig() {
  [ -f "$dir/pid" ] || return 0
  local pid
  pid=$(cat "$dir/pid")
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$dir/pid"
}

start_rig() {
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  stop_rig

  # The backend runs as lp and must reach the spool: every folder on the way
  # has to be traversable by others.
  local d
  d=$(dirname "$dir")
  while :; do
    if ! su -s /bin/sh lp -c "test -x '$d'" 2>/dev/null; then
      echo "cups-test-rig: $d is not traversable by the lp user" >&2
      return 1
    fi
    [ "$d" = "/" ] && break
    d=$(dirname "$d")
  done

  mkdir -p "$dir/conf" "$dir/client" "$dir/spool/tmp" "$dir/state/certs" "$dir/cache" "$dir/log"
  chmod 755 "$dir" "$dir/conf" "$dir/client" "$dir/state" "$dir/cache" "$dir/log"
  chown root:lp "$dir/spool" "$dir/spool/tmp"
  chmod 0710 "$dir/spool"
  chmod 1770 "$dir/spool/tmp"
  local sock="$dir/cups.sock"

  cat >"$dir/cups-files.conf" <<EOF
ServerRoot $dir/conf
RequestRoot $dir/spool
TempDir $dir/spool/tmp
StateDir $dir/state
CacheDir $dir/cache
AccessLog $dir/log/access_log
ErrorLog $dir/log/error_log
PageLog $dir/log/page_log
Printcap $dir/printcap
User lp
Group lp
SystemGroup root
FileDevice No
PeerCred on
EOF

  cat >"$dir/cupsd.conf" <<EOF
LogLevel warn
Listen $sock
Browsing No
WebInterface No
DefaultAuthType Basic
MaxJobs 0
PreserveJobHistory No
PreserveJobFiles No
<Location />
  Order allow,deny
  Allow all
</Location>
<Location /admin>
  Order allow,deny
  Allow all
</Location>
<Policy default>
  JobPrivateAccess default
  JobPrivateValues default
  SubscriptionPrivateAccess default
  SubscriptionPrivateValues default
  <Limit Create-Job Print-Job Print-URI Validate-Job Send-Document Send-URI Get-Jobs Get-Job-Attributes Cancel-Job Close-Job Cancel-My-Jobs CUPS-Get-Document Get-Printer-Attributes Get-Printers CUPS-Get-Printers CUPS-Get-Default CUPS-Get-Classes Get-Notifications Create-Job-Subscription Cancel-Subscription Get-Subscriptions Renew-Subscription>
    Order deny,allow
  </Limit>
  <Limit All>
    AuthType Default
    Require user @SYSTEM
    Order deny,allow
  </Limit>
</Policy>
DefaultPolicy default
EOF

  # Raw jobs need the raw types and conversions in the server's own root.
  for f in raw.types raw.convs; do
    [ -f "/etc/cups/$f" ] && cp "/etc/cups/$f" "$dir/conf/$f"
  done
  [ -f "$dir/conf/raw.types" ] || printf 'application/octet-stream\n' >"$dir/conf/raw.types"
  [ -f "$dir/conf/raw.convs" ] || printf 'application/octet-stream\tapplication/vnd.cups-raw\t0\t-\n' >"$dir/conf/raw.convs"

  : >"$dir/log/error_log"
  local cupsd
  cupsd=$(command -v cupsd || echo /usr/sbin/cupsd)
  "$cupsd" -f -c "$dir/cupsd.conf" -s "$dir/cups-files.conf" </dev/null >>"$dir/log/cupsd.out" 2>&1 &
  echo $! >"$dir/pid"

  cat >"$dir/env" <<EOF
CUPS_SERVER=$sock
CUPS_STATEDIR=$dir/state
CUPS_SERVERROOT=$dir/client
CUPS_RIG_DIR=$dir
EOF

  for _ in $(seq 1 100); do
    if PATH=$PATH:/usr/sbin CUPS_SERVER=$sock CUPS_STATEDIR=$dir/state CUPS_SERVERROOT=$dir/client lpstat -r >/dev/null 2>&1; then
      return 0
    fi
    if ! kill -0 "$(cat "$dir/pid")" 2>/dev/null; then break; fi
    sleep 0.1
  done
  echo "cups-test-rig: cupsd did not answer; see $dir/log" >&2
  cat "$dir/log/cupsd.out" "$dir/log/error_log" >&2 2>/dev/null || true
  stop_rig
  return 1
}

case "$action" in
  start) start_rig ;;
  stop) stop_rig ;;
  *) usage ;;
esac
