#!/bin/bash
# What a screen reader says, step by step: the installer window walked by
# keyboard alone under Orca on a virtual display, printing what Orca spoke at
# each step (from its debug log). A manual check, not a test: it depends on
# Orca's timing and wording.
#
#   bench/installer/screen_reader_walk.sh [APP]
#
# APP is a built SonarellInstaller.app (default: build/dev's). It is copied with
# a small payload whose script prints four lines and succeeds after a second.
# Needs the Debian packages orca, speech-dispatcher, python3-speechd, xvfb,
# at-spi2-core, dbus-x11 (for nothing but dbus-daemon) and xdotool.
set -euo pipefail

here=$(cd "$(dirname "$0")/../.." && pwd)
app=${1:-$here/build/dev/SonarellInstaller.app}
for tool in Xvfb dbus-daemon orca xdotool xwininfo script python3; do
  command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 2; }
done
[ -x "$app/Contents/MacOS/SonarellInstaller" ] || { echo "no installer at $app" >&2; exit 2; }

work=$(mktemp -d /tmp/sonarell-walk.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  sleep 0.5
  if [ -n "${SONARELL_WALK_KEEP:-}" ]; then echo "kept $work" >&2; else rm -rf "$work"; fi
}
trap cleanup EXIT

# The installer with its small payload.
cp -a "$app" "$work/SonarellInstaller.app"
res="$work/SonarellInstaller.app/Contents/Resources"
rm -rf "$res/Payload" "$res/Registration" "$res/Scripts"
mkdir -p "$res/Payload/Sonarell.app/Contents" "$res/Registration/Keyloom.app/Contents/MacOS" "$res/Scripts"
printf '%s\n' '<?xml version="1.0" encoding="UTF-8"?>' \
  '<plist version="1.0"><dict><key>CFBundleIdentifier</key><string>org.quennet.inputmethod.Sonarell</string><key>CFBundleShortVersionString</key><string>1.4.2</string></dict></plist>' \
  >"$res/Payload/Sonarell.app/Contents/Info.plist"
printf '#!/bin/sh\nexit 0\n' >"$res/Registration/Keyloom.app/Contents/MacOS/Keyloom"
chmod +x "$res/Registration/Keyloom.app/Contents/MacOS/Keyloom"
printf '%s\n' 'echo "staging: copied Sonarell.app"' 'echo "backup: none needed"' \
  'echo "keyloom: register status=0"' 'sleep 1' 'echo "ready=1"' >"$res/Scripts/install-macos.sh"

# A display, a session bus, speech that goes nowhere.
export XDG_RUNTIME_DIR=$work/run HOME=$work/home
mkdir -p "$XDG_RUNTIME_DIR" "$HOME/.config/speech-dispatcher" "$work/apphome"
chmod 700 "$XDG_RUNTIME_DIR"
printf 'AddModule "dummy" "sd_dummy" ""\nDefaultModule dummy\n' >"$HOME/.config/speech-dispatcher/speechd.conf"
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 </dev/null &
pids+=($!)
export DISPLAY=$display
dbus-daemon --session --nofork --print-address=3 3>"$work/bus" >"$work/dbus.log" 2>&1 </dev/null &
pids+=($!)
for _ in $(seq 50); do [ -s "$work/bus" ] && break; sleep 0.1; done
DBUS_SESSION_BUS_ADDRESS=$(head -1 "$work/bus")
export DBUS_SESSION_BUS_ADDRESS

# Orca, its debug log on a terminal so that it is written line by line.
log=$work/orca.log
script -qfec "orca --replace -d braille -d braille-monitor -u $work/orca-prefs --debug-file=/dev/tty" "$log" \
  >/dev/null 2>&1 </dev/null &
pids+=($!)
for _ in $(seq 150); do grep -aq "Screen reader on" "$log" 2>/dev/null && break; sleep 0.2; done
sleep 2

offset=$(stat -c %s "$log")
settle() {  # until the log has not grown for 2 s (at most 20 s)
  local last=-1 now same=0
  for _ in $(seq 100); do
    now=$(stat -c %s "$log")
    if [ "$now" = "$last" ]; then same=$((same + 1)); else same=0; fi
    [ $same -ge 10 ] && return
    last=$now
    sleep 0.2
  done
}
step() {  # step NAME KEYS...: presses the keys and prints what was spoken since the last step
  local name=$1
  shift
  for k in "$@"; do
    xdotool key --clearmodifiers "$k"
    settle
  done
  settle
  echo "== $name"
  python3 - "$log" "$offset" <<'PY'
import re, sys
data = open(sys.argv[1], 'rb').read()[int(sys.argv[2]):].decode('utf-8', 'replace').replace('\r', '')
for said in re.findall(r"SPEECH OUTPUT: '(.*?)'(?: ?[{\[]|\n(?=\S))", data, re.S):
    print('   ' + ' / '.join(line.strip() for line in said.splitlines() if line.strip()))
PY
  offset=$(stat -c %s "$log")
}

HOME=$work/apphome QT_QPA_PLATFORM=xcb QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 LANG=C.UTF-8 \
  "$work/SonarellInstaller.app/Contents/MacOS/SonarellInstaller" >"$work/app.log" 2>&1 </dev/null &
pids+=($!)
sleep 3
settle
# Qt drops the events of a window activated before its accessibility bridge is
# up, which at start-up is a race: the window gives the focus away and takes it
# back, so that the screen reader meets it the same way every time.
root=$(xwininfo -root | sed -n 's/.*Window id: \(0x[0-9a-f]*\).*/\1/p')
window=$(xdotool search --name "国际音标" | head -1)
xdotool windowfocus --sync "$root"
sleep 1
xdotool windowfocus --sync "$window"
step "the window appears"
step "Down Down Up in the log" Down Down Up
step "Right Right" Right Right
step "Ctrl+Right" ctrl+Right
step "where am I (KP_Enter)" KP_Enter
step "say all (KP_Add)" KP_Add
step "Tab" Tab
step "Tab" Tab
step "Space on the main button" space
sleep 3
step "(the run's end)"
step "where am I (KP_Enter)" KP_Enter
step "Tab" Tab
step "Space on the toggle" space
step "Shift+Tab to the log" shift+Tab
step "Down Down Up in the detailed log" Down Down Up
step "Shift+Down" shift+Down
step "say all (KP_Add)" KP_Add
step "flat review: this line, the next, the next (KP_Up KP_Page_Up KP_Page_Up)" KP_Up KP_Page_Up KP_Page_Up
step "where am I (KP_Enter)" KP_Enter
