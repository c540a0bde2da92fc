#!/usr/bin/env bash
# Shows the whole loop: the main application publishes its watched folders,
# finder-host plays the file manager, each command the user picks arrives at
# the application as a request and is carried out on the history: a change
# is snapshotted on its own, Restore Previous brings the old content back and
# a second one undoes it. Runs in a temporary sandbox on a private session bus
# and leaves nothing running or behind.
set -euo pipefail

build=$(cd "${1:-build}" && pwd)
sandbox=$(mktemp -d "${TMPDIR:-/tmp}/tarvine-demo-XXXXXX")
app_pid=
bus_pid=
cleanup() {
  [[ -n "$app_pid" ]] && kill "$app_pid" 2>/dev/null
  [[ -n "$bus_pid" ]] && kill "$bus_pid" 2>/dev/null
  rm -rf "$sandbox"
}
trap cleanup EXIT

# A private session bus. Its own complaints (as root it cannot raise its file
# limit) go to a log, not to the screen, where they would read as the demo's.
{ read -r DBUS_SESSION_BUS_ADDRESS; read -r bus_pid; } < <(
  dbus-daemon --session --fork --print-address=1 --print-pid=1 2>"$sandbox/bus.log")
export DBUS_SESSION_BUS_ADDRESS
# Plain local files only: no GVfs daemons are activated on the private bus.
export GIO_USE_VFS=local GIO_USE_VOLUME_MONITOR=unix
export HOME="$sandbox/home" XDG_DATA_HOME="$sandbox/data" LANGUAGE=en
app="$build/Tarvine.app/Contents/MacOS/tarvine-app"
extension="$build/Tarvine.app/Contents/PlugIns/TarvineFinderSync.appex"
log="$sandbox/app.log"
shown=0

mkdir -p "$HOME/Documents/Letters" "$HOME/Photos" "$HOME/Downloads"
echo "Dear Sir," > "$HOME/Documents/Letters/draft.txt"

# Prints what the application said since last time.
show_app() {
  local lines
  lines=$(wc -l < "$log")
  if (( lines > shown )); then
    tail -n +"$((shown + 1))" "$log" | head -n "$((lines - shown))" | sed "s|$HOME|~|g; s/^/  | /"
    shown=$lines
  fi
}

# Waits (at most five seconds) until the application has said `$1` `$2` times.
wait_for_app() {
  for _ in $(seq 50); do
    (( $(grep -c -- "$1" "$log" || true) >= $2 )) && return 0
    sleep 0.1
  done
  echo "demo: the application did not answer" >&2
  return 1
}

step() {
  local title=$1
  shift
  printf '\n== %s\n' "$title"
  local args=()
  for command in "$@"; do
    printf '$ %s\n' "$command" | sed "s|$HOME|~|g"
    args+=(-e "$command")
  done
  "$build/tools/finder-host" "${args[@]}" "$extension" 2>&1 | sed "s|$HOME|~|g"
}

echo "== The main application starts, watching ~/Documents and ~/Photos (manual)"
"$app" --quiet-ms 1000 "$HOME/Documents" --manual "$HOME/Photos" > "$log" 2>&1 &
app_pid=$!
wait_for_app "watching" 1
show_app

step "The extension registers its scope and toolbar item" "scope" "toolbar"
step "A folder outside every root" "select $HOME/Downloads/" "menu items"
step "A watched root in manual mode" "select $HOME/Photos/" "menu items"
step "A file inside a watched root" "select $HOME/Documents/Letters/draft.txt" "menu items"

step "Show History on ~/Documents (the application is brought to the front)" \
  "select $HOME/Documents/" "menu items" "pick 0.6"
wait_for_app "request showHistory" 1 && wait_for_app "activated" 1
show_app
step "Enable History on ~/Downloads (with a bookmark, and a wake-up)" \
  "select $HOME/Downloads/" "menu items" "pick 0.0"
wait_for_app "request enableHistory" 1 && wait_for_app "activated" 2
show_app
step "Snapshot Now on ~/Photos (waits in the spool; no wake-up)" \
  "select $HOME/Photos/" "menu items" "pick 0.3"
wait_for_app "request snapshotNow" 1
show_app

printf '\n== ~/Documents is automatic: its first snapshot, then a change, snapshotted once quiet\n'
wait_for_app "snapshot .* of $HOME/Documents" 1
echo 'Dear Madam,' > "$HOME/Documents/Letters/draft.txt"
echo '$ echo "Dear Madam," > ~/Documents/Letters/draft.txt'
wait_for_app "snapshot .* of $HOME/Documents" 2
show_app
draft="$HOME/Documents/Letters/draft.txt"
step "Restore Previous on draft.txt" "select $draft" "menu items" "pick 0.4"
wait_for_app "restored" 1
show_app
printf '$ cat ~/Documents/Letters/draft.txt\n%s\n' "$(cat "$draft")"
step "Restore Previous again: the restore is undone" "select $draft" "menu items" "pick 0.4"
wait_for_app "restored" 2
show_app
printf '$ cat ~/Documents/Letters/draft.txt\n%s\n' "$(cat "$draft")"
printf '\n== The history of draft.txt, from the command line\n$ tarvine log ~/Documents/Letters/draft.txt\n'
"$build/cli/tarvine" log "$draft" | sed "s|$HOME|~|g"

kill "$app_pid"
wait "$app_pid" || true
app_pid=
printf '\n== Done: every request was handled and the spool is empty (%s files left).\n' \
  "$(find "$XDG_DATA_HOME" -path '*/requests/*' | wc -l)"
