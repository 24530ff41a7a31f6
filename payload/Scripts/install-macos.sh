#!/bin/bash
# Installs the Sonarell input method for the current user only, into
# "$HOME/Library/Input Methods/Sonarell.app", and registers and enables it with
# the registration tool Keyloom.
#
#   install-macos.sh [--repair-enabled-list] [--no-open] [--update]
#
# Environment: IPA_MAC_APP (the Sonarell.app to install) and IPA_REGISTRATION_APP
# (Keyloom.app). Everything it prints is meant for the user's log: one plain line
# per step, saying what the step did and how it ended, with Keyloom's records in
# between. Exit status 0 only when Keyloom's check reports the input method ready.
#
# What it promises:
#   - only the current user's "Library/Input Methods" folder and the backups folder
#     below "Library/Application Support/Sonarell" are written;
#   - the new bundle is copied into a staging folder beside the target first, so a
#     failed copy never leaves a half bundle at the target;
#   - an upgrade first keeps a complete backup of the installed version, then swaps
#     the contents atomically, so the installed path never shows a mixture;
#   - something at the target that is not a bundle of ours is left untouched;
#   - on any failure the files that were there before are still there.
#
# Only tools found under /usr/bin:/bin:/usr/sbin:/sbin on both macOS and Linux are used.

set -u

script_name=${0##*/}

say() { printf '%s\n' "$*"; }
# Every failure ends here: one line on standard error, then a non-zero status.
# The EXIT trap removes whatever this run staged.
die() {
  printf '%s: %s\n' "$script_name" "$1" >&2
  exit "${2:-1}"
}

repair=0
no_open=0
update=0
for arg in "$@"; do
  case "$arg" in
    --repair-enabled-list) repair=1 ;;
    --no-open) no_open=1 ;;
    --update) update=1 ;;
    *) die "unknown option \"$arg\"; accepted are --repair-enabled-list, --no-open and --update; nothing was changed" 64 ;;
  esac
done

# --- Inputs -----------------------------------------------------------------------

