# Drives the station on an X display with xdotool; sourced by the demo and the
# end-to-end test. Every wait is bounded so a broken run fails instead of hanging.

session_fail() { echo "station session: $*" >&2; exit 1; }

# Prints the id of the visible window whose title matches, waiting up to 60 s.
wait_window() {
  local pattern=$1 id
  for _ in $(seq 1 600); do
    id=$(xdotool search --onlyvisible --name "$pattern" 2>/dev/null | tail -n 1 || true)
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.1
  done
  session_fail "no window '$pattern'"
}

wait_gone() {
  local id=$1
  for _ in $(seq 1 100); do
    xdotool getwindowname "$id" >/dev/null 2>&1 || return 0
    xwininfo -id "$id" 2>/dev/null | grep -q 'IsViewable' || return 0
    sleep 0.1
  done
  session_fail "window $id did not close"
}

# A window manager on the display, so windows carry their frames and titles.
start_window_manager() {
  openbox --sm-disable >"$1/openbox.log" 2>&1 &
  wm_pid=$!
  for _ in $(seq 1 100); do
    xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
    sleep 0.1
  done
  session_fail "the window manager did not start"
}

# A screenshot of the station's windows with their frames (the whole screen when
# none is found): the smallest rectangle holding every visible window of station_pid.
shot() {
  sleep 0.3
  local ids id l r t b x0=1000000 y0=1000000 x1=0 y1=0 X Y WIDTH HEIGHT
  ids=$(xdotool search --onlyvisible --pid "${station_pid:-0}" 2>/dev/null || true)
  if [ -z "$ids" ]; then import -window root "$1"; return; fi
  for id in $ids; do
    # xwininfo, not xdotool: under a reparenting manager xdotool adds the frame offset twice.
    read -r X Y WIDTH HEIGHT < <(xwininfo -id "$id" | awk '
      /Absolute upper-left X/ {x=$NF} /Absolute upper-left Y/ {y=$NF}
      /^ *Width:/ {w=$NF} /^ *Height:/ {h=$NF} END {print x, y, w, h}')
    IFS=', ' read -r l r t b < <(xprop -id "$id" _NET_FRAME_EXTENTS 2>/dev/null | sed -n 's/.*= //p'; echo)
    l=${l:-0} r=${r:-0} t=${t:-0} b=${b:-0}
    ((X - l < x0)) && x0=$((X - l))
    ((Y - t < y0)) && y0=$((Y - t))
    ((X + WIDTH + r > x1)) && x1=$((X + WIDTH + r))
    ((Y + HEIGHT + b > y1)) && y1=$((Y + HEIGHT + b))
  done
  ((x0 < 0)) && x0=0
  ((y0 < 0)) && y0=0
  import -window root -crop "$((x1 - x0))x$((y1 - y0))+$x0+$y0" +repage "$1"
}

scan() {
  xdotool type --delay 15 -- "$1"
  xdotool key Return
  sleep 0.3
}

# Window-relative click at x,y.
click_at() { xdotool mousemove --window "$1" "$2" "$3" click 1; }

# The outcome window: screenshot, then "Ok" (Enter and Esc do not close it).
expect_outcome() {
  local id
  id=$(wait_window '^Messaggio$')
  shot "$1"
  click_at "$id" 195 156
  wait_gone "$id"
}

# Buttons of the main window's bottom-right panel, placed from its right edge.
click_main_button() {
  local id=$1 which=$2 WIDTH HEIGHT X Y SCREEN WINDOW
  eval "$(xdotool getwindowgeometry --shell "$id")"
  case "$which" in
    integrazione) click_at "$id" $((WIDTH - 8 - 230 + 65)) $((HEIGHT - 41 + 8 + 12)) ;;
    chiudi) click_at "$id" $((WIDTH - 8 - 100 + 50)) $((HEIGHT - 41 + 8 + 12)) ;;
  esac
}

# A box takes no key a reader sends (only Escape): "ok" and "no" are Escape,
# "yes" is a click on its button, left of "No" at the box's bottom right.
answer_box() {
  local id WIDTH HEIGHT X Y SCREEN WINDOW
  id=$(wait_window "$1")
  shot "$2"
  case "$3" in
    yes)
      eval "$(xdotool getwindowgeometry --shell "$id")"
      click_at "$id" $((WIDTH - 136)) $((HEIGHT - 17)) ;;
    ok|no) xdotool key Escape ;;
    *) xdotool key "$3" ;; # a key a reader never sends, such as alt+y
  esac
  wait_gone "$id"
}

# The log rows reach the database in the background: waits (up to 30 s) until
# the station's journal holds none.
wait_journal_empty() {
  python3 - "$1" <<'PY' || session_fail "rows still waiting in the journal $1"
import sqlite3, sys, time
for _ in range(300):
    try:
        db = sqlite3.connect("file:%s?mode=ro" % sys.argv[1], uri=True, timeout=5)
        left = db.execute("SELECT COUNT(*) FROM RIGHE").fetchone()[0]
        db.close()
        if left == 0:
            sys.exit(0)
    except sqlite3.Error:
        pass
    time.sleep(0.1)
sys.exit(1)
PY
}

wait_file() {
  for _ in $(seq 1 200); do [ -s "$1" ] && return 0; sleep 0.1; done
  session_fail "$1 never arrived"
}

wait_exit() {
  for _ in $(seq 1 100); do kill -0 "$1" 2>/dev/null || { wait "$1"; return $?; }; sleep 0.1; done
  session_fail "the station did not exit"
}
