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

# The last run of halvoctl: its stdout, its stderr and its exit status.
out="" err="" rc=0

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
# shows TEXT ARGS... : exit 0, TEXT on stdout.  refuses STATUS TEXT ARGS... :
# that exit status, TEXT on stderr.
shows() { local text=$1; shift; expect_ok "$@"; has "$text"; }
refuses() { local want=$1 text=$2; shift 2; expect_fail "$want" "$@"; err_has "$text"; }
# halvo-sim ARGS... refuses its arguments (exit 2); its output is in $err.
sim_refuses() { rc=0; err=$("$HALVO_SIM" "$@" 2>&1) || rc=$?; [ "$rc" -eq 2 ] || fail "halvo-sim took $* (exit $rc)"; }

# Polls "halvoctl ARGS" until its stdout holds TEXT (5 s).
poll_for() {
  local text=$1; shift
  local args=("$@")
  sim_env_wait 'ctl "${args[@]}"; [ "$rc" -eq 0 ] && grep -qF -- "$text" <<<"$out"' 50 || fail "halvoctl $* never showed: $text"
}

# Starts "halvoctl monitor --json" in the background; waits until it watches.
MON_OUT="" MON_ERR="" MON_PID=""
start_monitor() {
  MON_OUT=$SIM_ENV_DIR/monitor.out MON_ERR=$SIM_ENV_DIR/monitor.err
  "$HALVOCTL" --json monitor >"$MON_OUT" 2>"$MON_ERR" &
  MON_PID=$!
  sim_env_track "$MON_PID"
  sim_env_wait 'grep -q watching "$MON_ERR"' 50 || monitor_fail "monitor never got ready"
}
monitor_fail() { out=$(cat "$MON_OUT") err=$(cat "$MON_ERR"); fail "$@"; }
monitor_saw() { sim_env_wait "grep -qF -- '$1' '$MON_OUT'" 50 || monitor_fail "monitor never printed: $1"; }
stop_monitor() {
  kill -INT "$MON_PID"
  wait "$MON_PID" || monitor_fail "monitor exited $? on SIGINT"
}

case_volume() {
  start_monitor
  shows "$BAR: volume 37 (controllable)" volume "$BAR" 37
  shows '{"address":"'"$BAR"'","volume":37,"controllable":true}' --json volume "$BAR"
  monitor_saw '"event":"volume","address":"'"$BAR"'","volume":37'
  # Stepping reports every changed speaker; the default step is 5.
  shows "volume 42" volume "$BAR" up
  monitor_saw '"event":"volume","address":"'"$BAR"'","volume":42'
  # Out of range: the service refuses, nothing changes, no event.
  refuses 1 "setting the volume of $BAR failed: the service answered 3" volume "$BAR" 101
  shows "volume 42" volume "$BAR"
  # A step of a speaker that cannot be read moves no other speaker.
  poll_for '"address":"'"$LATE"'","name":"Late Speaker","icon_type":"SP","audio_type":1,"connected":true' --json last-speakers
  expect_ok sim disconnect_speaker address=$LATE
  expect_fail 1 volume "$LATE" up
  shows "volume 42" volume "$BAR"
  stop_monitor
  # The scripted connection may have added a speaker that stepped too.
  [ "$(grep -c '"event":"volume","address":"'"$BAR"'"' "$MON_OUT")" -eq 2 ] ||
    monitor_fail "expected exactly two volume events of $BAR"
}

