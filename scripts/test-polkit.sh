#!/usr/bin/env bash
# The polkit route to root, for one test run. Needs root and a built tree;
# does nothing (and says so) otherwise.
#
#   scripts/test-polkit.sh start [BUILD]   starts what is not running yet
#   scripts/test-polkit.sh stop            stops and removes what start made
#
# start brings up, each only when it is not there already:
#   - a system bus (dbus-daemon --system) and polkitd;
#   - the root helper at the absolute path the build compiled in, and the
#     updater's polkit action in /usr/share/polkit-1/actions/, the only
#     folder polkit reads actions from; both root-owned, as an installation
#     has them.
# What it started or placed is noted in /run/nvsu-test-polkit/, and stop
# undoes exactly that: a bus, a daemon or an installed helper that was there
# before the run stays. scripts/test.sh calls stop when the run ends, also
# when it fails.
set -euo pipefail
cd "$(dirname "$0")/.."

state=/run/nvsu-test-polkit
actions=/usr/share/polkit-1/actions
polkitd=/usr/lib/polkit-1/polkitd

if [ "$(id -u)" -ne 0 ]; then
  echo "test-polkit: not root; the polkit tests will be skipped"
  exit 0
fi

bus_answers() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.GetId >/dev/null 2>&1
}

polkit_answers() {
  dbus-send --system --print-reply --dest=org.freedesktop.DBus / org.freedesktop.DBus.NameHasOwner \
    string:org.freedesktop.PolicyKit1 2>/dev/null | grep -q 'boolean true'
}

# Waits for a condition for up to a minute.
wait_for() {
  local tries=600
  until "$@"; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || return 1
    sleep 0.1
  done
}

# Copies $1 to $2 (root-owned, mode $3) unless $2 exists; notes the copy.
place() {
  if [ -e "$2" ]; then
    echo "test-polkit: $2 exists; using it as it is"
    return 0
  fi
  local folder
  folder="$(dirname "$2")"
  while [ ! -d "$folder" ]; do
    echo "folder $folder" >> "$state/placed"
    folder="$(dirname "$folder")"
  done
  install -D -o root -g root -m "$3" "$1" "$2"
  echo "file $2" >> "$state/placed"
}

start() {
  local build="${1:-build}"
  local policy="$build/polkit/norvane.velkin.SoftwareUpdate.policy"
  if [ ! -x "$build/system/nvsu-root-helper" ] || [ ! -f "$policy" ]; then
    echo "test-polkit: $build has no root helper or polkit action; build first" >&2
    exit 1
  fi
  # The helper goes where the action (and the updater) name it.
  local helper
  helper="$(sed -n 's:.*"org.freedesktop.policykit.exec.path">\(/.*\)</annotate>.*:\1:p' "$policy")"
  [ -x "$polkitd" ] || { echo "test-polkit: polkitd is not installed (scripts/install-deps.sh)" >&2; exit 1; }

  # What a run that ended without stopping left behind goes first.
  stop >/dev/null
  install -d -m 0700 "$state"
  place "$build/system/nvsu-root-helper" "$helper" 0755
  place "$policy" "$actions/norvane.velkin.SoftwareUpdate.policy" 0644

  if ! bus_answers; then
    mkdir -p /run/dbus
    rm -f /run/dbus/pid
    dbus-daemon --system --fork --print-pid > "$state/dbus.pid"
    wait_for bus_answers
  fi
  if ! polkit_answers; then
    # polkitd drops to its own account once it has read its rules.
    "$polkitd" --no-debug > "$state/polkitd.log" 2>&1 &
    echo $! > "$state/polkitd.pid"
    wait_for polkit_answers
  fi
  echo "test-polkit: system bus and polkitd answer"
}

# Gone, or a zombie waiting for whoever reaps it.
process_gone() {
  [ ! -e "/proc/$1" ] || [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" = Z ]
}

stop_pid() {
  [ -f "$1" ] || return 0
  local pid
  pid="$(cat "$1")"
  if kill "$pid" 2>/dev/null; then
    wait_for process_gone "$pid" || kill -KILL "$pid" 2>/dev/null || true
  fi
}

stop() {
  [ -d "$state" ] || return 0
  stop_pid "$state/polkitd.pid"
  if [ -f "$state/dbus.pid" ]; then
    stop_pid "$state/dbus.pid"
    rm -f /run/dbus/pid /run/dbus/system_bus_socket
  fi
  if [ -f "$state/placed" ]; then
    # Files first, then the folders made for them, deepest first.
    local kind path
    while read -r kind path; do
      if [ "$kind" = file ]; then rm -f "$path"; fi
    done < "$state/placed"
    while read -r kind path; do
      if [ "$kind" = folder ]; then rmdir "$path" 2>/dev/null || true; fi
    done < "$state/placed"
  fi
  rm -rf "$state"
  echo "test-polkit: stopped"
}

case "${1:-}" in
  start) start "${2:-build}" ;;
  stop) stop ;;
  *) echo "usage: $0 start [BUILD]|stop" >&2; exit 2 ;;
esac
