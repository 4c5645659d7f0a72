#!/usr/bin/env bash
# demo.sh - the library at work, without a television.
#
# Installs what is missing (scripts/install-deps.sh), builds the simulator
# and the command-line tool, starts a private D-Bus daemon with halvo-sim
# on it (the default scenario), and tours every family of operations with
# halvoctl while "halvoctl monitor" shows the callbacks as they arrive;
# "halvoctl sim" then changes the simulator's state and faults live.
# Then it stops everything it started, by pid.
#
# With HALVO_SIM and HALVOCTL set to built programs it skips installing and
# building (CI runs it that way).
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

. "$top/tools/sim-env.sh"
sim_env_build "$top" build/demo

if [ -t 1 ]; then bold=$'\e[1m' dim=$'\e[2m' off=$'\e[0m'; else bold="" dim="" off=""; fi
started=$SECONDS

section() { printf '\n%s== %s%s\n' "$bold" "$*" "$off"; }
say() { printf '%s# %s%s\n' "$dim" "$*" "$off"; }
# The command line as one would type it.
show() {
  local line="" a
  for a in "$@"; do
    case $a in *" "*) line+=" \"$a\"" ;; *) line+=" $a" ;; esac
  done
  printf '%s$ halvoctl%s%s\n' "$bold" "$line" "$off"
}
# Shows and runs one halvoctl command; a failure ends the demo.
run() {
  show "$@"
  "$HALVOCTL" --no-progress "$@"
}
# The same for a command that is meant to fail.
run_failing() {
  show "$@"
  if "$HALVOCTL" --no-progress "$@" 2>&1; then
    echo "demo: halvoctl $* was expected to fail" >&2
    exit 1
  fi
}

# What the monitor printed since the last look, waiting for @1 first.
seen=0
monitor_shows() {
  local want=$1
  if ! sim_env_wait "tail -n +$((seen + 1)) '$monitor_out' | grep -q -- '$want'" 50; then
    echo "demo: the monitor never showed '$want'" >&2
    exit 1
  fi
  local total
  total=$(wc -l <"$monitor_out")
  tail -n +$((seen + 1)) "$monitor_out" | head -n $((total - seen)) | sed 's/^/  monitor | /'
  seen=$total
}

section "Starting a private bus and the simulator (default scenario)"
sim_env_start default --quiet
say "bus $DBUS_SYSTEM_BUS_ADDRESS"
say "store $VALKO_ROOT"
monitor_out=$SIM_ENV_DIR/monitor.out
"$HALVOCTL" monitor >"$monitor_out" 2>"$SIM_ENV_DIR/monitor.err" &
monitor_pid=$!
sim_env_track "$monitor_pid"
sim_env_wait "grep -q watching '$SIM_ENV_DIR/monitor.err'" 50
say "halvoctl monitor runs in the background; its lines are shown as \"monitor |\""

SOUNDBAR=A0:B1:C2:00:20:02

section "Paired devices"
run devices
run device "$SOUNDBAR"

section "Device policy: use / don't use"
run dont-use list
run dont-use set A0:B1:C2:00:30:04 "Game Pad"
run dont-use list
run dont-use remove A0:B1:C2:00:30:04

section "Speakers"
run speakers
run last-speakers

section "Volume, with the service's callback"
run volume "$SOUNDBAR" 30
monitor_shows 'volume=30'
run volume "$SOUNDBAR" up
monitor_shows 'volume=35'
run mute
run mute

section "Speaker icons"
run icon SB
say "an unknown code gets the generic speaker icon"
run icon ZZ

section "Reconnecting the last speakers, followed to the end"
run disconnect-last
run reconnect
monitor_shows 'status=2'

section "Stored lists"
run info-sync list
run info-sync remove phone-1
run info-sync list
say "the scenario blocks an unknown phone 3 s after the start"
sim_env_wait "'$HALVOCTL' blocked list | grep -q 'Unknown Phone'" 50
run blocked list
run blocked remove A0:B1:C2:00:60:09
run blocked list

section "Wireless earphones"
run earphones connect A0:B1:C2:00:40:05
monitor_shows 'earphones'

section "Vendor data, custom commands, test mode"
run manufacturer read A0:B1:C2:00:10:01
run command battery A0:B1:C2:00:10:01
run dut enter left tx 39 4
run dut stop

section "Remote-control firmware update"
run fw-update
monitor_shows 'firmware'

section "A failure, as halvoctl reports it"
run_failing volume AA:BB:CC:DD:EE:FF 10

section "Driving the simulator live (halvoctl sim)"
say "the soundbar's own knob turns its volume: the service reports it"
run sim volume address=$SOUNDBAR volume=12
monitor_shows 'volume=12'
say "a speaker connects without anyone asking"
run sim connect_speaker address=A0:B1:C2:00:20:06
monitor_shows 'Patio Speaker'
say "the service starts failing reads of the volume, then recovers"
run sim fault get_volume_by_address error
run_failing volume "$SOUNDBAR"
run sim fault get_volume_by_address clear
run volume "$SOUNDBAR"
run sim state
run sim reset

section "Shutting down"
pids="$monitor_pid $SIM_ENV_SIM_PID $SIM_ENV_BUS_PID"
sim_env_stop
trap - EXIT
for pid in $pids; do
  if kill -0 "$pid" 2>/dev/null; then
    echo "demo: process $pid is still running" >&2
    exit 1
  fi
done
say "monitor, simulator and bus stopped; no process left behind"
say "tour took $((SECONDS - started)) s"
