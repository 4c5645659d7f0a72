#!/usr/bin/env bash
# tools-e2e.sh CASE - halvoctl against halvo-sim on a private bus.
#
# Each case is its own CTest test, with its own bus, simulator and store.
# Needs HALVO_SIM and HALVOCTL (set by CMake); the scenario is
# tests/e2e/scenario.json beside this script.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
scenario=$here/scenario.json
: "${HALVO_SIM:?}" "${HALVOCTL:?}"
. "$here/../../tools/sim-env.sh"

BAR=E2:E0:00:00:00:10
LATE=E2:E0:00:00:00:11
BUDS=E2:E0:00:00:00:20

out=""   # stdout of the last run
err=""   # stderr of the last run
rc=0     # its exit status

# Runs halvoctl, keeping its output and status.
ctl() {
  local o e
  o=$(mktemp) e=$(mktemp)
  rc=0
  "$HALVOCTL" --no-progress "$@" >"$o" 2>"$e" || rc=$?
  out=$(cat "$o") err=$(cat "$e")
  rm -f "$o" "$e"
}

fail() {
  echo "FAIL: $*" >&2
  echo "--- last halvoctl run (exit $rc)" >&2
  printf 'stdout: %s\nstderr: %s\n' "$out" "$err" >&2
  echo "--- halvo-sim log" >&2
  sim_env_log >&2 || true
  exit 1
}

# expect_ok ARGS... : exit 0.  expect_fail STATUS ARGS... : that exit status.
expect_ok() { ctl "$@"; [ "$rc" -eq 0 ] || fail "halvoctl $* exited $rc"; }
expect_fail() {
  local want=$1; shift
  ctl "$@"
  [ "$rc" -eq "$want" ] || fail "halvoctl $* exited $rc, expected $want"
}
has() { grep -qF -- "$1" <<<"$out" || fail "stdout lacks: $1"; }
lacks() { ! grep -qF -- "$1" <<<"$out" || fail "stdout has: $1"; }
err_has() { grep -qF -- "$1" <<<"$err" || fail "stderr lacks: $1"; }

# Polls "halvoctl ARGS" until its stdout holds TEXT (5 s).
poll_for() {
  local text=$1; shift
  local i
  for ((i = 0; i < 50; i++)); do
    ctl "$@"
    if [ "$rc" -eq 0 ] && grep -qF -- "$text" <<<"$out"; then return 0; fi
    sleep 0.1
  done
  fail "halvoctl $* never showed: $text"
}

# Starts "halvoctl monitor --json" in the background; waits until it watches.
MON_OUT="" MON_ERR="" MON_PID=""
start_monitor() {
  MON_OUT=$SIM_ENV_DIR/monitor.out MON_ERR=$SIM_ENV_DIR/monitor.err
  "$HALVOCTL" --json monitor >"$MON_OUT" 2>"$MON_ERR" &
  MON_PID=$!
  sim_env_track "$MON_PID"
  sim_env_wait 'grep -q watching "$MON_ERR"' 50 || { out=$(cat "$MON_OUT") err=$(cat "$MON_ERR"); fail "monitor never got ready"; }
}
monitor_saw() {
  sim_env_wait "grep -qF -- '$1' '$MON_OUT'" 50 || { out=$(cat "$MON_OUT") err=$(cat "$MON_ERR"); fail "monitor never printed: $1"; }
}
stop_monitor() {
  kill -INT "$MON_PID"
  local status=0
  wait "$MON_PID" || status=$?
  [ "$status" -eq 0 ] || { out=$(cat "$MON_OUT") err=$(cat "$MON_ERR"); fail "monitor exited $status on SIGINT"; }
}

case_volume() {
  start_monitor
  expect_ok volume "$BAR" 37
  has "$BAR: volume 37 (controllable)"
  expect_ok --json volume "$BAR"
  has '{"address":"'"$BAR"'","volume":37,"controllable":true}'
  monitor_saw '"event":"volume","address":"'"$BAR"'","volume":37'
  # Stepping reports every changed speaker; the default step is 5.
  expect_ok volume "$BAR" up
  has "volume 42"
  monitor_saw '"event":"volume","address":"'"$BAR"'","volume":42'
  # Out of range: the service refuses, nothing changes, no event.
  expect_fail 1 volume "$BAR" 101
  err_has "result 3 (HALVO_ERROR_INVALID_PARAMETER)"
  expect_ok volume "$BAR"
  has "volume 42"
  stop_monitor
  # The scripted connection may have added a speaker that stepped too.
  [ "$(grep -c '"event":"volume","address":"'"$BAR"'"' "$MON_OUT")" -eq 2 ] ||
    { out=$(cat "$MON_OUT"); fail "expected exactly two volume events of $BAR"; }
}

case_blocked() {
  # The scenario blocks a third device 300 ms after start.
  poll_for "E2:E0:00:00:00:32" blocked list
  expect_ok --json blocked list
  has '[{"address":"E2:E0:00:00:00:30","name":"Blocked One"},{"address":"E2:E0:00:00:00:32","name":"Blocked Later"}]'
  expect_ok blocked remove E2:E0:00:00:00:30
  expect_ok --json blocked list
  has '[{"address":"E2:E0:00:00:00:32","name":"Blocked Later"}]'
  # A device that is not listed: nothing to do, still a success.
  expect_ok blocked unblock E2:E0:00:00:00:99
  expect_ok blocked remove E2:E0:00:00:00:32
  expect_ok blocked list
  has "no blocked devices"
}

