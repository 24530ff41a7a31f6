#!/bin/bash
# Installs the Sonarell input method for the current user only, into
# "$HOME/Library/Input Methods/Sonarell.app", and registers and enables it with
# the registration tool Keyloom; or goes one step back.
#
#   install-macos.sh [--repair-enabled-list] [--no-open] [--update]
#   install-macos.sh --restore [NAME] [--no-open]
#   install-macos.sh --uninstall
#
# --restore puts the newest full backup (or the one named NAME in the backups
# folder) back as the installed version, exactly as an upgrade would install it,
# keeping the version it replaces as a backup. --uninstall takes Sonarell out of
# the enabled input sources (a backup of the list first) and moves the installed
# version into the backups folder, from where --restore brings it back.
#
# Environment: IPA_MAC_APP (the Sonarell.app to install; an install only) and
# IPA_REGISTRATION_APP (Keyloom.app). Everything it prints is meant for the user's log: one plain line
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
#     backups, its lock) is removed by the next run, except a backup of the
#     enabled input sources, which gets its final name: once it exists the list
#     may have changed; what cannot be removed is reported and never stops a run;
#   - something at the target that is not a bundle of ours is left untouched;
#   - on any failure the files that were there before are still there, and what
#     this run added is removed unless it is the only copy of something; a backup
#     is never removed once what it backs up may have changed;
#   - the closing line says what is at the target and in the backups, as found on
#     disk at the end.
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
mode=install
restore_name=""
accepted="accepted are --repair-enabled-list, --no-open and --update, or --restore [NAME] [--no-open], or --uninstall"
case "${1:-}" in
  --restore)
    mode=restore
    repair=1
    shift
    case "${1:-}" in
      '' | --*) ;;
      *)
        restore_name=$1
        shift
        ;;
    esac
    ;;
  --uninstall)
    mode=uninstall
    shift
    ;;
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

# --- Inputs -----------------------------------------------------------------------

[ -n "${HOME:-}" ] || die "HOME is not set; nothing was changed" 64
case "$HOME" in
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
#
# A run removes only what it made itself and no longer needs, and judges that by
# what it finds on disk, never by another tool's exit status: the meaning of
# those differs between the BSD tools of macOS and the GNU tools.

started=0       # 1 once the lock is held: from then on the closing line tells what is left
lock_held=0
me=""           # this run's identity, the text of its install lock
breaking=0      # 1 while this run holds the guard for breaking a dead run's lock
created=""      # folders this run created, one a line, deepest last
staging=""      # the staging folder beside the target; always removed
pending=""      # the hidden holder of a backup not yet finished
reserved=""     # the final name that the pending backup will get
full_backup=""  # the verified backup of the installed version, made by this run
list_backup=""  # the enabled-list backup, made by Keyloom for this run
upgrade=0
placing=0       # 1 once the new version may be at the target (the move or swap began)
staged=""       # the staged bundle in the staging folder
staged_id=""    # the identity of its Contents folder, which is to take the target's place
installed_id="" # the identity of the installed Contents folder before the swap
stuck=""        # what this run could not remove, one a line
done_word=installed
new_word=new    # what the closing line calls the version a run puts in place
[ "$mode" != restore ] || { done_word=restored; new_word=restored; }
[ "$mode" != uninstall ] || done_word=uninstalled

