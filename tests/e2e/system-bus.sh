#!/usr/bin/env bash
# system-bus.sh PREFIX - the installed tools on a bus that runs Debian's own
# system policy, which denies by default, with PREFIX's policy folder in
# place of the system's.  The simulator runs as root, halvoctl as nobody,
# as on a set.  Run as root.
set -euo pipefail
prefix=$(cd "$1" && pwd)
[ "$(id -u)" -eq 0 ] || { echo "system-bus: run as root (it runs halvoctl as nobody)" >&2; exit 1; }

dir=$(mktemp -d "${TMPDIR:-/tmp}/halvo-system-bus.XXXXXX")
# nobody reaches the bus's socket, the store and the programs through it.
chmod 755 "$dir"
pids=()
# The clients first, then the simulator, then the bus.
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null || true
    wait "${pids[i]}" 2>/dev/null || true
  done
  rm -rf "$dir"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
  echo "FAIL: $*" >&2
  local f
  for f in "$dir"/*.log; do echo "--- ${f##*/}" >&2; cat "$f" >&2; done
  exit 1
}

# The tree runs wherever it lies; here nobody can read it, wherever the
# checkout is.
cp -a "$prefix" "$dir/prefix"
sim=$dir/prefix/bin/halvo-sim ctl=$dir/prefix/bin/halvoctl
scenario=$dir/prefix/share/halvo-sim/scenarios/default.json
SPEAKER=A0:B1:C2:00:20:02

# Debian's system.conf on a socket of its own, without its pid file and
# syslog, reading policy from the prefix only: a hand-written file in
# /etc/dbus-1 must not decide the outcome.
sed -e "s|<listen>.*</listen>|<listen>unix:path=$dir/bus</listen>|" \
    -e '/<pidfile>/d' -e '/<syslog\/>/d' -e '/<fork\/>/d' -e '\|/etc/dbus-1/|d' \
    -e "s|<includedir>system.d</includedir>|<includedir>$dir/prefix/share/dbus-1/system.d</includedir>|" \
    /usr/share/dbus-1/system.conf >"$dir/system.conf"
[ "$(grep -c -e "<listen>unix:path=$dir/bus</listen>" -e "<includedir>$dir/prefix/share/dbus-1/system.d<" \
       "$dir/system.conf")" -eq 2 ] || fail "system.conf is not laid out as expected"

# Each background program's output comes through a pipe, so that waiting
# for a line is waiting for the event it reports.
exec {bus_fd}< <(exec dbus-daemon --config-file="$dir/system.conf" --nofork --nosyslog --print-address=1 \
                   2>"$dir/dbus.log")
pids+=($!)
read -r -t 10 -u "$bus_fd" DBUS_SYSTEM_BUS_ADDRESS || fail "dbus-daemon printed no address"
export DBUS_SYSTEM_BUS_ADDRESS VALKO_ROOT=$dir/store
mkdir -m 755 "$VALKO_ROOT"

as_nobody() {
  setpriv --reuid=nobody --regid=nogroup --clear-groups env HOME=/nonexistent USER=nobody "$@"
}

# Reads lines from fd $1 into log $2 until one holds $3.
await_line() {
  local line
  while read -r -t 10 -u "$1" line; do
    echo "$line" >>"$2"
    [[ $line != *"$3"* ]] || return 0
  done
  return 1
}

echo "a user the policy does not name cannot own the service's names"
install -d -o nobody "$dir/nobody-store"
exec {fd}< <(exec setpriv --reuid=nobody --regid=nogroup --clear-groups \
               "$sim" --system --quiet --scenario "$scenario" --store-root "$dir/nobody-store" 2>"$dir/sim-nobody.log")
pid=$!
pids+=("$pid")
# Its end of the pipe closes when it exits: a line, or no end, is a failure.
status=0
read -r -t 10 -u "$fd" line || status=$?
[ $status -eq 1 ] || fail "halvo-sim as nobody went on (${line:-no line})"
status=0
wait "$pid" || status=$?
[ $status -eq 1 ] || fail "halvo-sim as nobody exited $status"
for name in com.marlox.tv.bt.connectionmanager com.marlox.tv.bt.updatemanager org.halvo.Simulator; do
  grep -qF "nobody own $name: run as root or halvo-sim with $dir/prefix/share/dbus-1/system.d/org.halvo.Simulator.conf \
installed, or add an <allow own=\"$name\"/> rule for nobody" "$dir/sim-nobody.log" || fail "no missing rule for $name"
done
! grep -E "GLib|WARNING|CRITICAL" "$dir/sim-nobody.log" || fail "GLib warned"

echo "root runs the simulator"
exec {sim_fd}< <(exec "$sim" --system --quiet --scenario "$scenario" 2>"$dir/sim.log")
sim_pid=$!
pids+=("$sim_pid")
await_line "$sim_fd" "$dir/sim.out.log" "halvo-sim: ready" || fail "halvo-sim did not get ready"

echo "nobody uses the service through halvoctl"
# shows TEXT ARGS...: halvoctl ARGS as nobody succeeds and prints TEXT.
shows() {
  local text=$1 out
  shift
  out=$(as_nobody "$ctl" --no-progress "$@" 2>&1) || fail "halvoctl $* as nobody: $out"
  grep -qF -- "$text" <<<"$out" || fail "halvoctl $* as nobody lacks $text: $out"
}
shows "$SPEAKER" devices
shows "$SPEAKER" speakers
shows "$SPEAKER" volume "$SPEAKER" 27
shows "volume 27" volume "$SPEAKER"

echo "the control interface: refused to nobody, by any name, and allowed to root"
out=$(as_nobody "$ctl" sim state 2>&1) && fail "nobody drove the simulator: $out"
grep -q "does not let this user drive the simulator" <<<"$out" || fail "halvoctl sim as nobody: $out"
# The service's name reaches the same connection: the interface decides.
out=$(as_nobody gdbus call --system --dest com.marlox.tv.bt.connectionmanager --object-path /org/halvo/Simulator \
        --method org.halvo.Simulator1.GetState 2>&1) &&
  fail "nobody reached the control interface through the service's name"
grep -q AccessDenied <<<"$out" || fail "gdbus call as nobody: $out"
"$ctl" sim state >/dev/null || fail "root cannot drive the simulator"

echo "a volume change on the service's path from nobody does not reach the library"
exec {mon_fd}< <(exec "$ctl" --json monitor 2>&1)
pids+=($!)
await_line "$mon_fd" "$dir/monitor.log" "watching" || fail "monitor never got ready"
signal=(dbus-send --system --type=signal /org/velmo/pellix org.velmo.pellix.bt_spk_volume_changed_by_address)
as_nobody "${signal[@]}" string:FA:KE:00:00:00:01 int32:99 || fail "dbus-send as nobody failed"
# The same signal from root, sent after nobody's had reached the bus: the
# monitor prints it, and nothing of nobody's before it.
"${signal[@]}" string:FA:KE:00:00:00:02 int32:99
await_line "$mon_fd" "$dir/monitor.log" FA:KE:00:00:00:02 || fail "root's signal never reached the monitor"
! grep -q FA:KE:00:00:00:01 "$dir/monitor.log" || fail "nobody's signal reached the library"

echo "the simulator stops cleanly"
kill -TERM "$sim_pid"
status=0
wait "$sim_pid" || status=$?
[ $status -eq 0 ] || fail "halvo-sim exited $status on SIGTERM"
! grep -E "GLib|WARNING|CRITICAL" "$dir/sim.log" || fail "GLib warned"
echo "system bus: pass"
