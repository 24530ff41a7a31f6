#!/usr/bin/env bash
# Builds Sonarell and opens the installer window on its real payload, with HOME
# pointed at a sandbox home under build/dev, so nothing of the real user's is
# touched. Run it again to see the upgrade path ("升级并启用").
#
# With a display ($DISPLAY or $WAYLAND_DISPLAY, usable) you drive the window.
# Without one it starts a virtual display (Xvfb), presses the buttons itself and
# saves a screenshot of every state under build/dev/screenshots/.
#
#   scripts/run-installer.sh                  build, then open the window
#   scripts/run-installer.sh --headless       always use the virtual display
#   scripts/run-installer.sh --build-dir DIR  use an existing build folder instead of
#                                             building the dev preset (the sandbox and
#                                             screenshots then lie under DIR)
set -euo pipefail

cd "$(dirname "$0")/.."
root=$(pwd)
build="$root/build/dev"
sandbox="$build/sandbox-home"
shots="$build/screenshots"
installer="$build/SonarellInstaller.app/Contents/MacOS/SonarellInstaller"

force_headless=0
prebuilt=0
while [ $# -gt 0 ]; do
  case "$1" in
    --headless) force_headless=1 ;;
    --build-dir)
      [ $# -ge 2 ] || { echo "run-installer.sh: --build-dir needs a folder" >&2; exit 64; }
      build=$(cd "$2" && pwd) || exit 64
      prebuilt=1
      shift
      ;;
    *) echo "run-installer.sh: unknown option \"$1\" (accepted: --headless, --build-dir DIR)" >&2; exit 64 ;;
  esac
  shift
done
sandbox="$build/sandbox-home"
shots="$build/screenshots"
installer="$build/SonarellInstaller.app/Contents/MacOS/SonarellInstaller"

log() { printf '[run-installer] %s\n' "$*"; }
die() { printf '[run-installer] error: %s\n' "$*" >&2; exit 1; }

scripts/ensure-deps.sh
if [ "$prebuilt" -eq 0 ]; then
  log "building the dev preset"
  cmake --preset dev >/dev/null
  cmake --build --preset dev
fi
[ -x "$installer" ] || die "the build did not produce $installer"

# --- The sandbox home ----------------------------------------------------------------

export HOME="$sandbox"
mkdir -p "$HOME/Library/Preferences"
hitoolbox="$HOME/Library/Preferences/com.apple.HIToolbox.plist"
if [ ! -e "$hitoolbox" ]; then
  # What a Mac with the ABC layout and Pinyin enabled holds.
  cat >"$hitoolbox" <<'EOF'
<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<dict>
	<key>AppleCurrentKeyboardLayoutInputSourceID</key>
	<string>com.apple.keylayout.ABC</string>
	<key>AppleEnabledInputSources</key>
	<array>
		<dict>
			<key>InputSourceKind</key>
			<string>Keyboard Layout</string>
			<key>KeyboardLayout ID</key>
			<integer>252</integer>
			<key>KeyboardLayout Name</key>
			<string>ABC</string>
		</dict>
		<dict>
			<key>Bundle ID</key>
			<string>com.apple.inputmethod.SCIM</string>
			<key>InputSourceKind</key>
			<string>Keyboard Input Method</string>
		</dict>
		<dict>
			<key>Bundle ID</key>
			<string>com.apple.inputmethod.SCIM</string>
			<key>Input Mode</key>
			<string>com.apple.inputmethod.SCIM.ITABC</string>
			<key>InputSourceKind</key>
			<string>Input Mode</string>
		</dict>
	</array>
	<key>AppleSelectedInputSources</key>
	<array>
		<dict>
			<key>InputSourceKind</key>
			<string>Keyboard Layout</string>
			<key>KeyboardLayout ID</key>
			<integer>252</integer>
			<key>KeyboardLayout Name</key>
			<string>ABC</string>
		</dict>
	</array>
</dict>
</plist>
EOF
  log "seeded $hitoolbox (ABC layout and Pinyin enabled)"
fi
installer_logs="$HOME/Library/Logs/Sonarell/Installer"
im_log="$HOME/Library/Logs/Sonarell/InputMethod.log"

# --- Processes of our own, ended on every exit path ---------------------------------

