#!/usr/bin/env bash
# A private Firebird 3 server for the tests, never the system one: its own root
# folder, security database and lock folder, listening on 127.0.0.1 only.
#   fb-test-server.sh start DIR   -> prints the port; DIR/pid and DIR/port written
#   fb-test-server.sh stop DIR
#   fb-test-server.sh kill DIR      -> SIGKILL, as a crash ends it
#   fb-test-server.sh restart DIR   -> kill if running, then start again on the same port
# COLLI_FB_WIRECRYPT (Enabled by default) sets the server's WireCrypt: Required,
# Enabled or Disabled.
set -euo pipefail
cmd=${1:?start|stop}; dir=${2:?folder}
fbroot=/usr/lib/x86_64-linux-gnu/firebird/3.0
password=${COLLI_FB_PASSWORD:-plumtrove}
wirecrypt=${COLLI_FB_WIRECRYPT:-Enabled}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}

run_server() {
  FIREBIRD="$root" FIREBIRD_LOCK="$root/lock" nohup /usr/sbin/firebird >>"$dir/server.log" 2>&1 &
  echo $! > "$dir/pid"
  echo "$port" > "$dir/port"
  for _ in $(seq 1 100); do
    if python3 -c "import socket,sys; s=socket.socket(); s.settimeout(0.2); sys.exit(s.connect_ex(('127.0.0.1',$port)))"; then
      echo "$port"; exit 0
    fi
    kill -0 "$(cat "$dir/pid")" 2>/dev/null || { cat "$dir/server.log" >&2; exit 1; }
    sleep 0.1
  done
  echo "firebird did not open port $port" >&2; exit 1
}

case "$cmd" in
start)
  mkdir -p "$dir"; dir=$(cd "$dir" && pwd)
  rm -rf "$dir/root"; mkdir -p "$dir/root/intl" "$dir/root/lock" "$dir/root/system"
  root="$dir/root"
  port=$(free_port)
  cat > "$root/firebird.conf" <<CONF
RemoteServicePort = $port
RemoteBindAddress = 127.0.0.1
SecurityDatabase = $root/system/security3.fdb
ServerMode = Super
UdfAccess = None
AuthServer = Srp, Legacy_Auth
AuthClient = Srp, Legacy_Auth
UserManager = Srp
WireCrypt = $wirecrypt
CONF
  : > "$root/databases.conf"
  echo "security.db = $root/system/security3.fdb" >> "$root/databases.conf"
  [ -n "${COLLI_FB_ALIASES:-}" ] && printf '%s\n' "$COLLI_FB_ALIASES" >> "$root/databases.conf"
  ln -s "$fbroot/plugins" "$root/plugins"
  ln -s "$fbroot/plugins.conf" "$root/plugins.conf"
  ln -s "$fbroot/firebird.msg" "$root/firebird.msg"
  ln -s "$fbroot/UDF" "$root/UDF"
  # the engine refuses a symlinked charset library
  cp "$fbroot/intl/libfbintl.so" "$root/intl/"
  cp "$fbroot/intl/fbintl.conf" "$root/intl/"
  FIREBIRD="$root" FIREBIRD_LOCK="$root/lock" isql-fb -q >/dev/null <<SQL
CREATE DATABASE '$root/system/security3.fdb' USER 'SYSDBA' PASSWORD 'masterkey';
CREATE USER SYSDBA PASSWORD '$password' USING PLUGIN Srp;
COMMIT;
SQL
  run_server
  ;;
kill|restart)
  dir=$(cd "$dir" && pwd); root="$dir/root"; port=$(cat "$dir/port")
  if [ -f "$dir/pid" ]; then
    pid=$(cat "$dir/pid")
    kill -9 "$pid" 2>/dev/null || true
    for _ in $(seq 1 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    rm -f "$dir/pid"
  fi
  [ "$cmd" = kill ] && exit 0
  run_server
  ;;
stop)
  if [ -f "$dir/pid" ]; then
    pid=$(cat "$dir/pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$dir/pid"
  fi
  ;;
*) echo "usage: $0 start|stop|kill|restart DIR" >&2; exit 2 ;;
esac
