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
# between, and a closing line saying what the run left where. Exit status 0 only
# when Keyloom's check reports the input method ready.
#
# What it promises:
#   - only the current user's "Library/Input Methods" folder and
#     "Library/Application Support/Sonarell" (the backups and the install lock)
#     are written;
#   - one run at a time per home folder: a run takes the install lock before it
#     changes anything, waits up to a minute for a run that holds it, and
#     otherwise ends without having changed anything;
#   - the new bundle is copied (the bundle itself, never a link to it) into a
#     staging folder beside the target first, so a failed copy never leaves a half
#     bundle at the target, and the target is always a real folder;
#   - an upgrade first keeps a complete backup of the installed version, then swaps
#     the contents atomically, so the installed path never shows a mixture;
#   - a backup is made under a hidden name and gets its final name only once it is
#     complete, so a final name always holds a whole backup;
#   - what an interrupted earlier run left (its staging folder, its unfinished
#     backups, its lock) is removed by the next run;
#   - something at the target that is not a bundle of ours is left untouched;
#   - on any failure the files that were there before are still there, and what
#     this run added is removed unless it is the only copy of something.
#
# Only tools found under /usr/bin:/bin:/usr/sbin:/sbin on both macOS and Linux are
# used, with options both the BSD and the GNU versions know; it runs under the
# bash 3.2 of macOS.

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
support="$HOME/Library/Application Support/Sonarell"
backups="$support/Backups"
lock="$support/install.lock"
stamp=$(date +%Y%m%d-%H%M%S)
# How long a run waits for another run's lock, in seconds.
lock_wait=60

# --- Clean-up on every exit path --------------------------------------------------

started=0      # 1 once the lock is held: from then on the closing line tells what is left
lock_held=0
created=""     # folders this run created, one a line, deepest last
staging=""     # the staging folder beside the target; always removed
pending=""     # the hidden holder of a backup not yet verified; always removed
reserved=""    # the final name that the pending backup will get
full_backup="" # the verified backup of the installed version, made by this run
list_backup="" # the verified enabled-list backup, made by this run
upgrade=0
placed=0       # 1 once the new version is at the target
done_word=installed

cleanup() {
  local status=$?
  trap '' INT TERM HUP
  [ -z "$pending" ] || rm -rf "$pending"
  [ -z "$staging" ] || rm -rf "$staging"
  # A backup of a version that is still installed, unchanged, keeps nothing the
  # user would lose: a failed retry must not leave one more copy each time.
  if [ "$status" -ne 0 ] && [ -n "$full_backup" ] && [ -d "$target" ] && [ ! -L "$target" ] &&
    diff -r -q "$full_backup" "$target" >/dev/null 2>&1; then
    rm -rf "$full_backup" && full_backup=""
  fi
  release_lock
  if [ "$status" -ne 0 ] && [ -n "$created" ]; then
    # Deepest first; a folder that holds anything stays.
    printf '%s\n' "$created" | sed '1!G;h;$!d' | while IFS= read -r folder; do
      [ -z "$folder" ] || rmdir "$folder" 2>/dev/null
    done
  fi
  [ "$started" -eq 0 ] || closing_line "$status"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

closing_line() {
  local left
  if [ "$placed" -eq 1 ]; then
    left="the new version at $target"
    [ "$1" -eq 0 ] || left="$left (not ready, see above)"
  elif [ "$upgrade" -eq 1 ]; then
    left="what was at $target, unchanged"
  else
    left="nothing at $target"
  fi
  [ -z "$full_backup" ] || left="$left; the backup of the previous version at $full_backup"
  [ -z "$list_backup" ] || left="$left; the backup of the enabled input sources at $list_backup"
  if [ "$1" -eq 0 ]; then
    say "Sonarell is $done_word and enabled. Left: $left."
  else
    say "Sonarell was not $done_word and enabled (status $1). Left: $left; nothing else of this run."
  fi
}

# mkdir -p that remembers the folders it made, so that a failed run can take them
# away again.
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

# --- The install lock ---------------------------------------------------------------
#
# The lock is a symbolic link whose text names its owner: the process id and the
# process's start time (a process id alone may be reused after the owner died).
# Creating a link either succeeds or fails when the name exists, and it carries
# the owner in the same step, so there is never a lock without an owner to judge.
# flock and shlock are not on both systems; mkdir would need a second step to
# record the owner. A lock whose owner is gone (a run killed with SIGKILL) is
# broken, under a second such link, so that only one waiting run breaks it and
# never a lock that a live run has just taken.

process_identity() {
  local started
  started=$(LC_ALL=C ps -o lstart= -p "$1" 2>/dev/null)
  # shellcheck disable=SC2086 # word splitting trims and joins ps's spacing
  set -- "$1" $started
  printf '%s' "$*"
}

owner_alive() {
  local pid=${1%% *}
  case $pid in '' | *[!0-9]*) return 1 ;; esac
  kill -0 "$pid" 2>/dev/null || return 1
  [ "$(process_identity "$pid")" = "$1" ]
}