case_blocked() {
  # The scenario blocks a third device 300 ms after start.
  poll_for "E2:E0:00:00:00:32" blocked list
  shows '{"blocked":[{"address":"E2:E0:00:00:00:30","name":"Blocked One"},{"address":"E2:E0:00:00:00:32","name":"Blocked Later"}]}' --json blocked list
  expect_ok blocked remove E2:E0:00:00:00:30
  shows '{"blocked":[{"address":"E2:E0:00:00:00:32","name":"Blocked Later"}]}' --json blocked list
  # Not listed (or not as written): not found, nothing changes.
  expect_fail 10 blocked unblock E2:E0:00:00:00:99
  expect_fail 10 blocked remove e2:e0:00:00:00:32
  expect_ok blocked remove E2:E0:00:00:00:32
  shows "no blocked devices" blocked list
  # Info-sync removal takes the key that the list shows, not the address.
  expect_ok sim info_sync_add address=E2:E0:00:00:00:50 name=Tab key=tab-1
  shows "tab-1  E2:E0:00:00:00:50  Tab" info-sync list
  refuses 10 'stored under the key "tab-1"' info-sync remove E2:E0:00:00:00:50
  expect_ok info-sync remove tab-1
  expect_ok info-sync list
  lacks "tab-1"
}

case_last_speakers() {
  # The scenario connects the late speaker 1 s after the start.  Waited
  # for, then both are dropped and connected again with the monitor
  # already watching: no event can come before it does.
  poll_for '"address":"'"$LATE"'","name":"Late Speaker","icon_type":"SP","audio_type":1,"connected":true' --json last-speakers
  # The newly connected speaker leads the list; both are connected now.
  has '{"last_speakers":[{"address":"'"$LATE"'"'
  has '"address":"'"$BAR"'","name":"Bar","icon_type":"SB","audio_type":0,"connected":true'
  expect_ok disconnect-last
  shows '"address":"'"$LATE"'","name":"Late Speaker","icon_type":"SP","audio_type":1,"connected":false' --json last-speakers
  start_monitor
  expect_ok reconnect --ui
  monitor_saw '"event":"speaker-info","address":"'"$LATE"'"'
  monitor_saw '"event":"last-speakers"'
  stop_monitor
  shows "$LATE  Late Speaker" speakers
  shows '{"connected":2}' --json speakers --count
}

case_reconnect() {
  poll_for '"address":"'"$LATE"'","name":"Late Speaker","icon_type":"SP","audio_type":1,"connected":true' --json last-speakers
  expect_ok disconnect-last
  expect_ok --json last-speakers
  lacks '"connected":true'
  shows "no speaker connected" speakers
  shows "$BAR  Bar          audio   no" devices
  # Followed to its end: the list printed afterwards shows the outcome.
  shows "reconnection ended" reconnect --ui
  has "$BAR  Bar           SB    0      yes"
  has "$LATE  Late Speaker  SP    1      yes"
  # A reconnection that ends with no speaker connected is a failure.
  expect_ok sim save "$SIM_ENV_DIR/failing.json"
  sed -i 's/"result" *: *"Connected"/"result": "Failed"/' "$SIM_ENV_DIR/failing.json"
  expect_ok sim load "$SIM_ENV_DIR/failing.json"
  expect_ok disconnect-last
  refuses 1 "the reconnection failed: none of the 2 last speakers is connected" reconnect
}

case_failures() {
  # Started with --error get_volume_by_address.
  refuses 1 "halvoctl volume: reading the volume of $BAR failed: error reply" volume "$BAR"
  [ -z "$out" ] || fail "a failed read printed a value"
  expect_fail 1 --json volume "$BAR"
  has '"failure":"error reply"'
  # Other methods still work; the speaker list shows the volume as unknown.
  shows "muted" mute
  refuses 1 "partial answer: the service did not tell the volume of $BAR" --json speakers
  shows '"address":"'"$BAR"'","name":"Bar","icon_type":"SB","audio_type":0,"vsid":["v1"],"volume":null,"controllable":true' --partial-ok --json speakers
  # A refusal of the service keeps its own code.
  refuses 1 "the service answered 3" earphones connect E2:E0:00:00:00:99
  # The update is accepted but fails: the result is reported, exit 1.
  refuses 1 "not updated" fw-update
  has "firmware update result: NG"
  # Usage errors are told apart from failures.
  refuses 2 'unknown command "frobnicate"' frobnicate
  expect_fail 2 volume
}