[ -n "${HOME:-}" ] || die "HOME is not set; nothing was changed" 64
case "$HOME" in
  /*) ;;
  *) die "HOME is not an absolute path (\"$HOME\"); nothing was changed" 64 ;;
esac
[ -d "$HOME" ] || die "the home folder \"$HOME\" does not exist; nothing was changed" 64

[ -n "${IPA_MAC_APP:-}" ] || die "IPA_MAC_APP is not set; it must name the Sonarell.app to install; nothing was changed" 64
[ -d "$IPA_MAC_APP" ] || die "IPA_MAC_APP (\"$IPA_MAC_APP\") is not an existing folder; nothing was changed" 64
[ -f "$IPA_MAC_APP/Contents/Info.plist" ] ||
  die "IPA_MAC_APP (\"$IPA_MAC_APP\") is not a bundle: Contents/Info.plist is missing; nothing was changed" 64

[ -n "${IPA_REGISTRATION_APP:-}" ] ||
  die "IPA_REGISTRATION_APP is not set; it must name Keyloom.app; nothing was changed" 64
[ -d "$IPA_REGISTRATION_APP" ] ||
  die "IPA_REGISTRATION_APP (\"$IPA_REGISTRATION_APP\") is not an existing folder; nothing was changed" 64
keyloom="$IPA_REGISTRATION_APP/Contents/MacOS/Keyloom"
[ -f "$keyloom" ] && [ -x "$keyloom" ] ||
  die "IPA_REGISTRATION_APP (\"$IPA_REGISTRATION_APP\") has no executable Contents/MacOS/Keyloom; nothing was changed" 64

input_methods="$HOME/Library/Input Methods"
target="$input_methods/Sonarell.app"
backups="$HOME/Library/Application Support/Sonarell/Backups"
stamp=$(date +%Y%m%d-%H%M%S)

# --- Clean-up on every exit path --------------------------------------------------

staging=""        # the staging folder beside the target; always removed
partial_backup="" # a backup folder whose copy has not been verified yet; removed on failure
cleanup() {
  local status=$?
  if [ -n "$partial_backup" ]; then
    rm -rf "$partial_backup"
  fi
  if [ -n "$staging" ]; then
    rm -rf "$staging"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Runs Keyloom with the given arguments; its records go straight to the log.
run_keyloom() {
  "$keyloom" "$@"
}

# The CFBundleShortVersionString of a bundle's XML Info.plist, made safe for a file
# name; "unknown" when there is none to read.
bundle_version() {
  local version
  version=$(sed -n '/<key>CFBundleShortVersionString<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p;q;}' \
    "$1/Contents/Info.plist" 2>/dev/null)
  version=$(printf '%s' "$version" | sed 's/[^A-Za-z0-9._-]/_/g')
  [ -n "$version" ] || version=unknown
  printf '%s' "$version"
}

# Copies a bundle to a path that does not exist yet and checks that the copy is
# complete and equal to its source.
copy_bundle() {
  local from=$1 to=$2
  cp -R -p "$from" "$to" || return 1
  diff -r -q "$from" "$to" >/dev/null 2>&1 || return 1
}

# --- Steps -------------------------------------------------------------------------

say "Sonarell installer script, $(date '+%Y-%m-%d %H:%M:%S')"
say "Options: repair-enabled-list=$repair no-open=$no_open update=$update"

# Identifying a bundle of ours is left to Keyloom itself: its check form exits 2 for
# anything that is no bundle with the input method's identifier, and changes nothing.
run_keyloom "$IPA_MAC_APP" --check >/dev/null 2>&1
case $? in
  0 | 1) say "Checking the input method to install ($IPA_MAC_APP): it is a Sonarell bundle, version $(bundle_version "$IPA_MAC_APP")" ;;
  *) die "IPA_MAC_APP (\"$IPA_MAC_APP\") is not a Sonarell input method bundle; nothing was changed" 65 ;;
esac

mkdir -p "$input_methods" || die "could not create \"$input_methods\"; nothing was installed"
say "Preparing the input method folder ($input_methods): done"

upgrade=0
if [ -e "$target" ] || [ -L "$target" ]; then
  upgrade=1
fi
if [ "$update" -eq 1 ] && [ "$upgrade" -eq 0 ]; then
  say "Nothing is installed at $target any more: installing afresh"
elif [ "$update" -eq 0 ] && [ "$upgrade" -eq 1 ]; then
  say "Something is already installed at $target: upgrading it"
fi

if [ "$upgrade" -eq 1 ]; then
  if [ -L "$target" ]; then
    die "$target is a symbolic link, not a bundle of ours; it was left untouched"
  fi
  run_keyloom "$target" --check >/dev/null 2>&1
  if [ $? -eq 2 ]; then
    die "$target is not a Sonarell input method bundle; it was left untouched"
  fi
  installed_version=$(bundle_version "$target")
  say "Identifying the installed copy: Sonarell version $installed_version"

  mkdir -p "$backups" || die "could not create the backups folder \"$backups\"; nothing was changed"
  # Reserve a name that no earlier backup has; mkdir fails when the name exists,
  # so two runs never write into the same backup.
  backup="$backups/Sonarell-$installed_version-$stamp.app"
  n=2
  until mkdir "$backup" 2>/dev/null; do
    [ -e "$backup" ] || die "could not create a backup folder in \"$backups\"; nothing was changed"
    backup="$backups/Sonarell-$installed_version-$stamp-$n.app"
    n=$((n + 1))
  done
  partial_backup=$backup
  if ! cp -R -p "$target/." "$backup/" || ! diff -r -q "$target" "$backup" >/dev/null 2>&1; then
    die "could not make a complete backup of the installed version; nothing was changed"
  fi
  partial_backup=""
  say "Backing up the installed version to $backup: done"
fi

staging=$(mktemp -d "$input_methods/.Sonarell-staging.XXXXXX") ||
  die "could not create a staging folder in \"$input_methods\"; nothing was changed"
staged="$staging/Sonarell.app"
copy_bundle "$IPA_MAC_APP" "$staged" ||
  die "copying the input method into the staging folder failed; the files that were there are unchanged"
say "Copying the new version into the staging folder $staging: done"

if [ "$upgrade" -eq 0 ]; then
  # A rename within one folder: the target shows either nothing or the whole bundle.
  if [ -e "$target" ] || [ -L "$target" ]; then
    die "something appeared at $target during the install; it was left untouched"
  fi
  mv "$staged" "$input_methods/" || die "moving the new bundle into place failed; nothing was installed"
  say "Moving the new version into place at $target: done"
else
  run_keyloom --exchange-contents "$target/Contents" "$staged/Contents"
  status=$?
  case $status in
    0) say "Swapping the new version into place at $target (Keyloom --exchange-contents): done" ;;
    2) die "Keyloom refused to swap the contents of $target (status 2); the installed version is unchanged" ;;
    *) die "swapping the contents of $target failed (status $status); the installed version is unchanged" ;;
  esac
  # The staged bundle now holds the previous contents, which the backup already keeps.
  rm -rf "$staging"
  staging=""
  say "Removing the previous contents from the staging folder: done"
fi

if [ "$repair" -eq 1 ]; then
  mkdir -p "$backups" || die "could not create the backups folder \"$backups\""
  list_backup="$backups/AppleEnabledInputSources-$stamp.plist"
  n=2
  while [ -e "$list_backup" ] || [ -L "$list_backup" ]; do
    list_backup="$backups/AppleEnabledInputSources-$stamp-$n.plist"
    n=$((n + 1))
  done
  run_keyloom "$target" --repair-enabled-list "$list_backup"
  status=$?
  [ $status -eq 0 ] ||
    die "registering and enabling the input method failed (Keyloom status $status); the enabled input sources were not repaired as a whole, see the lines above"
  say "Registering, enabling and repairing the enabled input sources (backup of the list: $list_backup): done"
else
  run_keyloom "$target"
  status=$?
  [ $status -eq 0 ] || die "registering and enabling the input method failed (Keyloom status $status)"
  say "Registering and enabling the input method: done"
fi

run_keyloom "$target" --check
status=$?
[ $status -eq 0 ] || die "the input method is installed but not ready (Keyloom check status $status)"
say "Checking that the input method is registered and enabled: ready"

# Without --no-open the installed input method is started once, as a desktop
# would open it. On Linux "open" may be another program entirely (openvt), so
# there the bundle's executable is started directly, detached from this run.
if [ "$no_open" -eq 0 ]; then
  if [ "$(uname -s)" = Darwin ]; then
    if open "$target"; then
      say "Opening the input method: done"
    else
      say "Opening the input method: failed (it is installed and enabled)"
    fi
  else
    executable=$(sed -n '/<key>CFBundleExecutable<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p;q;}' \
      "$target/Contents/Info.plist" 2>/dev/null)
    if [ -n "$executable" ] && [ -x "$target/Contents/MacOS/$executable" ]; then
      (cd "$HOME" && exec setsid "$target/Contents/MacOS/$executable" </dev/null >/dev/null 2>&1 &)
      say "Opening the input method: started $target/Contents/MacOS/$executable"
    else
      say "Opening the input method: failed, no executable in the bundle (it is installed and enabled)"
    fi
  fi
fi

if [ "$upgrade" -eq 1 ]; then
  say "Sonarell is upgraded and enabled."
else
  say "Sonarell is installed and enabled."
fi
exit 0
