# Sourced by the scripts that drive the Windows program under wine as a user would, on a private
# X server (Xvfb, which the sourcing script is started again inside) with a window manager
# (openbox). Sourced with the script's arguments: PROGRAM.exe first. Starts the window manager
# and then the program, and leaves its process id in $program and its output in
# PROGRAM.exe.log. Clicks go to the controls' places in the window, which are fixed.
if [ -z "${TARVEX_DRIVE_IN_XVFB:-}" ]; then
  export TARVEX_DRIVE_IN_XVFB=1
  exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$0" "$@"
fi
exe=$1
wine_run=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)/wine-run
guard=300  # seconds any one step may take: a guard against a hang, never a measure

# Says what went wrong and what was on the screen; the screen's picture goes to
# drive-conversion-failure.png in the current directory.
fail() {
  echo "$(basename "$0"): $*" >&2
  echo "windows on the screen:" >&2
  for w in $(xdotool search --onlyvisible --name . 2>/dev/null); do xdotool getwindowname "$w" >&2 || true; done
  import -window root drive-conversion-failure.png 2>/dev/null || true
  echo "the program's output:" >&2
  cat "$exe.log" >&2 || true
  exit 1
}
# The first visible window whose name matches the regular expression; waits for it. (A search
# can fail when a window goes away while it looks: it is simply asked again.)
window() {
  local end=$((SECONDS + guard)) found
  while :; do
    found=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1) || true
    if [ -n "$found" ]; then echo "$found"; return 0; fi
    [ $SECONDS -lt $end ] || return 1
    sleep 0.3
  done
}
# Waits until the stand-in has received a statement containing the text; $statements names
# the stand-in's statement log.
received() {
  local end=$((SECONDS + guard))
  until grep -qF -- "$1" "$statements"; do
    [ $SECONDS -lt $end ] || fail "the server never received: $1"
    sleep 0.2
  done
}
click() { xdotool mousemove --window "$main" "$1" "$2" click 1; }
# Waits for the notice with this caption and answers it with Enter.
answer() {
  local notice
  notice=$(window "^$1\$") || fail "no notice \"$1\""
  xdotool windowactivate --sync "$notice" key Return
  local end=$((SECONDS + guard))
  while xdotool search --onlyvisible --name "^$1\$" >/dev/null 2>&1; do
    [ $SECONDS -lt $end ] || fail "the notice \"$1\" stays"
    sleep 0.2
  done
}

# The window manager, up once it names its window on the root window. Now and then, on a busy
# machine, it ends as it starts: it is started again, three times at most.
wm=
program=
trap 'kill $program $wm 2>/dev/null || true' EXIT
for start in 1 2 3; do
  openbox > "$exe.wm.log" 2>&1 &
  wm=$!
  end=$((SECONDS + guard))
  until xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; do
    kill -0 $wm 2>/dev/null || break
    [ $SECONDS -lt $end ] || fail "openbox did not start"
    sleep 0.1
  done
  kill -0 $wm 2>/dev/null && break
  [ $start -lt 3 ] || fail "openbox ended as it started: $(cat "$exe.wm.log")"
done
"$wine_run" "$exe" > "$exe.log" 2>&1 &
program=$!

main=$(window 'VeltroGRP-Tarvex') || fail "the window did not show"
xdotool windowactivate --sync "$main"

# 登录数据库 with the window's defaults, a click into 转换账套 (the lookup), the list opened and its
# first account set chosen, 演示账套.
log_in_and_choose() {
  click 46 145            # 登录数据库
  answer '成功'
  xdotool windowactivate --sync "$main"
  click 420 50            # into 转换账套: the lookup
  received 'GL_Ztcs'
  sleep 3                 # the list's rows reach the window after the statement reached the server
  xdotool key F4          # the list opens
  sleep 1
  xdotool key Home Return # its first account set, 演示账套
  received "ztmc like '%演示账套%'"
  sleep 3                 # the unit and account set numbers reach their fields after that
}