case_earphones() {
  start_monitor
  shows "$BUDS: connected (result 0)" earphones connect "$BUDS"
  monitor_saw '"event":"earphones","address":"'"$BUDS"'","connected":true,"result":0'
  shows '{"address":"'"$BUDS"'","result":0,"connected":false}' --json earphones disconnect "$BUDS"
  stop_monitor
}

# The monitor follows the service leaving and coming back, and ends when
# the bus goes.
case_monitor_service() {
  start_monitor
  sim_env_kill "$SIM_ENV_SIM_PID"; SIM_ENV_SIM_PID=""
  monitor_saw '"event":"service","name":"com.marlox.tv.bt.connectionmanager","present":false'
  # Stored data is served, with a warning that it may be stale.
  expect_ok last-speakers
  err_has "the service is not on the bus"
  sim_env_start_sim "$scenario"
  monitor_saw '"event":"service","name":"com.marlox.tv.bt.connectionmanager","present":true'
  expect_ok sim volume address=$BAR volume=9
  monitor_saw '"event":"volume","address":"'"$BAR"'","volume":9'
  sim_env_kill "$SIM_ENV_BUS_PID"; SIM_ENV_BUS_PID=""
  monitor_saw '"event":"bus-closed"'
  local status=0
  wait "$MON_PID" || status=$?
  [ "$status" -eq 8 ] || fail "monitor exited $status when the bus went"
  sim_env_wait "! kill -0 $SIM_ENV_SIM_PID 2>/dev/null" 50 || fail "halvo-sim outlived the bus"
  ! wait "$SIM_ENV_SIM_PID" || fail "halvo-sim exited 0 when the bus went"
  SIM_ENV_SIM_PID=""
  grep -q "the bus went away" "$SIM_ENV_DIR/sim.log" || fail "halvo-sim did not say the bus went away"
}

case_examples() {
  local ex=${HALVO_EXAMPLES:?} suffix
  # The C programs and their C++ twins print the same.
  for suffix in "" -cxx; do
    out=$("$ex/list-devices$suffix") || fail "list-devices$suffix failed"
    has "E2:E0:00:00:00:01  Test Remote               type 1, connected"
    follow_volume "follow-volume$suffix"
  done
  out=$("$ex/last-speakers") || fail "last-speakers failed"
  has "$BAR  Bar                   icon SB  connected"
  out=$("$ex/volume-screen-cxx") || fail "volume-screen-cxx exited $?"
  grep -qE "^refreshed at frame [0-9]+$" <<<"$out" || fail "volume-screen-cxx did not refresh"
  own_loop "$ex/poll-loop"
}

# Qt's own dispatcher, not GLib's, drives the library's descriptor.
case_examples_qt() { own_loop env QT_NO_GLIB=1 "$HALVO_QT_VOLUME"; }

# COMMAND..., on a loop of its own, reads the volume of $BAR, sets it one
# step away and hears that change; the service stays present throughout.
own_loop() {
  local status=0 v to
  out=$("$@" "$BAR" 2>"$SIM_ENV_DIR/loop.err") || status=$?
  err=$(cat "$SIM_ENV_DIR/loop.err")
  [ "$status" -eq 0 ] || fail "$* exited $status"
  v=$(sed -n 's/^read: volume \([0-9]*\)$/\1/p' <<<"$out")
  [ -n "$v" ] || fail "$* read no volume"
  to=$((v < 100 ? v + 1 : v - 1))
  grep -qx "set: volume $to" <<<"$out" || fail "$* did not set $to"
  grep -qx "changed: $BAR volume $to" <<<"$out" || fail "$* heard no change to $to"
  lacks "service absent"
}