take_lock() {
  local me owner breaker tries=0 rounds=0
  me=$(process_identity $$)
  while :; do
    rounds=$((rounds + 1))
    [ $rounds -le $((lock_wait + 100)) ] || die "could not take the install lock $lock; nothing was changed"
    if ln -s "$me" "$lock" 2>/dev/null; then
      lock_held=1
      return 0
    fi
    if ! owner=$(readlink "$lock" 2>/dev/null); then
      [ -e "$lock" ] || [ -L "$lock" ] || continue # released meanwhile
      die "$lock is in the way of the install lock (it is not one); nothing was changed"
    fi
    if ! owner_alive "$owner"; then
      if ln -s "$me" "$lock.breaking" 2>/dev/null; then
        [ "$(readlink "$lock" 2>/dev/null)" != "$owner" ] || rm -f "$lock"
        rm -f "$lock.breaking"
        say "Removing the install lock of an earlier run that ended without releasing it: done"
      elif breaker=$(readlink "$lock.breaking" 2>/dev/null) && ! owner_alive "$breaker"; then
        rm -f "$lock.breaking"
      fi
      continue
    fi
    [ $tries -lt $lock_wait ] ||
      die "another install of Sonarell (process ${owner%% *}) is still running after $lock_wait seconds; nothing was changed; try again when it has finished" 75
    [ $tries -gt 0 ] || say "Waiting for another install of Sonarell (process ${owner%% *}) to finish"
    sleep 1
    tries=$((tries + 1))
  done
}

release_lock() {
  if [ "$lock_held" -eq 1 ]; then
    rm -f "$lock"
    lock_held=0
  fi
}

# --- Names this script makes, and what killed runs leave of them -----------------

# Staging folders are "$input_methods/.Sonarell-staging.XXXXXX"; a backup in the
# making lies in "$backups/.Sonarell-pending-<its final name>". Only a run that
# holds the lock calls this, so none of them belongs to a run still going.
sweep_leftovers() {
  local leftover
  for leftover in "$input_methods"/.Sonarell-staging.?????? "$backups"/.Sonarell-pending-*; do
    [ -e "$leftover" ] || [ -L "$leftover" ] || continue
    rm -rf "$leftover" || die "could not remove $leftover, left by an interrupted earlier run; nothing was changed"
    say "Removing what an interrupted earlier run left, $leftover: done"
  done
}

# Reserves the first of NAME.EXT, NAME-2.EXT, ... in the backups folder that no
# backup has and no other run holds. The hold is the folder
# ".Sonarell-pending-<final name>": mkdir either makes it or fails, so two runs
# never hold one name, and a name is taken only when no final one exists after
# the hold. Sets pending (the holder, where the backup is made) and reserved.
reserve_backup() {
  local name=$1$2 n=2
  while :; do
    if mkdir "$backups/.Sonarell-pending-$name" 2>/dev/null; then
      if [ ! -e "$backups/$name" ] && [ ! -L "$backups/$name" ]; then
        pending="$backups/.Sonarell-pending-$name"
        reserved="$backups/$name"
        return 0
      fi
      rmdir "$backups/.Sonarell-pending-$name"
    elif [ ! -d "$backups/.Sonarell-pending-$name" ]; then
      return 1
    fi
    name="$1-$n$2"
    n=$((n + 1))
  done
}

# Gives the verified backup in the holder its reserved final name. No run of this
# script takes a held name, but mv would move into a folder that someone else
# put there meanwhile.
finish_backup() {
  if [ -e "$reserved" ] || [ -L "$reserved" ]; then return 1; fi
  mv "$pending/${reserved##*/}" "$reserved" || return 1
  rmdir "$pending"
  pending=""
}

# Runs Keyloom with the given arguments; its records go straight to the log.
run_keyloom() {
  "$keyloom" "$@"
}

# The string value of the key $1 in the XML Info.plist of the bundle $2; empty
# when there is none to read.
info_string() {
  sed -n "/<key>$1<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p;q;}" "$2/Contents/Info.plist" 2>/dev/null
}

# The CFBundleShortVersionString of a bundle, made safe for a file name;
# "unknown" when there is none to read.
bundle_version() {
  local version
  version=$(info_string CFBundleShortVersionString "$1")
  version=$(printf '%s' "$version" | sed 's/[^A-Za-z0-9._-]/_/g')
  [ -n "$version" ] || version=unknown
  printf '%s' "$version"
}

# Copies what is inside the bundle `from` (a link to a bundle is followed: "/."
# names the folder it leads to) into the new folder `to`, and checks that the
# copy is complete, equal to its source and a real bundle folder.
copy_bundle() {
  local from=$1 to=$2
  mkdir "$to" || return 1
  cp -R -p "$from/." "$to/" || return 1
  diff -r -q "$from/." "$to" >/dev/null 2>&1 || return 1
  real_bundle_folder "$to"
}