case_last_speakers() {
  # The scenario connects the late speaker 1 s after the start.  Waited
  # for, then both are dropped and connected again with the monitor
  # already watching: no event can come before it does.
  poll_for '"address":"'"$LATE"'","name":"Late Speaker","icon_type":"SP","audio_type":1,"connected":true' --json last-speakers
  # The newly connected speaker leads the list; both are connected now.
  has '[{"address":"'"$LATE"'"'
  has '"address":"'"$BAR"'","name":"Bar","icon_type":"SB","audio_type":0,"connected":true'
  expect_ok disconnect-last
  expect_ok --json last-speakers
  has '"address":"'"$LATE"'","name":"Late Speaker","icon_type":"SP","audio_type":1,"connected":false'
  start_monitor
  expect_ok reconnect --ui
  monitor_saw '"event":"speaker-info","address":"'"$LATE"'"'
  monitor_saw '"event":"last-speakers"'
  stop_monitor
  expect_ok speakers
  has "$LATE  Late Speaker"
  expect_ok --json speakers --count
  has '{"connected":2}'
}

case_reconnect() {
  poll_for '"address":"'"$LATE"'","name":"Late Speaker","icon_type":"SP","audio_type":1,"connected":true' --json last-speakers
  expect_ok disconnect-last
  expect_ok --json last-speakers
  lacks '"connected":true'
  expect_ok speakers
  has "no speaker connected"
  # Followed to its end: the list printed afterwards shows the outcome.
  expect_ok reconnect --ui
  has "reconnection ended"
  has "$BAR  Bar           SB    0      yes"
  has "$LATE  Late Speaker  SP    1      yes"
}

case_failures() {
  # Started with --error get_volume_by_address.
  expect_fail 1 volume "$BAR"
  err_has "halvoctl volume: reading the volume of $BAR failed: result 5 (HALVO_ERROR_OPERATION_FAILED)"
  err_has "library: GDbus error : GDBus.Error:org.halvo.Sim.Error.Injected: injected failure of get_volume_by_address"
  [ -z "$out" ] || fail "a failed read printed a value"
  # Other methods still work; the speaker list shows the volume as unknown.
  expect_ok mute
  has "muted"
  expect_ok --json speakers
  has '"address":"'"$BAR"'","name":"Bar","icon_type":"SB","audio_type":0,"vsid":"[\"v1\"]","volume":null,"controllable":true'
  # A refusal of the service keeps its own code.
  expect_fail 1 earphones connect E2:E0:00:00:00:99
  err_has "result 3 (HALVO_ERROR_INVALID_PARAMETER)"
  # The update is accepted but fails: the result is reported, exit 1.
  expect_fail 1 fw-update
  has "firmware update result: NG"
  err_has "not updated"
  # Usage errors are told apart from failures.
  expect_fail 2 frobnicate
  err_has 'unknown command "frobnicate"'
  expect_fail 2 volume
  expect_fail 2 volume "$BAR" loud
}

case_earphones() {
  start_monitor
  expect_ok earphones connect "$BUDS"
  has "$BUDS: connected (result 0)"
  monitor_saw '"event":"earphones","address":"'"$BUDS"'","connected":true,"result":0'
  expect_ok --json earphones disconnect "$BUDS"
  has '{"address":"'"$BUDS"'","result":0,"connected":false}'
  stop_monitor
}

case_examples() {
  local ex=${HALVO_EXAMPLES:?}
  out=$("$ex/list-devices") || fail "list-devices failed"
  has "E2:E0:00:00:00:01  Test Remote               type 1, connected"
  # follow-volume prints one change, then ends by itself.
  local follow_out=$SIM_ENV_DIR/follow.out follow_err=$SIM_ENV_DIR/follow.err
  "$ex/follow-volume" 1 >"$follow_out" 2>"$follow_err" &
  local pid=$!
  sim_env_track "$pid"
  sim_env_wait 'grep -q following "$follow_err"' 50 || fail "follow-volume never got ready"
  # Its match rule reaches the bus some time after it printed: set new
  # volumes until it has seen one.
  local v status=0
  for ((v = 40; v < 70; v++)); do
    expect_ok volume "$BAR" "$v"
    if sim_env_wait "! kill -0 $pid 2>/dev/null" 2; then break; fi
  done
  ! kill -0 "$pid" 2>/dev/null || fail "follow-volume saw no volume change"
  wait "$pid" || status=$?
  out=$(cat "$follow_out")
  [ "$status" -eq 0 ] || fail "follow-volume exited $status"
  grep -qxE "$BAR: volume (4[0-9]|5[0-9]|6[0-9])" <<<"$out" || fail "follow-volume printed something else"
  [ "$(wc -l <<<"$out")" -eq 1 ] || fail "follow-volume printed more than one change"
  out=$("$ex/last-speakers") || fail "last-speakers failed"
  has "$BAR  Bar                   icon SB  connected"
}

case_help() {
  expect_ok --help
  local usage=$out cmd
  # Every command of the tool is documented, and answers --help itself.
  for cmd in devices device dont-use speakers speaker-info last-speakers reconnect disconnect-last volume \
             mute icon replace info-sync blocked earphones manufacturer command dut fw-update monitor; do
    grep -qE "^  $cmd( |\$)" <<<"$usage" || fail "halvoctl --help lacks $cmd"
    ctl "$cmd" --help
    [ "$rc" -eq 0 ] || fail "halvoctl $cmd --help exited $rc"
    has "Usage: halvoctl $cmd"
  done
  expect_ok --version
  has "halvoctl "
}

name=${1:?case}
case "$name" in
  failures) sim_env_start "$scenario" --error get_volume_by_address ;;
  help) ;;
  *) sim_env_start "$scenario" ;;
esac
"case_${name//-/_}"
sim_env_stop
echo "ok: $name"
