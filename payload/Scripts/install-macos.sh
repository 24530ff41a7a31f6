#!/bin/bash
# Installs the Sonarell input method for the current user only, into
# "$HOME/Library/Input Methods/Sonarell.app", and registers and enables it; or goes
# one step back: --restore puts the newest full backup (or the one named NAME in
# the backups folder) back as an upgrade would, --uninstall takes Sonarell out of
# the enabled input sources and moves it into the backups.
#
#   install-macos.sh [--repair-enabled-list] [--no-open] [--update]
#   install-macos.sh --restore [NAME] [--no-open]
#   install-macos.sh --uninstall
#
# Environment: IPA_MAC_APP (the Sonarell.app to install) and IPA_REGISTRATION_APP
# (Keyloom.app). It prints one plain line per step for the user's log and a closing
# line saying what the run left where; status 0 only when Keyloom reports the input
# method ready. This script is the sequence of steps, their messages and the
# clean-up; the mechanisms (the lock, checked copies, backups' names and moves, the
# swap, the enabled list) are Keyloom's. It runs under macOS's bash 3.2 with
# options both the BSD and the GNU tools know.

# shellcheck disable=SC2317 # the functions only the EXIT trap runs
set -u
script_name=${0##*/}
say() { printf '%s\n' "$*"; }
# Every failure: one line on standard error, then the EXIT trap cleans up.
die() {
  printf '%s: %s\n' "$script_name" "$1" >&2
  exit "${2:-1}"
}

repair=0 no_open=0 update=0 mode=install restore_name=""
accepted="accepted are --repair-enabled-list, --no-open and --update, or --restore [NAME] [--no-open], or --uninstall"
parse_options() {
  case "${1:-}" in
    --restore)
      mode=restore repair=1
      shift
      case "${1:-}" in '' | --*) ;; *) restore_name=$1 && shift ;; esac
      ;;
    --uninstall) mode=uninstall && shift ;;
  esac
  for arg in "$@"; do
    case "$mode:$arg" in
      install:--repair-enabled-list) repair=1 ;;
      *:--no-open) [ "$mode" != uninstall ] || die "unknown option \"$arg\" after --uninstall; $accepted; nothing was changed" 64 ;;
      install:--update) update=1 ;;
      *) die "unknown option \"$arg\"; $accepted; nothing was changed" 64 ;;
    esac
    [ "$arg" != --no-open ] || no_open=1
  done
  case $restore_name in
    */* | .* | *'
'*) die "\"$restore_name\" is no name of a backup in the backups folder; nothing was changed" 64 ;;
  esac
}
parse_options "$@"

case "${HOME:-}" in
  '') die "HOME is not set; nothing was changed" 64 ;;
  /*) ;;
  *) die "HOME is not an absolute path (\"$HOME\"); nothing was changed" 64 ;;
esac
[ -d "$HOME" ] || die "the home folder \"$HOME\" does not exist; nothing was changed" 64

if [ "$mode" = install ]; then
  [ -n "${IPA_MAC_APP:-}" ] || die "IPA_MAC_APP is not set; it must name the Sonarell.app to install; nothing was changed" 64
  [ -d "$IPA_MAC_APP" ] || die "IPA_MAC_APP (\"$IPA_MAC_APP\") is not an existing folder; nothing was changed" 64
  [ -f "$IPA_MAC_APP/Contents/Info.plist" ] ||
    die "IPA_MAC_APP (\"$IPA_MAC_APP\") is not a bundle: Contents/Info.plist is missing; nothing was changed" 64
fi

[ -n "${IPA_REGISTRATION_APP:-}" ] || die "IPA_REGISTRATION_APP is not set; it must name Keyloom.app; nothing was changed" 64
[ -d "$IPA_REGISTRATION_APP" ] ||
  die "IPA_REGISTRATION_APP (\"$IPA_REGISTRATION_APP\") is not an existing folder; nothing was changed" 64
keyloom="$IPA_REGISTRATION_APP/Contents/MacOS/Keyloom"
{ [ -f "$keyloom" ] && [ -x "$keyloom" ]; } ||
  die "IPA_REGISTRATION_APP (\"$IPA_REGISTRATION_APP\") has no executable Contents/MacOS/Keyloom; nothing was changed" 64

input_methods="$HOME/Library/Input Methods"
target="$input_methods/Sonarell.app"
support="$HOME/Library/Application Support/Sonarell"
backups="$support/Backups"
lock="$support/install.lock"

# Whether Keyloom's check (which changes nothing) takes a bundle for ours.
ours() { "$keyloom" "$1" --check >/dev/null 2>&1 || [ $? -ne 2 ]; }

# mkdir -p that remembers the folders it made, for a run that changes nothing.
make_folder() {
  local path=$1 missing=""
  while [ ! -d "$path" ] && [ "$path" != "$HOME" ] && [ -n "$path" ]; do
    missing="$path
$missing"
    path=${path%/*}
  done
  mkdir -p "$1" || return 1
  created="$created
$missing"
}

# --- The install lock: the run goes on under Keyloom's lock form, which takes it --
# (waiting up to a minute, and saying so) and runs this script again with the lock
# on descriptor 9; the system releases it when the run ends, whichever way.
created=""
if [ -z "${SONARELL_INSTALL_LOCK_FD:-}" ]; then
  say "Sonarell installer script, $(date '+%Y-%m-%d %H:%M:%S')"
  case $mode in
    install) say "Options: repair-enabled-list=$repair no-open=$no_open update=$update" ;;
    restore) say "Options: restore=${restore_name:-the newest backup} no-open=$no_open" ;;
    uninstall) say "Options: uninstall" ;;
  esac
  if [ "$mode" = install ]; then
    ours "$IPA_MAC_APP" || die "IPA_MAC_APP (\"$IPA_MAC_APP\") is not a Sonarell input method bundle; nothing was changed" 65
    say "Checking the input method to install ($IPA_MAC_APP): it is a Sonarell bundle, version $("$keyloom" --bundle-version "$IPA_MAC_APP")"
  fi
  make_folder "$support" || die "could not create \"$support\"; nothing was installed"
  export SONARELL_FOLDERS_MADE="$created"
  exec "$keyloom" --locked "$lock" 60 "$BASH" "$0" "$@"
fi
created=${SONARELL_FOLDERS_MADE:-}
unset SONARELL_FOLDERS_MADE SONARELL_INSTALL_LOCK_FD

# --- Clean-up on every exit path: only what this run made and no longer needs, ----
# judged by what is on disk, never by another tool's exit status.
staging=""        # the staging folder beside the target; always removed
full_backup=""    # the backup of the installed version made by this run
list_backup=""    # the enabled-list backup written by the last list form
list_backups=""   # every one this run asked Keyloom for, one a line
also=""           # what could not be removed, for the closing line
upgrade=0 placing=0 # placing: 1 once the new version may be at the target (the move or swap began)
staged=""         # the staged bundle in the staging folder
staged_id=""      # the identity of its Contents folder, which is to take the target's place
installed_id=""   # the identity of the installed Contents folder before the swap
enabled_state=""  # after a failed uninstall: whether Sonarell is still enabled
changed_nothing=0 # 1 when the run ends having changed nothing at all
was_enabled=0     # before an uninstall took Sonarell out of the enabled sources
done_word=installed new_word=new # what the closing line says of the run and of the version it puts in place
[ "$mode" != restore ] || { done_word=restored; new_word=restored; }
[ "$mode" != uninstall ] || done_word=uninstalled

cleanup() {
  local status=$? kept=0
  trap '' INT TERM HUP
  # The backup of the installed version goes again only when the run failed and
  # the installed version is where it was: then it keeps nothing the user lacks.
  if [ "$placing" -eq 1 ] && ! still_where_they_were; then kept=1; fi
  [ -z "$staging" ] || remove_made "$staging"
  [ "$status" -eq 0 ] || [ -z "$full_backup" ] || [ "$kept" -eq 1 ] || { remove_made "$full_backup" && full_backup=""; }
  closing_line "$status"
  if { [ "$status" -ne 0 ] || [ "$changed_nothing" -eq 1 ]; } && [ -n "$created" ]; then
    # The lock file goes with the folder made for it (a waiting run makes a new
    # one); then the folders, deepest first, each only when empty.
    case "$created
" in *"
$support
"*) rm -f "$lock" ;; esac
    printf '%s\n' "$created" | sed '1!G;h;$!d' | while IFS= read -r folder; do rmdir "$folder" 2>/dev/null; done
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT && trap 'exit 143' TERM && trap 'exit 129' HUP

# An identity of the folder itself, not of its name: its inode, as ls prints it
# on both systems. Empty when there is no folder.
folder_identity() {
  local listing
  { [ -d "$1" ] && [ ! -L "$1" ]; } || return 0
  listing=$(ls -d -i "$1" 2>/dev/null) || return 0
  printf '%s' "${listing%% *}"
}

# The new version is in place when the installed Contents folder is the staged
# one: a swap or a move happened whole or not at all, whatever any tool said.
new_version_in_place() {
  [ "$placing" -eq 1 ] && [ -n "$staged_id" ] && [ "$(folder_identity "$target/Contents")" = "$staged_id" ]
}

# Whether the installed and the staged Contents folders are both still the ones
# they were before the swap was tried: then the swap did not happen.
still_where_they_were() {
  [ -n "$installed_id" ] && [ "$(folder_identity "$target/Contents")" = "$installed_id" ] &&
    [ "$(folder_identity "$staged/Contents")" = "$staged_id" ]
}

closing_line() {
  local left item what="$done_word and enabled"
  [ "$mode" != uninstall ] || what=$done_word
  local kept="the backup of the previous version"
  if [ "$mode" = uninstall ]; then
    kept="the removed version" left="nothing at $target"
    [ -n "$enabled_state" ] || [ "$was_enabled" -eq 0 ] || [ ! -d "$target" ] || "$keyloom" "$target" --check >/dev/null 2>&1 ||
      enabled_state=", but no longer enabled: run the installer again to enable it"
    [ ! -e "$target" ] || left="the installed version at $target, still there$enabled_state"
  elif new_version_in_place; then
    left="the $new_word version at $target"
    [ "$1" -eq 0 ] || left="$left (not ready, see above)"
  elif [ "$upgrade" -eq 1 ]; then
    left="what was at $target, unchanged"
  elif [ -e "$target" ] || [ -L "$target" ]; then
    left="something else at $target, untouched"
  else
    left="nothing at $target"
  fi
  [ -z "$full_backup" ] || [ ! -d "$full_backup" ] || left="$left; $kept at $full_backup"
  while IFS= read -r item; do
    [ ! -f "$item" ] || left="$left; the backup of the enabled input sources at $item"
  done <<LISTS
$list_backups
LISTS
  left=$left$also
  if [ "$1" -eq 0 ]; then
    say "Sonarell is $what. Left: $left."
  else
    say "Sonarell was not $what (status $1). Left: $left; nothing else of this run."
  fi
}

# Removes a tree this run made, made writable first (copies keep read-only modes);
# false, remembered for the closing line, when anything of it is still there.
remove_made() {
  [ ! -d "$1" ] || [ -L "$1" ] || chmod -R u+w "$1" 2>/dev/null
  rm -rf "$1" 2>/dev/null
  if [ -e "$1" ] || [ -L "$1" ]; then
    say "Removing $1: failed, it is still there"
    also="$also; $1, which could not be removed"
    return 1
  fi
}

# Passes on each line of Keyloom's sweep and remembers what it could not remove.
note_sweep() {
  local line
  while IFS= read -r line && [ -n "$line" ]; do
    say "$line"
    case $line in 'Removing '*': failed, it is still there') line=${line#Removing } &&
      also="$also; ${line%: failed, it is still there}, which could not be removed" ;; esac
  done
}

# Keyloom's list form $1 on the bundle $2 (none: the bundle-less removal), with a
# new backup of the list, which Keyloom writes whole or not at all; its status.
run_keyloom_on_list() {
  local form=$1 name status
  shift
  name=$("$keyloom" --list-backup-name "$backups") ||
    die "could not choose a name for the backup of the enabled input sources in \"$backups\""
  list_backups="$list_backups
$name" # named in the closing line once it exists, even if the run ends during the call
  "$keyloom" "$@" "$form" "$name"
  status=$?
  list_backup=$name
  [ -f "$name" ] || list_backup=""
  return $status
}

# A real folder (no link) with a real Contents folder inside.
real_bundle_folder() {
  [ -d "$1" ] && [ ! -L "$1" ] && [ -d "$1/Contents" ] && [ ! -L "$1/Contents" ]
}

# Whether version $1 comes before version $2, compared number by number; false
# when either is not made of numbers and dots.
older_version() {
  local a=$1. b=$2. x y
  case $a$b in *[!0-9.]* | .* | *..*) return 1 ;; esac
  while [ -n "$a$b" ]; do
    x=${a%%.*} y=${b%%.*}
    [ "${x:-0}" -eq "${y:-0}" ] || { [ "${x:-0}" -lt "${y:-0}" ]; return; }
    a=${a#*.} b=${b#*.}
  done
  return 1
}

# After a failed uninstall that left the bundle but took it out of the enabled
# sources: enabled again, or the closing line says plainly that it is not.
enable_again() {
  { [ "$was_enabled" -eq 1 ] && [ -d "$target" ] && ! "$keyloom" "$target" --check >/dev/null 2>&1; } || return 0
  say "Enabling the input method again, since it is still installed"
  enabled_state=", but no longer enabled: run the installer again to enable it"
  ! run_keyloom_on_list --repair-enabled-list "$target" || enabled_state=" and enabled again"
}

# Takes Sonarell out of the enabled input sources, then moves the installed
# version into the backups folder, where --restore finds it. Ends the run.
uninstall() {
  local status
  if [ ! -e "$target" ] && [ ! -L "$target" ]; then
    # Records of a bundle that was trashed by hand still go.
    run_keyloom_on_list --remove-enabled-entries ||
      die "taking Sonarell out of the enabled input sources failed; see the lines above"
    [ -n "$list_backup" ] || { changed_nothing=1 && say "Nothing is installed at $target: there is nothing to remove; nothing was changed" && exit 0; }
    say "Nothing is installed at $target; taking Sonarell out of the enabled input sources (backup of the list: $list_backup): done"
    exit 0
  fi
  [ ! -L "$target" ] || die "$target is a symbolic link, not a bundle of ours; it was left untouched"
  ours "$target" || die "$target is not a Sonarell input method bundle; it was left untouched"
  say "Identifying the installed copy: Sonarell version $("$keyloom" --bundle-version "$target")"

  ! "$keyloom" "$target" --check >/dev/null 2>&1 || was_enabled=1
  run_keyloom_on_list --remove-enabled-entries "$target"
  status=$?
  [ $status -eq 0 ] || { enable_again; die "taking Sonarell out of the enabled input sources failed (Keyloom status $status); it is still installed, see the lines above"; }
  [ -z "$list_backup" ] || say "Taking Sonarell out of the enabled input sources (backup of the list: $list_backup): done"
  [ -n "$list_backup" ] || say "Taking Sonarell out of the enabled input sources: done, it was in none"
  placing=1 # from here on, the backup is never removed: it may be the only copy
  if ! full_backup=$("$keyloom" --move-to-backups "$target" "$backups"); then
    full_backup=""
    enable_again
    die "moving $target into the backups folder failed; it is still installed"
  fi
  say "Moving the installed version to $full_backup: done"
  exit 0
}

# --- Steps ---------------------------------------------------------------------

say "Taking the install lock ($lock): done"
make_folder "$backups" || die "could not create the backups folder \"$backups\"; nothing was installed"
make_folder "$input_methods" || die "could not create \"$input_methods\"; nothing was installed"
say "Preparing the input method folder ($input_methods): done"
note_sweep <<SWEEP
$("$keyloom" --sweep "$input_methods" "$backups")
SWEEP

[ "$mode" != uninstall ] || uninstall

# Looked at only now, under the lock: what another run did before is seen.
if [ -e "$target" ] || [ -L "$target" ]; then
  upgrade=1
  [ "$mode" != install ] || done_word=upgraded
fi
if [ "$mode" = restore ]; then
  if [ -n "$restore_name" ]; then
    source="$backups/$restore_name"
    [ -e "$source" ] || [ -L "$source" ] ||
      die "there is no backup named \"$restore_name\" in $backups; nothing was changed" 66
  else
    # Never a backup that holds just what is installed now, such as the one an
    # interrupted restore made before its swap.
    source=$("$keyloom" --newest-backup "$backups" "$target" 2>/dev/null) ||
      die "there is no backup of Sonarell in $backups to restore; nothing was changed" 66
  fi
  { real_bundle_folder "$source" && [ -f "$source/Contents/Info.plist" ]; } ||
    die "$source is not a whole Sonarell bundle; nothing was changed" 65
  ours "$source" || die "$source is not a Sonarell input method bundle; nothing was changed" 65
  say "Choosing the backup to restore: $source, Sonarell version $("$keyloom" --bundle-version "$source")"
else
  source=$IPA_MAC_APP
fi
if [ "$mode" = install ] && [ "$update" -eq 1 ] && [ "$upgrade" -eq 0 ]; then
  say "Nothing is installed at $target any more: installing afresh"
elif [ "$mode" = install ] && [ "$update" -eq 0 ] && [ "$upgrade" -eq 1 ]; then
  say "Something is already installed at $target: upgrading it"
fi

if [ "$upgrade" -eq 1 ]; then
  [ ! -L "$target" ] || die "$target is a symbolic link, not a bundle of ours; it was left untouched"
  ours "$target" || die "$target is not a Sonarell input method bundle; it was left untouched"
  installed_version=$("$keyloom" --bundle-version "$target")
  say "Identifying the installed copy: Sonarell version $installed_version"
  new_version=$("$keyloom" --bundle-version "$source")
  if older_version "$new_version" "$installed_version"; then
    say "The installed version $installed_version is newer than version $new_version, which replaces it"
  fi
  full_backup=$("$keyloom" --back-up "$target" "$backups") || {
    full_backup=""
    die "could not make a complete backup of the installed version; nothing was changed"
  }
  say "Backing up the installed version to $full_backup: done"
fi

staging=$(mktemp -d "$input_methods/.Sonarell-staging.XXXXXX") ||
  die "could not create a staging folder in \"$input_methods\"; nothing was changed"
staged="$staging/Sonarell.app"
# A link to a bundle is followed ("/."); the copy must be a real bundle folder.
{ "$keyloom" --copy-tree "$source/." "$staged" && real_bundle_folder "$staged"; } ||
  die "copying the input method into the staging folder failed; the files that were there are unchanged"
say "Copying the $new_word version into the staging folder $staging: done"

staged_id=$(folder_identity "$staged/Contents")
if [ "$upgrade" -eq 0 ]; then
  # A rename within one folder: the target shows either nothing or the whole bundle.
  if [ -e "$target" ] || [ -L "$target" ]; then
    die "something appeared at $target during the install; it was left untouched"
  fi
  placing=1
  mv "$staged" "$input_methods/"
  new_version_in_place || die "moving the new bundle into place failed; nothing was installed"
  say "Moving the $new_word version into place at $target: done"
else
  # The swap needs write permission on the bundle folder and its Contents, which an
  # earlier copy may lack (the backup keeps the modes as they were).
  for folder in "$target" "$target/Contents"; do
    if [ ! -w "$folder" ] && [ -d "$folder" ] && [ ! -L "$folder" ]; then
      chmod u+w "$folder" || die "could not make $folder writable for the upgrade; the installed version is unchanged"
    fi
  done
  installed_id=$(folder_identity "$target/Contents")
  placing=1
  "$keyloom" --exchange-contents "$target/Contents" "$staged/Contents"
  status=$?
  # What counts is where the folders are now, whatever the tool's status says.
  if ! new_version_in_place; then
    case $status in
      0) die "Keyloom reported the swap at $target, but the new version is not there; the installed version is unchanged" ;;
      2)
        real=$(cd -P "$HOME" && pwd -P)
        [ "$real" = "$(cd -L "$HOME" && pwd -L)" ] ||
          die "your home folder \"$HOME\" is reached through a symbolic link, and Keyloom upgrades only an input method reached without links; set HOME to the real folder ($real) and try again; the installed version is unchanged"
        die "Keyloom refused to swap the contents of $target (status 2); the installed version is unchanged"
        ;;
      *) die "swapping the contents of $target failed (status $status); the installed version is unchanged" ;;
    esac
  fi
  say "Swapping the $new_word version into place at $target (Keyloom --exchange-contents): done"
  # The staged bundle now holds the previous contents, which the backup already keeps.
  remove_made "$staging" && say "Removing the previous contents from the staging folder: done"
  staging=""
fi

# Whatever the source was, the target must now be a real folder holding our bundle.
{ real_bundle_folder "$target" && ours "$target"; } ||
  die "$target is not a Sonarell input method bundle after the copy"

if [ "$repair" -eq 1 ]; then
  run_keyloom_on_list --repair-enabled-list "$target" ||
    die "registering and enabling the input method failed (Keyloom status $?); the enabled input sources were not repaired as a whole, see the lines above"
  [ -n "$list_backup" ] || die "Keyloom reported a repair, but its backup of the enabled input sources is missing"
  say "Registering, enabling and repairing the enabled input sources (backup of the list: $list_backup): done"
else
  "$keyloom" "$target" || die "registering and enabling the input method failed (Keyloom status $?)"
  say "Registering and enabling the input method: done"
fi

"$keyloom" "$target" --check || die "the input method is installed but not ready (Keyloom check status $?)"
say "Checking that the input method is registered and enabled: ready"

# Without --no-open the installed input method is opened once, as the desktop
# would open it; it must not hold the install lock.
if [ "$no_open" -eq 0 ]; then
  if "$keyloom" --open "$target" 9>&-; then
    say "Opening the input method: done"
  else
    say "Opening the input method: failed (it is installed and enabled)"
  fi
fi

# The closing line comes from the EXIT trap, as on every other way out.
exit 0