work=$(mktemp -d)
installer_pid=""
xvfb_pid=""
bus_pid=""
cleanup() {
  local status=$?
  if [ -n "$installer_pid" ] && kill -0 "$installer_pid" 2>/dev/null; then
    kill -TERM "$installer_pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$installer_pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$installer_pid" 2>/dev/null || true
  fi
  # Ending the virtual display also ends the input method's window on it.
  if [ -n "$xvfb_pid" ]; then kill -TERM "$xvfb_pid" 2>/dev/null || true; fi
  if [ -n "$bus_pid" ]; then kill -TERM "$bus_pid" 2>/dev/null || true; fi
  rm -rf "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

if [ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] &&
  dbus-send --session --dest=org.freedesktop.DBus --type=method_call --print-reply \
    /org/freedesktop/DBus org.freedesktop.DBus.GetId >/dev/null 2>&1; then
  log "using the running session bus"
else
  { read -r address; read -r bus_pid; } < <(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1)
  export DBUS_SESSION_BUS_ADDRESS="$address"
  log "started a session bus of its own ($address)"
fi

display_usable() {
  if [ -n "${WAYLAND_DISPLAY:-}" ]; then
    local socket="$WAYLAND_DISPLAY"
    case "$socket" in /*) ;; *) socket="${XDG_RUNTIME_DIR:-/nonexistent}/$socket" ;; esac
    [ -S "$socket" ] && return 0
  fi
  [ -n "${DISPLAY:-}" ] && xdotool getdisplaygeometry >/dev/null 2>&1
}

variant=install
[ -e "$HOME/Library/Input Methods/Sonarell.app" ] && variant=upgrade

if [ "$force_headless" -eq 0 ] && display_usable; then
  log "opening the installer window (variant: $variant); HOME=$HOME"
  "$installer" || true
  log "installer closed"
  if [ -f "$im_log" ]; then
    log "the sample input method's log ($im_log) ends with:"
    tail -n 5 "$im_log" | sed 's/^/    /'
  fi
  exit 0
fi

# --- Without a display: a virtual one, and the buttons pressed by this script --------

log "no usable display: running the installer on a virtual display (Xvfb)"
exec 3>"$work/display"
Xvfb -displayfd 3 -screen 0 1400x1000x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [ -s "$work/display" ] && break; sleep 0.1; done
[ -s "$work/display" ] || die "Xvfb did not start: $(cat "$work/xvfb.log")"
DISPLAY=":$(head -n 1 "$work/display")"
export DISPLAY
unset WAYLAND_DISPLAY
export QT_QPA_PLATFORM=xcb

mkdir -p "$shots"
rm -f "$shots/$variant"-*.png
shot_window() { import -window "$1" "$shots/$2.png" && log "screenshot: $shots/$2.png"; }
shot_screen() { import -window root "$shots/$2.png" && log "screenshot: $shots/$2.png"; }

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1
  shift
  local tries=$((seconds * 10))
  for _ in $(seq "$tries"); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}
window_of() { { xdotool search --onlyvisible --classname "$1" 2>/dev/null || true; } | head -n 1; }
has_window() { [ -n "$(window_of "$1")" ]; }
log_count() { { find "$installer_logs" -maxdepth 1 -name '*.log' 2>/dev/null || true; } | wc -l; }
newest_log() { { ls -t "$installer_logs"/*.log 2>/dev/null || true; } | head -n 1; }
# The script's last line: its success line, or its own error line.
run_ended() {
  local file
  file=$(newest_log)
  [ -n "$file" ] && grep -q -E '^Sonarell (is|was not) (installed|upgraded) and enabled|^install-macos\.sh: ' "$file"
}
im_lines() { if [ -f "$im_log" ]; then wc -l <"$im_log"; else echo 0; fi; }
more_logs_than() { [ "$(log_count)" -gt "$1" ]; }
more_im_lines_than() { [ "$(im_lines)" -gt "$1" ]; }

"$installer" >"$build/installer-output.log" 2>&1 &
installer_pid=$!
wait_for 20 has_window SonarellInstaller || die "the installer window did not appear (see $build/installer-output.log)"
wid=$(window_of SonarellInstaller)
sleep 1
shot_window "$wid" "$variant-1-window"

logs_before=$(log_count)
im_before=$(im_lines)
started=$(date +%s.%N)
xdotool windowfocus --sync "$wid" 2>/dev/null || true
xdotool key Return
wait_for 10 more_logs_than "$logs_before" || die "pressing the main button started no run"
sleep 0.3
shot_window "$wid" "$variant-2-running"
wait_for 120 run_ended || die "the install did not end within two minutes (see $(newest_log))"
sleep 1.5
ended=$(date +%s.%N)
shot_window "$wid" "$variant-3-success"
if grep -q -E '^Sonarell is (installed|upgraded) and enabled\. ' "$(newest_log)"; then
  log "the install script succeeded in about $(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.1f", b - a - 1.5 }') s; its log: $(newest_log)"
else
  log "the install script failed; its log: $(newest_log)"
  tail -n 5 "$(newest_log)" | sed 's/^/    /'
  exit 1
fi

# The settings button is now the default one: Return opens the input method.
xdotool windowfocus --sync "$wid" 2>/dev/null || true
xdotool key Return
wait_for 15 more_im_lines_than "$im_before" || die "the input method did not answer the settings hand-off"
wait_for 5 has_window '^Sonarell$' || true
# A second press reaches the running input method through the notification
# (the first one's notification may come before the new program listens).
sleep 1
im_first=$(im_lines)
xdotool mousemove --window "$wid" 532 466 click 1
wait_for 10 more_im_lines_than "$im_first" || log "the running input method did not log the second request"
sleep 1
shot_screen "$wid" "$variant-5-settings"
log "the sample input method answered (from $im_log):"
tail -n +"$((im_before + 1))" "$im_log" | sed 's/^/    /'

# Close the input method's window (its default button closes it), then show the
# installer's detailed log: the toggle lies at x 30..180, top 448..484.
if im_window=$(window_of '^Sonarell$') && [ -n "$im_window" ]; then
  if xdotool windowfocus --sync "$im_window" 2>/dev/null; then xdotool key Return || true; fi
  sleep 0.5
fi
xdotool mousemove --window "$wid" 105 466 click 1
sleep 1
shot_window "$wid" "$variant-4-details"

log "done. The sandbox home is $HOME:"
log "  installed bundle: $HOME/Library/Input Methods/Sonarell.app"
log "  per-run logs:     $installer_logs"
log "  backups:          $HOME/Library/Application Support/Sonarell/Backups"
log "  screenshots:      $shots"
log "run this command again to upgrade the installed copy."