# PROGRAM prints one volume change, then ends by itself.
follow_volume() {
  local name=$1 follow_out=$SIM_ENV_DIR/$1.out follow_err=$SIM_ENV_DIR/$1.err
  "$ex/$name" 1 >"$follow_out" 2>"$follow_err" &
  local pid=$!
  sim_env_track "$pid"
  sim_env_wait 'grep -q following "$follow_err"' 50 || fail "$name never got ready"
  # Its match rule reaches the bus some time after it printed: set new
  # volumes until it has seen one.
  local v status=0
  for ((v = 40; v < 70; v++)); do
    expect_ok volume "$BAR" "$v"
    if sim_env_wait "! kill -0 $pid 2>/dev/null" 2; then break; fi
  done
  ! kill -0 "$pid" 2>/dev/null || fail "$name saw no volume change"
  wait "$pid" || status=$?
  out=$(cat "$follow_out")
  [ "$status" -eq 0 ] || fail "$name exited $status"
  grep -qxE "$BAR: volume (4[0-9]|5[0-9]|6[0-9])" <<<"$out" || fail "$name printed something else"
  [ "$(wc -l <<<"$out")" -eq 1 ] || fail "$name printed more than one change"
}

# halvoctl sim ARGS | a reading command | what it prints ("!": what it no
# longer prints) | what the monitor prints (nothing when the library has no
# event for it).  Targets avoid the scenario's own scripted events.
PORCH=E2:E0:00:00:00:12
SIM_ACTIONS=(
  "add_device address=E2:E0:00:00:00:40 name=Pad type=3|devices|E2:E0:00:00:00:40  Pad|"
  "remove_device address=E2:E0:00:00:00:01|devices|!Test Remote|"
  "connect_speaker address=$PORCH name=Porch|speakers|$PORCH  Porch|\"address\":\"$PORCH\",\"name\":\"Porch\",\"connected\":true"
  "speaker_info address=$PORCH name=Porch2 iconType=HP audioType=2|--json speakers|\"address\":\"$PORCH\",\"name\":\"Porch2\",\"icon_type\":\"HP\",\"audio_type\":1|\"event\":\"speaker-info\",\"address\":\"$PORCH\",\"name\":\"Porch2\",\"icon_type\":\"HP\""
  "volume address=$BAR volume=33|volume $BAR|volume 33|\"event\":\"volume\",\"address\":\"$BAR\",\"volume\":33"
  "controllable address=$BAR controllable=false|volume $BAR|(not controllable)|\"event\":\"controllable\",\"address\":\"$BAR\",\"controllable\":false"
  "disconnect_speaker address=$PORCH|speakers|!$PORCH|\"event\":\"speaker-info\",\"speaker\":null"
  "mute mute=true|--json mute status|{\"muted\":true}|\"event\":\"mute\",\"muted\":true"
  "block address=E2:E0:00:00:00:33 name=Now|blocked list|E2:E0:00:00:00:33  Now|{\"address\":\"E2:E0:00:00:00:33\",\"name\":\"Now\"}]"
  "unblock address=E2:E0:00:00:00:30|blocked list|!Blocked One|\"event\":\"blocked\",\"devices\":[{\"address\":\"E2:E0:00:00:00:32\""
  "info_sync_add address=E2:E0:00:00:00:50 name=Tab key=tab-1|info-sync list|E2:E0:00:00:00:50  Tab|\"event\":\"info-sync\",\"devices\":[{\"address\":\"E2:E0:00:00:00:50\""
  "earphone address=$BUDS connected=true result=0|||\"event\":\"earphones\",\"address\":\"$BUDS\",\"connected\":true,\"result\":0"
  "fw_result result=OK|||\"event\":\"firmware\",\"result\":\"OK\""
  "connecting_status status=InProgress|||\"event\":\"connecting\",\"status\":1"
)

case_sim_actions() {
  start_monitor
  local row args reader want event
  for row in "${SIM_ACTIONS[@]}"; do
    IFS='|' read -r args reader want event <<<"$row"
    # shellcheck disable=SC2086 # the words of the row
    expect_ok sim $args
    if [ -n "$reader" ]; then
      # shellcheck disable=SC2086
      expect_ok $reader
      if [ "${want:0:1}" = "!" ]; then lacks "${want:1}"; else has "$want"; fi
    fi
    [ -z "$event" ] || monitor_saw "$event"
  done
  stop_monitor
}