cleanup() {
  local status=$?
  trap '' INT TERM HUP
  local kept=0
  # The backup of the installed version goes again only when the run failed and
  # the installed version is where it was, never moved: then it is still there, as
  # it was, and the backup keeps nothing the user would lose.
  if [ "$placing" -eq 1 ] && ! still_where_they_were; then kept=1; fi
  [ -z "$pending" ] || settle_pending "$pending"
  pending=""
  [ -z "$staging" ] || remove_made "$staging"
  if [ "$status" -ne 0 ] && [ -n "$full_backup" ] && [ "$kept" -eq 0 ]; then
    remove_made "$full_backup" && full_backup=""
  fi
  release_breaking_guard
  [ "$started" -eq 0 ] || closing_line "$status"
  release_lock
  if [ "$status" -ne 0 ] && [ -n "$created" ]; then
    # Deepest first; a folder that holds anything stays.
    printf '%s\n' "$created" | sed '1!G;h;$!d' | while IFS= read -r folder; do
      [ -z "$folder" ] || rmdir "$folder" 2>/dev/null
    done
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Where the installed bundle's Contents folder is the staged one, the new version
# is in place: a swap or a move either happened whole or not at all, whatever
# became of the tool or the command that made it.
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
  local left item
  if [ "$mode" = uninstall ]; then
    if [ -e "$target" ] || [ -L "$target" ]; then
      left="the installed version at $target, still there"
    else
      left="nothing at $target"
    fi
    [ -z "$full_backup" ] || [ ! -d "$full_backup" ] || left="$left; the removed version at $full_backup"
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
  if [ "$mode" != uninstall ] && [ -n "$full_backup" ] && [ -d "$full_backup" ]; then
    left="$left; the backup of the previous version at $full_backup"
  fi
  if [ -n "$list_backup" ] && [ -f "$list_backup" ]; then
    left="$left; the backup of the enabled input sources at $list_backup"
  fi
  while IFS= read -r item; do
    [ -z "$item" ] || left="$left; $item, which could not be removed"
  done <<STUCK
$stuck
STUCK
  local what="$done_word and enabled"
  [ "$mode" != uninstall ] || what=$done_word
  if [ "$1" -eq 0 ]; then
    say "Sonarell is $what. Left: $left."
  else
    say "Sonarell was not $what (status $1). Left: $left; nothing else of this run."
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

# Removes a tree this run (or an interrupted earlier run) made. A copy keeps the
# modes of what it copied, and a folder without write permission cannot be
# emptied by its owner, so the tree is made writable first. False, with the path
# remembered for the closing line, when anything of it is still there.
remove_made() {
  if [ -d "$1" ] && [ ! -L "$1" ]; then
    chmod -R u+w "$1" 2>/dev/null
  fi
  rm -rf "$1" 2>/dev/null
  if [ -e "$1" ] || [ -L "$1" ]; then
    say "Removing $1: failed, it is still there"
    stuck="$stuck
$1"
    return 1
  fi
  return 0
}

# An identity of the folder itself, not of its name: its device and inode, as ls
# prints them on both systems. Empty when there is no folder.
folder_identity() {
  local listing
  [ -d "$1" ] && [ ! -L "$1" ] || return 0
  listing=$(ls -d -i "$1" 2>/dev/null) || return 0
  set -f
  # shellcheck disable=SC2086 # the first word is the inode, whatever the spacing
  set -- $listing
  set +f
  printf '%s' "${1:-}"
}

# --- Whether two trees hold the same ------------------------------------------------
#
# The same names, each of the same kind (folder, file, symbolic link), files with
# the same bytes (cmp, whose statuses mean the same everywhere) and links with the
# same text. Anything else in either tree (a FIFO, a socket, a device) makes them
# differ, and so does a name with a line break, which the listing cannot carry.

tree_listing() {
  (cd "$1" && find . -print) | LC_ALL=C sort
}

same_tree() {
  local a=$1 b=$2 listing entry
  [ -d "$a" ] && [ -d "$b" ] || return 1
  if [ -n "$(find "$a/." "$b/." -name '*
*' -print 2>/dev/null)" ]; then
    return 1
  fi
  listing=$(tree_listing "$a") || return 1
  [ -n "$listing" ] && [ "$listing" = "$(tree_listing "$b")" ] || return 1
  while IFS= read -r entry; do
    if [ -L "$a/$entry" ] || [ -L "$b/$entry" ]; then
      [ -L "$a/$entry" ] && [ -L "$b/$entry" ] || return 1
      [ "$(readlink "$a/$entry")" = "$(readlink "$b/$entry")" ] || return 1
    elif [ -d "$a/$entry" ] || [ -d "$b/$entry" ]; then
      [ -d "$a/$entry" ] && [ -d "$b/$entry" ] || return 1
    elif [ -f "$a/$entry" ] && [ -f "$b/$entry" ]; then
      cmp -s "$a/$entry" "$b/$entry" || return 1
    else
      return 1
    fi
  done <<LISTING
$listing
LISTING
}

# --- The install lock ---------------------------------------------------------------
#
# The lock is a symbolic link whose text names its owner: the process id and an
# identity of that process that stays the same for as long as it lives (a process
# id alone may be reused after the owner died). Creating a link either succeeds or
# fails when the name exists, and it carries the owner in the same step, so there
# is never a lock without an owner to judge. flock and shlock are not on both
# systems; mkdir would need a second step to record the owner.
#
# The identity is what the kernel keeps of the process's start: on Linux the boot
# and the clock ticks since boot at which it started; elsewhere (macOS) the start
# time that ps prints, in UTC so that a time zone never changes it. When it cannot
# be told (ps prints nothing), the owner counts as alive for as long as its process
# id is in use: a run may wait in vain, but never takes a live run's lock.

process_identity() {
  local stat boot rest when
  if [ "$(uname -s 2>/dev/null)" = Linux ]; then
    read -r boot 2>/dev/null </proc/sys/kernel/random/boot_id || return 1
    read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
    rest=${stat##*) }
    set -f
    # shellcheck disable=SC2086 # split into the fields after the command name
    set -- $rest
    set +f
    [ $# -ge 20 ] || return 1
    printf 'linux-%s-%s' "$boot" "${20}"
  else
    when=$(LC_ALL=C TZ=UTC0 ps -o lstart= -p "$1" 2>/dev/null)
    set -f
    # shellcheck disable=SC2086 # word splitting trims and joins ps's spacing
    set -- $when
    set +f
    [ $# -gt 0 ] || return 1
    printf 'started %s UTC' "$*"
  fi
}

# 0: the owner named by a lock's text is alive; 1: it is gone; 2: the text is no
# owner this script writes.
owner_state() {
  local pid=${1%% *} identity now
  case $pid in '' | *[!0-9]*) return 2 ;; esac
  identity=${1#"$pid"}
  identity=${identity# }
  kill -0 "$pid" 2>/dev/null || return 1
  [ -n "$identity" ] || return 0
  now=$(process_identity "$pid") || return 0
  [ "$now" = "$identity" ] || return 1
  return 0
}

# Refuses anything at the lock's path that is not a lock of this script.
refuse_in_the_way() {
  die "$lock is in the way of the install lock ($1); nothing was changed; move it away and try again"
}

take_lock() {
  local owner tries=0 rounds=0
  me=$$
  if owner=$(process_identity $$); then me="$$ $owner"; fi
  while :; do
    rounds=$((rounds + 1))
    [ $rounds -le $((lock_wait + 100)) ] || die "could not take the install lock $lock; nothing was changed"
    if [ -d "$lock" ] && [ ! -L "$lock" ]; then refuse_in_the_way "it is a folder"; fi
    # -n: a link to a folder at the lock's path is the lock's name taken, not a
    # folder to make the link in.
    if ln -s -n "$me" "$lock" 2>/dev/null; then
      if [ -L "$lock" ] && [ "$(readlink "$lock" 2>/dev/null)" = "$me" ]; then
        lock_held=1
        remove_dead_breaking_guard
        return 0
      fi
      # A folder appeared at the lock's path, and ln made the link inside it.
      [ ! -L "$lock/$me" ] || rm -f "$lock/$me"
      refuse_in_the_way "it is a folder"
    fi
    if [ ! -L "$lock" ]; then
      if [ ! -e "$lock" ]; then
        # Released meanwhile, perhaps with the folder, by a failed run that had
        # made it.
        [ -d "$support" ] || make_folder "$support" || die "could not create \"$support\"; nothing was installed"
        continue
      fi
      [ ! -d "$lock" ] || refuse_in_the_way "it is a folder"
      refuse_in_the_way "it is a file, not a symbolic link"
    fi
    owner=$(readlink "$lock" 2>/dev/null) || continue # released meanwhile
    owner_state "$owner"
    case $? in
      1)
        break_dead_lock "$owner"
        continue
        ;;
      2)
        # Looked at again: a lock released and taken again meanwhile is no reason.
        [ "$(readlink "$lock" 2>/dev/null)" = "$owner" ] || continue
        refuse_in_the_way "it is a symbolic link to \"$owner\", not a lock of this installer"
        ;;
    esac
    [ $tries -lt $lock_wait ] ||
      die "another install of Sonarell (process ${owner%% *}) is still running after $lock_wait seconds; nothing was changed; try again when it has finished" 75
    [ $tries -gt 0 ] || say "Waiting for another install of Sonarell (process ${owner%% *}) to finish"
    sleep 1
    tries=$((tries + 1))
  done
}

# A dead run's lock is broken under a guard, the link "$lock.breaking" naming the
# breaker, so that only one waiting run breaks it and never a lock that a live run
# has just taken.
break_dead_lock() {
  local removed=0
  if ln -s -n "$me" "$lock.breaking" 2>/dev/null; then
    breaking=1
    if [ "$(readlink "$lock" 2>/dev/null)" = "$1" ] && rm -f "$lock" && [ ! -L "$lock" ]; then removed=1; fi
    release_breaking_guard
    [ $removed -eq 0 ] ||
      say "Removing the install lock of an earlier run (process ${1%% *}) that ended without releasing it: done"
  else
    remove_dead_breaking_guard
  fi
}

release_breaking_guard() {
  if [ "$breaking" -eq 1 ]; then
    [ "$(readlink "$lock.breaking" 2>/dev/null)" != "$me" ] || rm -f "$lock.breaking"
    breaking=0
  fi
}

# A guard whose breaker was killed on the way is taken away: renamed to a name of
# this run's own first, so that a guard a live breaker has just made in its place
# is never removed, only put back.
remove_dead_breaking_guard() {
  local breaker aside="$lock.breaking.$$"
  breaker=$(readlink "$lock.breaking" 2>/dev/null) || return 0
  owner_state "$breaker"
  [ $? -ne 0 ] || return 0
  mv "$lock.breaking" "$aside" 2>/dev/null || return 0
  if [ "$(readlink "$aside" 2>/dev/null)" != "$breaker" ]; then
    ln -s -n "$(readlink "$aside")" "$lock.breaking" 2>/dev/null
  fi
  rm -f "$aside"
}

release_lock() {
  if [ "$lock_held" -eq 1 ]; then
    # Only this run's own link: a lock that is not ours any more is someone's.
    [ "$(readlink "$lock" 2>/dev/null)" != "$me" ] || rm -f "$lock"
    lock_held=0
  fi
}

# --- Names this script makes, and what killed runs leave of them -----------------

# Staging folders are "$input_methods/.Sonarell-staging.XXXXXX"; a backup in the
# making lies in "$backups/.Sonarell-pending-<its final name>". Only a run that
# holds the lock calls this, so none of them belongs to a run still going. What
# cannot be removed is reported and left: a later run never needs its names.
sweep_leftovers() {
  local leftover
  for leftover in "$input_methods"/.Sonarell-staging.?????? "$backups"/.Sonarell-pending-*; do
    [ -e "$leftover" ] || [ -L "$leftover" ] || continue
    case $leftover in
      "$backups"/*) settle_pending "$leftover" ;;
      *) remove_made "$leftover" ;;
    esac && say "Removing what an interrupted earlier run left, $leftover: done"
  done
}

# Ends a backup holder. The copy of an installed version in it is incomplete (it
# would have its final name otherwise) and goes. A backup of the enabled input
# sources in it is kept under its final name: Keyloom writes it whole or not at
# all, before it changes the list, so once it is there the list may have changed
# and it is the only copy of the list as it was.
settle_pending() {
  local holder=$1 name kept
  name=${holder##*/.Sonarell-pending-}
  case $name in
    AppleEnabledInputSources-*.plist)
      if [ -f "$holder/$name" ] && [ ! -L "$holder/$name" ]; then
        kept=$(keep_file "$holder/$name" "${name%.plist}" .plist) || {
          say "Keeping the backup of the enabled input sources $holder/$name under its own name: failed, it stays where it is"
          stuck="$stuck
$holder"
          return 1
        }
        say "Keeping the backup of the enabled input sources at $kept"
        [ "$holder" != "$pending" ] || list_backup=$kept
      fi
      ;;
  esac
  remove_made "$holder"
}

# Gives the file $1 the first free name of $2$3, $2-2$3, ... in the backups folder,
# never replacing anything (a hard link either is made or fails when the name is
# taken); prints the name it got.
keep_file() {
  local name=$2$3 n=2
  while [ $n -le 1000 ]; do
    # ln into a folder would make the link inside it: a taken name is skipped.
    if [ ! -e "$backups/$name" ] && [ ! -L "$backups/$name" ]; then
      if ln "$1" "$backups/$name" 2>/dev/null; then
        rm -f "$1"
        printf '%s' "$backups/$name"
        return 0
      fi
      [ -e "$backups/$name" ] || [ -L "$backups/$name" ] || return 1
    fi
    name="$2-$n$3"
    n=$((n + 1))
  done
  return 1
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

# Whether the file is a whole property list, in either form Keyloom writes: the
# binary form's header, or the XML form's closing tag.
property_list_file() {
  [ -f "$1" ] && [ ! -L "$1" ] || return 1
  [ "$(head -c 8 "$1" 2>/dev/null)" = bplist00 ] && return 0
  grep -q '</plist>' "$1" 2>/dev/null
}

# Runs Keyloom with the given arguments; its records go straight to the log.
run_keyloom() {
  "$keyloom" "$@"
}

# Runs Keyloom's list form $1 (--repair-enabled-list or --remove-enabled-entries)
# on the target, with the backup of the enabled list in a new holder. Keyloom
# writes the backup whole, before it changes the list; once it is there it gets
# its final name (list_backup), whatever Keyloom's status. Keyloom's status.
run_keyloom_on_list() {
  local list_file status
  reserve_backup "AppleEnabledInputSources-$stamp" .plist ||
    die "could not reserve a name for the backup of the enabled input sources in \"$backups\""
  list_file="$pending/${reserved##*/}"
  run_keyloom "$target" "$1" "$list_file"
  status=$?
  if property_list_file "$list_file" && finish_backup; then
    list_backup=$reserved
  fi
  return $status
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
# copy is complete, equal to its source and a real bundle folder. The copy is the
# user's own: writable by them, whatever modes the source had, so that it can be
# moved into place now and replaced or removed later.
copy_bundle() {
  local from=$1 to=$2
  mkdir "$to" || return 1
  cp -R -p "$from/." "$to/" || return 1
  chmod -R u+w "$to" || return 1
  same_tree "$from/." "$to" || return 1
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

# --- One step back ------------------------------------------------------------------

# The backups of the installed version are "Sonarell-<version>-<stamp>[-<n>].app";
# the newest is the one with the latest stamp, then the highest n.
newest_backup() {
  local entry key best="" best_key=""
  for entry in "$backups"/Sonarell-*.app; do
    [ -d "$entry" ] && [ ! -L "$entry" ] || continue
    key=$(printf '%s\n' "${entry##*/}" |
      sed -n 's/^Sonarell-.*-\([0-9]\{8\}\)-\([0-9]\{6\}\)\(-\([0-9]\{1,6\}\)\)\{0,1\}\.app$/\1\2 \4/p')
    [ -n "$key" ] || continue
    set -- $key
    key=$(printf '%s%06d' "$1" "${2:-1}")
    if [ -z "$best" ] || [[ $key > $best_key ]]; then
      best=$entry
      best_key=$key
    fi
  done
  [ -n "$best" ] || return 1
  printf '%s' "$best"
}

# Sets `source` to the backup to restore: the named one, or the newest. Refuses,
# with nothing changed, when there is none or it is no whole bundle of ours.
choose_backup() {
  if [ -n "$restore_name" ]; then
    source="$backups/$restore_name"
    [ -e "$source" ] || [ -L "$source" ] ||
      die "there is no backup named \"$restore_name\" in $backups; nothing was changed" 66
  else
    source=$(newest_backup) ||
      die "there is no backup of Sonarell in $backups to restore; nothing was changed" 66
  fi
  real_bundle_folder "$source" && [ -f "$source/Contents/Info.plist" ] ||
    die "$source is not a whole Sonarell bundle; nothing was changed" 65
  run_keyloom "$source" --check >/dev/null 2>&1
  [ $? -ne 2 ] || die "$source is not a Sonarell input method bundle; nothing was changed" 65
  say "Choosing the backup to restore: $source, Sonarell version $(bundle_version "$source")"
}

# Takes Sonarell out of the enabled input sources, then moves the installed
# version into the backups folder, where --restore finds it. Ends the run.
uninstall() {
  local status
  if [ ! -e "$target" ] && [ ! -L "$target" ]; then
    say "Nothing is installed at $target: there is nothing to remove; nothing was changed"
    exit 0
  fi
  upgrade=1
  [ ! -L "$target" ] || die "$target is a symbolic link, not a bundle of ours; it was left untouched"
  run_keyloom "$target" --check >/dev/null 2>&1
  [ $? -ne 2 ] || die "$target is not a Sonarell input method bundle; it was left untouched"
  installed_version=$(bundle_version "$target")
  say "Identifying the installed copy: Sonarell version $installed_version"

  run_keyloom_on_list --remove-enabled-entries
  status=$?
  [ $status -eq 0 ] ||
    die "taking Sonarell out of the enabled input sources failed (Keyloom status $status); it is still installed, see the lines above"
  # A list with nothing of ours was left as it was, and no backup was needed.
  [ -z "$pending" ] || settle_pending "$pending"
  pending=""
  if [ -n "$list_backup" ]; then
    say "Taking Sonarell out of the enabled input sources (backup of the list: $list_backup): done"
  else
    say "Taking Sonarell out of the enabled input sources: done, it was in none"
  fi

  reserve_backup "Sonarell-$installed_version-$stamp" .app ||
    die "could not reserve a name for the removed version in \"$backups\"; it is still installed"
  # Moving a folder to another folder needs write permission on the folder itself.
  if [ ! -w "$target" ]; then
    chmod u+w "$target" || die "could not make $target movable; it is still installed"
  fi
  placing=1
  mv "$target" "$reserved"
  if [ -e "$target" ] || [ -L "$target" ] || ! real_bundle_folder "$reserved"; then
    die "moving $target into the backups folder failed; it is still installed"
  fi
  full_backup=$reserved
  rmdir "$pending" && pending=""
  say "Moving the installed version to $full_backup: done"
  exit 0
}

# --- Steps -------------------------------------------------------------------------

say "Sonarell installer script, $(date '+%Y-%m-%d %H:%M:%S')"
case $mode in
  install) say "Options: repair-enabled-list=$repair no-open=$no_open update=$update" ;;
  restore) say "Options: restore=${restore_name:-the newest backup} no-open=$no_open" ;;
  uninstall) say "Options: uninstall" ;;
esac

# Identifying a bundle of ours is left to Keyloom itself: its check form exits 2 for
# anything that is no bundle with the input method's identifier, and changes nothing.
if [ "$mode" = install ]; then
  run_keyloom "$IPA_MAC_APP" --check >/dev/null 2>&1
  case $? in
    0 | 1) say "Checking the input method to install ($IPA_MAC_APP): it is a Sonarell bundle, version $(bundle_version "$IPA_MAC_APP")" ;;
    *) die "IPA_MAC_APP (\"$IPA_MAC_APP\") is not a Sonarell input method bundle; nothing was changed" 65 ;;
  esac
  source=$IPA_MAC_APP