# A real folder (no link) with a real Contents folder inside.
real_bundle_folder() {
  [ -d "$1" ] && [ ! -L "$1" ] && [ -d "$1/Contents" ] && [ ! -L "$1/Contents" ]
}

# The first folder on the way to the home folder that is a symbolic link, read
# the way Keyloom reads the path: "." and empty components dropped, ".." taking
# back the one before. Nothing when there is none.
link_in_home() {
  local path="" part old_ifs=$IFS
  IFS=/
  set -f
  # shellcheck disable=SC2086 # split on "/" on purpose
  set -- $HOME
  set +f
  IFS=$old_ifs
  for part in "$@"; do
    case $part in
      '' | .) ;;
      ..) path=${path%/*} ;;
      *)
        path="$path/$part"
        if [ -L "$path" ]; then
          printf '%s' "$path"
          return 0
        fi
        ;;
    esac
  done
  return 1
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

make_folder "$support" || die "could not create \"$support\"; nothing was installed"
take_lock
started=1
say "Taking the install lock ($lock): done"
make_folder "$backups" ||
  die "could not create the backups folder \"$backups\"; nothing was installed"
make_folder "$input_methods" || die "could not create \"$input_methods\"; nothing was installed"
say "Preparing the input method folder ($input_methods): done"
sweep_leftovers

# Looked at only now, under the lock: what another run did before is seen.
if [ -e "$target" ] || [ -L "$target" ]; then
  upgrade=1
  done_word=upgraded
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

  reserve_backup "Sonarell-$installed_version-$stamp" .app ||
    die "could not create a backup folder in \"$backups\"; nothing was changed"
  copy="$pending/${reserved##*/}"
  if ! mkdir "$copy" || ! cp -R -p "$target/." "$copy/" || ! diff -r -q "$target" "$copy" >/dev/null 2>&1; then
    die "could not make a complete backup of the installed version; nothing was changed"
  fi
  finish_backup || die "could not give the backup of the installed version its name $reserved; nothing was changed"
  full_backup=$reserved
  say "Backing up the installed version to $full_backup: done"
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
  placed=1
  say "Moving the new version into place at $target: done"
else
  run_keyloom --exchange-contents "$target/Contents" "$staged/Contents"
  status=$?
  case $status in
    0) say "Swapping the new version into place at $target (Keyloom --exchange-contents): done" ;;
    2)
      if link=$(link_in_home); then
        die "your home folder \"$HOME\" is reached through the symbolic link $link, and Keyloom upgrades only an input method reached without links; set HOME to the real folder ($(cd -P "$HOME" && pwd -P)) and try again; the installed version is unchanged"
      fi
      die "Keyloom refused to swap the contents of $target (status 2); the installed version is unchanged"
      ;;
    *) die "swapping the contents of $target failed (status $status); the installed version is unchanged" ;;
  esac
  placed=1
  # The staged bundle now holds the previous contents, which the backup already keeps.
  rm -rf "$staging"
  staging=""
  say "Removing the previous contents from the staging folder: done"
fi

# Whatever IPA_MAC_APP was, the target must now be a real folder holding our bundle.
real_bundle_folder "$target" || die "$target is not a real bundle folder after the copy"
run_keyloom "$target" --check >/dev/null 2>&1
[ $? -ne 2 ] || die "$target is not a Sonarell input method bundle after the copy"

if [ "$repair" -eq 1 ]; then
  reserve_backup "AppleEnabledInputSources-$stamp" .plist ||
    die "could not reserve a name for the backup of the enabled input sources in \"$backups\""
  list_file="$pending/${reserved##*/}"
  run_keyloom "$target" --repair-enabled-list "$list_file"
  status=$?
  # Keyloom writes the backup before it changes the list; once it is there, whole,
  # it is kept even when the repair failed later.
  if [ -f "$list_file" ] && [ ! -L "$list_file" ] && grep -q '</plist>' "$list_file" && finish_backup; then
    list_backup=$reserved
  fi
  [ $status -eq 0 ] ||
    die "registering and enabling the input method failed (Keyloom status $status); the enabled input sources were not repaired as a whole, see the lines above"
  [ -n "$list_backup" ] || die "Keyloom reported a repair, but its backup of the enabled input sources is missing or incomplete"
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
    executable=$(info_string CFBundleExecutable "$target")
    if [ -n "$executable" ] && [ -x "$target/Contents/MacOS/$executable" ]; then
      (cd "$HOME" && exec setsid "$target/Contents/MacOS/$executable" </dev/null >/dev/null 2>&1 &)
      say "Opening the input method: started $target/Contents/MacOS/$executable"
    else
      say "Opening the input method: failed, no executable in the bundle (it is installed and enabled)"
    fi
  fi
fi

# The closing line ("Sonarell is installed and enabled. Left: ...") comes from the
# EXIT trap, as on every other way out.
exit 0