# halvoctl sim fault KIND | exit status of "volume" then | what it prints.
SIM_FAULTS=(
  "error|1|failed: error reply"
  "latency=300|0|volume 20"
  "silent|1|failed: timed out"
  "clear|0|volume 20"
)

case_sim_fault() {
  local row kind status text start ms
  for row in "${SIM_FAULTS[@]}"; do
    IFS='|' read -r kind status text <<<"$row"
    expect_ok sim fault get_volume_by_address "$kind"
    start=$(date +%s%N)
    expect_fail "$status" volume "$BAR"
    ms=$((($(date +%s%N) - start) / 1000000))
    if [ "$status" -eq 0 ]; then has "$text"; else err_has "$text"; fi
    # Silenced, the call fails at the library's bound of 5 s, not before.
    [ "$kind" != silent ] || [ "$ms" -ge 4900 ] || fail "the silenced call failed after $ms ms"
  done
  # The held call was answered when the fault was cleared.
  [ "$(grep -cF 'call get_volume_by_address (' "$SIM_ENV_DIR/sim.log")" -eq 3 ] ||
    fail "expected three answered calls of get_volume_by_address"
}

case_sim_save_load() {
  local saved=$SIM_ENV_DIR/saved.json before
  expect_ok sim volume address=$BAR volume=44
  expect_ok sim add_device address=E2:E0:00:00:00:40 name=Pad
  expect_ok sim fault spk_vol_up error
  expect_ok sim save "$saved"
  # Loaded, the saved state has no scripted events left to change it.
  expect_ok sim load "$saved"
  expect_ok --json sim state
  before=$out
  expect_ok sim volume address=$BAR volume=5
  expect_ok sim remove_device address=E2:E0:00:00:00:40
  expect_ok sim fault spk_vol_up clear
  expect_ok blocked remove E2:E0:00:00:00:30
  expect_ok sim load "$saved"
  expect_ok --json sim state
  [ "$out" = "$before" ] || fail "the state after the load differs: $before"
  shows "volume 44" volume "$BAR"
  shows "E2:E0:00:00:00:40" devices
  shows "Blocked One" blocked list
  expect_fail 1 volume up
  # Back to the scenario the simulator started with.
  expect_ok sim reset
  shows "volume 20" volume "$BAR"
}

# halvoctl sim ARGS | the same event in a scenario file | the loader's
# message after the event's place.
SIM_BAD=(
  'frob address=X|{"action":"frob","address":"X"}|.action: unknown action "frob"'
  'volume address=X volume=loud|{"action":"volume","address":"X","volume":"loud"}|.volume: expected a 32-bit integer'
  'volume address=X volume=101|{"action":"volume","address":"X","volume":101}|.volume: must be 0..100'
  'volume volume=3|{"action":"volume","volume":3}|.address: required'
  'mute mute=1 colour=red|{"action":"mute","mute":1,"colour":"red"}|.colour: not a member of "mute"'
)

case_sim_bad() {
  local row args event msg bad=$SIM_ENV_DIR/bad.json
  for row in "${SIM_BAD[@]}"; do
    IFS='|' read -r args event msg <<<"$row"
    # shellcheck disable=SC2086
    refuses 2 "halvoctl sim: event$msg" sim $args
    printf '{"events": [%s]}\n' "$event" >"$bad"
    sim_refuses --scenario "$bad"
    err_has "$bad: events[0]$msg"
  done
  refuses 2 'unknown method "no_such_method"' sim fault no_such_method silent
  err_has "spk_vol_up"
  sim_refuses --no-reply spk_vol_up,no_such_method
  err_has 'unknown method "no_such_method"'
  err_has "get_volume_by_address"
  out=$("$HALVO_SIM" --help)
  has "default"
  has "ZEMOFW"
  expect_fail 2 sim volume address
  refuses 1 "no speaker E2:E0:00:00:00:99" sim volume address=E2:E0:00:00:00:99 volume=3
  # A second simulator finds every name taken: it says so and releases
  # none of them (GLib would warn).
  rc=0
  err=$("$HALVO_SIM" --quiet --scenario "$scenario" --store-root "$SIM_ENV_DIR/second" 2>&1 >/dev/null) || rc=$?
  [ "$rc" -eq 1 ] || fail "a second halvo-sim exited $rc"
  err_has "cannot own org.halvo.Simulator: another process on the bus has it"
  ! grep -q GLib <<<"$err" || fail "a second halvo-sim: $err"
}