fi

make_folder "$support" || die "could not create \"$support\"; nothing was installed"
take_lock
started=1
say "Taking the install lock ($lock): done"
make_folder "$backups" ||
  die "could not create the backups folder \"$backups\"; nothing was installed"
make_folder "$input_methods" || die "could not create \"$input_methods\"; nothing was installed"
say "Preparing the input method folder ($input_methods): done"
sweep_leftovers

[ "$mode" != uninstall ] || uninstall

# Looked at only now, under the lock: what another run did before is seen.
if [ -e "$target" ] || [ -L "$target" ]; then
  upgrade=1
  [ "$mode" != install ] || done_word=upgraded
fi
[ "$mode" != restore ] || choose_backup
if [ "$mode" = install ] && [ "$update" -eq 1 ] && [ "$upgrade" -eq 0 ]; then
  say "Nothing is installed at $target any more: installing afresh"
elif [ "$mode" = install ] && [ "$update" -eq 0 ] && [ "$upgrade" -eq 1 ]; then
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
  if ! mkdir "$copy" || ! cp -R -p "$target/." "$copy/" || ! same_tree "$target" "$copy"; then
    die "could not make a complete backup of the installed version; nothing was changed"
  fi
  # Moving a folder to another folder needs write permission on the folder itself;
  # inside, the backup keeps the modes the installed version had.
  chmod u+w "$copy" ||
    die "could not make the backup of the installed version movable; nothing was changed"
  finish_backup || die "could not give the backup of the installed version its name $reserved; nothing was changed"
  full_backup=$reserved
  say "Backing up the installed version to $full_backup: done"