# Exit status | ARGS ("-" in the first column: after the simulator left).
# With --json, stdout carries the same status as {"error": {"code": N}}.
EXIT_CODES=(
  "0|volume $BAR"
  "1|volume $BAR 101"
  "2|volume $BAR loud"
  "10|blocked remove E2:E0:00:00:00:99"
  "10|device E2:E0:00:00:00:99"
  "10|volume E2:E0:00:00:00:99 up"
  "0|sim fault get_volume_by_address silent"
  "3|--timeout 1 volume $BAR"
  "0|sim fault ZEMOFW silent"
  "3|--timeout 1 fw-update"
  "0|sim fault get_volume_by_address clear"
  "0|sim fault ZEMOFW clear"
  "-8|volume $BAR"
  "-8|fw-update"
  "-8|sim state"
)

case_exit_codes() {
  local row want args start
  for row in "${EXIT_CODES[@]}"; do
    IFS='|' read -r want args <<<"$row"
    if [ "${want:0:1}" = - ] && [ -n "$SIM_ENV_SIM_PID" ]; then
      sim_env_kill "$SIM_ENV_SIM_PID"; SIM_ENV_SIM_PID=""
    fi
    want=${want#-}
    start=$(date +%s%N)
    # shellcheck disable=SC2086
    expect_fail "$want" $args
    [ "$want" -ne 8 ] || err_has "is not on the bus (nobody owns "
    [ "$want" -ne 3 ] || err_has "timed out after 1 s (--timeout)"
    # Within --timeout, not after the library's own bound of 5 s.
    [ "$want" -ne 3 ] || [ $((($(date +%s%N) - start) / 1000000)) -lt 4000 ] || fail "halvoctl $args took too long"
    [ "$want" -eq 0 ] && continue
    # shellcheck disable=SC2086
    expect_fail "$want" --json $args
    python3 -c 'import json,sys; sys.exit(json.loads(sys.stdin.read())["error"]["code"] != int(sys.argv[1]))' "$want" \
      <<<"$out" || fail "not a JSON error object of code $want"
  done
  # The read that --timeout cancelled was made: the simulator held it.
  grep -qF "call get_volume_by_address: left unanswered" "$SIM_ENV_DIR/sim.log" || fail "no held read in the log"
}

# ARGS (with --json) | a Python test of the parsed stdout, d.
JSON_SHAPES=(
  'devices|d["devices"][0]["device_type"] == 1 and d["devices"][0]["device_type_name"] == "remote"'
  'speakers|d["speakers"][0]["vsid"] == ["v1"] and d["partial"] is False'
  'command status|d["result"] == 0 and d["response"]["muted"] is False'
  'command version|d["response"].startswith("halvo-sim ")'
  'dont-use status E2:E0:00:00:00:01|d["status"] == 0 and d["status_name"] == "use"'
  'blocked remove E2:E0:00:00:00:30|d == {"address": "E2:E0:00:00:00:30", "blocked": False}'
  'info-sync list|d == {"info_sync": []}'
  'sim fault spk_vol_up clear|d == {"method": "spk_vol_up", "fault": "clear"}'
  'mute on|d == {"muted": True}'
  'mute on|d == {"muted": True}'
  'mute off|d == {"muted": False}'
)

case_json() {
  local row args test
  start_monitor
  for row in "${JSON_SHAPES[@]}"; do
    IFS='|' read -r args test <<<"$row"
    # shellcheck disable=SC2086
    expect_ok --json $args
    python3 -c "import json,sys; d = json.loads(sys.stdin.read()); sys.exit(0 if ($test) else 1)" <<<"$out" ||
      fail "halvoctl --json $args: not $test"
  done
  # Monitor lines: one object each, time stamps in RFC 3339, names beside numbers.
  expect_ok sim connecting_status status=InProgress
  monitor_saw '"status_name":"in-progress"'
  python3 -c '
import json, re, sys
for line in open(sys.argv[1]):
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d", json.loads(line)["time"]), line
' "$MON_OUT" || fail "monitor time stamps are not RFC 3339"
  stop_monitor
  expect_ok -q sim fault spk_vol_up clear
  [ -z "$out" ] || fail "-q printed a confirmation"
  # Completion offers the commands, and the addresses the simulator knows.
  . "$here/../../tools/completion/halvoctl.bash"
  complete_words dev
  [ "$out" = "devices device" ] || [ "$out" = "device devices" ] || fail "completion of dev: $out"
  complete_words volume E2:E0:00:00:00:1
  has "$BAR"
}

# The completions of the last of WORDS after "halvoctl", into $out.
complete_words() { COMP_WORDS=("$HALVOCTL" "$@") COMP_CWORD=$#; _halvoctl; out="${COMPREPLY[*]}"; }

# scripts/sim-shell.sh with a "shell" that runs one command: it finds the
# bus, the store and halvoctl, and leaving it stops the simulator and bus.
case_shell() {
  local dir pid status=0
  dir=$(mktemp -d)
  printf '#!/bin/sh\nhalvoctl devices >"%s/devices"\necho "$HALVO_SIM_PID $HALVO_BUS_PID" >"%s/pids"\n' \
    "$dir" "$dir" >"$dir/shell"
  chmod +x "$dir/shell"
  out=$(SHELL=$dir/shell bash "$here/../../scripts/sim-shell.sh" "$scenario") || status=$?
  [ "$status" -eq 0 ] || fail "sim-shell exited $status"
  has "simulator and bus stopped"
  out=$(cat "$dir/devices")
  has "E2:E0:00:00:00:01  Test Remote"
  [ "$(wc -w <"$dir/pids")" -eq 2 ] || fail "the shell saw no simulator and bus pids"
  for pid in $(cat "$dir/pids"); do
    ! kill -0 "$pid" 2>/dev/null || fail "process $pid outlived the shell"
  done
  rm -rf "$dir"
}

case_help() {
  expect_ok --help
  local usage=$out cmd
  # Every command of the tool is documented, and answers --help itself.
  for cmd in devices device dont-use speakers speaker-info last-speakers reconnect disconnect-last volume \
             mute icon replace info-sync blocked earphones manufacturer command dut fw-update monitor sim; do
    grep -qE "^  $cmd( |\$)" <<<"$usage" || fail "halvoctl --help lacks $cmd"
    shows "Usage: halvoctl $cmd" "$cmd" --help
  done
  shows "halvoctl " --version
  shows "left or right" dut --help
  # Bare: a short usage on stderr.  A typo: the likely command.
  expect_fail 2
  [ -z "$out" ] && [ "$(wc -l <<<"$err")" -lt 15 ] || fail "bare halvoctl: not a short usage on stderr"
  refuses 2 'did you mean "devices"?' devics
}

name=${1:?case}
case "$name" in
  failures) sim_env_start "$scenario" --error get_volume_by_address ;;
  help|shell) ;;
  examples-qt)
    [ -n "${HALVO_QT_VOLUME:-}" ] || { echo "skipped: Qt 6 was not found, qt-volume is not built"; exit 77; }
    sim_env_start "$scenario" ;;
  *) sim_env_start "$scenario" ;;
esac
"case_${name//-/_}"
sim_env_stop
echo "ok: $name"