fi

staging=$(mktemp -d "$input_methods/.Sonarell-staging.XXXXXX") ||
  die "could not create a staging folder in \"$input_methods\"; nothing was changed"
staged="$staging/Sonarell.app"
copy_bundle "$source" "$staged" ||
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
  # The swap changes an entry of the installed bundle's folder and moves its
  # Contents folder to another folder, which needs write permission on both; an
  # earlier copy may have kept read-only modes (the backup keeps them as they were).
  for folder in "$target" "$target/Contents"; do
    if [ ! -w "$folder" ] && [ -d "$folder" ] && [ ! -L "$folder" ]; then
      chmod u+w "$folder" ||
        die "could not make $folder writable for the upgrade; the installed version is unchanged"
    fi
  done
  installed_id=$(folder_identity "$target/Contents")
  placing=1
  run_keyloom --exchange-contents "$target/Contents" "$staged/Contents"
  status=$?
  # What counts is where the folders are now, whatever the tool's status says.
  if new_version_in_place; then
    say "Swapping the $new_word version into place at $target (Keyloom --exchange-contents): done"
  else
    case $status in
      0) die "Keyloom reported the swap at $target, but the new version is not there; the installed version is unchanged" ;;
      2)
        if link=$(link_in_home); then
          die "your home folder \"$HOME\" is reached through the symbolic link $link, and Keyloom upgrades only an input method reached without links; set HOME to the real folder ($(cd -P "$HOME" && pwd -P)) and try again; the installed version is unchanged"
        fi
        die "Keyloom refused to swap the contents of $target (status 2); the installed version is unchanged"
        ;;
      *) die "swapping the contents of $target failed (status $status); the installed version is unchanged" ;;
    esac
  fi
  # The staged bundle now holds the previous contents, which the backup already keeps.
  if remove_made "$staging"; then
    say "Removing the previous contents from the staging folder: done"
  fi
  staging=""
fi

# Whatever IPA_MAC_APP was, the target must now be a real folder holding our bundle.
real_bundle_folder "$target" || die "$target is not a real bundle folder after the copy"
run_keyloom "$target" --check >/dev/null 2>&1
[ $? -ne 2 ] || die "$target is not a Sonarell input method bundle after the copy"

if [ "$repair" -eq 1 ]; then
  run_keyloom_on_list --repair-enabled-list
  status=$?
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
