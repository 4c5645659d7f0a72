# sim-env.sh - sourced by the demo and the end-to-end tests: a private bus
# with halvo-sim on it, and a store root of its own.
#
#   HALVO_SIM=/path/to/halvo-sim
#   . tools/sim-env.sh
#   sim_env_start SCENARIO [halvo-sim options...]   # exports DBUS_SYSTEM_BUS_ADDRESS, VALKO_ROOT
#   sim_env_start_sim SCENARIO [options...]         # the simulator again, after it stopped
#   ... halvoctl ...
#   sim_env_stop                                    # also runs on exit
#
# Every process it starts is stopped by its pid; nothing is left behind.

SIM_ENV_DIR=""
SIM_ENV_BUS_PID=""
SIM_ENV_SIM_PID=""
SIM_ENV_PIDS=()   # further background processes to stop (sim_env_track PID)

# Waits up to $2 tenths of a second for the command $1 to succeed.
sim_env_wait() {
  local cond=$1 tenths=$2 i
  for ((i = 0; i < tenths; i++)); do
    if eval "$cond"; then return 0; fi
    sleep 0.1
  done
  eval "$cond"
}

sim_env_track() { SIM_ENV_PIDS+=("$1"); }

# sim_env_build TOP DIR: unless HALVO_SIM and HALVOCTL name built programs,
# installs what is missing and builds both in TOP/DIR (its output in
# DIR/build.log).  Exports both.
sim_env_build() {
  local top=$1 dir=$2
  if [ -z "${HALVO_SIM:-}" ] || [ -z "${HALVOCTL:-}" ]; then
    "$top/scripts/install-deps.sh"
    echo "building halvo-sim and halvoctl ($dir)"
    mkdir -p "$top/$dir"
    if ! { cmake -S "$top" -B "$top/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DHALVO_BUILD_TESTS=OFF &&
           cmake --build "$top/$dir" --target halvo-sim halvoctl -j"$(nproc)"; } >"$top/$dir/build.log" 2>&1; then
      echo "sim-env: the build failed; its output is in $top/$dir/build.log" >&2
      return 1
    fi
    HALVO_SIM=$top/$dir/tools/halvo-sim
    HALVOCTL=$top/$dir/tools/halvoctl
  fi
  export HALVO_SIM HALVOCTL
}

sim_env_start() {
  local scenario=$1; shift
  SIM_ENV_DIR=$(mktemp -d "${TMPDIR:-/tmp}/halvo-sim-env.XXXXXX")
  trap sim_env_stop EXIT
  dbus-daemon --session --nofork --print-address=3 3>"$SIM_ENV_DIR/bus-address" 2>"$SIM_ENV_DIR/dbus.log" &
  SIM_ENV_BUS_PID=$!
  if ! sim_env_wait '[ -s "$SIM_ENV_DIR/bus-address" ]' 50; then
    echo "sim-env: dbus-daemon printed no address" >&2
    return 1
  fi
  DBUS_SYSTEM_BUS_ADDRESS=$(head -n1 "$SIM_ENV_DIR/bus-address")
  VALKO_ROOT=$SIM_ENV_DIR/store
  export DBUS_SYSTEM_BUS_ADDRESS VALKO_ROOT
  mkdir -p "$VALKO_ROOT"
  sim_env_start_sim "$scenario" "$@"
}

# (Re)starts the simulator on the bus already running; its log replaces
# the last one.
sim_env_start_sim() {
  local scenario=$1; shift
  # Emptied here, not only by the child's redirection: until the child has
  # run, the wait below would read the last simulator's "ready".
  : >"$SIM_ENV_DIR/sim.log"
  "$HALVO_SIM" --system --scenario "$scenario" "$@" >"$SIM_ENV_DIR/sim.log" 2>&1 &
  SIM_ENV_SIM_PID=$!
  if ! sim_env_wait 'grep -q "halvo-sim: ready" "$SIM_ENV_DIR/sim.log" || ! kill -0 $SIM_ENV_SIM_PID 2>/dev/null' 100 ||
     ! grep -q "halvo-sim: ready" "$SIM_ENV_DIR/sim.log"; then
    local status=running
    kill -0 "$SIM_ENV_SIM_PID" 2>/dev/null || { status=0; wait "$SIM_ENV_SIM_PID" || status=$?; }
    echo "sim-env: halvo-sim did not get ready (status $status):" >&2
    cat "$SIM_ENV_DIR/sim.log" >&2
    return 1
  fi
}

# Stops a process by pid: SIGTERM, then SIGKILL after 5 s.  Sets
# SIM_ENV_STATUS to its exit status.
SIM_ENV_STATUS=0
sim_env_kill() {
  local pid=$1
  SIM_ENV_STATUS=0
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || SIM_ENV_STATUS=$?; return 0; }
  sim_env_wait "! kill -0 $pid 2>/dev/null" 50 || kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null || SIM_ENV_STATUS=$?
}

# Fails when the simulator did not stop cleanly (a crash, or a leak found
# by a sanitizer), after showing its log.
sim_env_stop() {
  local pid sim_status
  for pid in "${SIM_ENV_PIDS[@]}"; do sim_env_kill "$pid"; done
  SIM_ENV_PIDS=()
  sim_env_kill "$SIM_ENV_SIM_PID"; sim_status=$SIM_ENV_STATUS
  if [ -n "$SIM_ENV_SIM_PID" ] && [ "$sim_status" -ne 0 ]; then
    echo "sim-env: halvo-sim exited with status $sim_status" >&2
    sim_env_log >&2
  fi
  SIM_ENV_SIM_PID=""
  sim_env_kill "$SIM_ENV_BUS_PID"; SIM_ENV_BUS_PID=""
  if [ -n "$SIM_ENV_DIR" ]; then rm -rf "$SIM_ENV_DIR"; SIM_ENV_DIR=""; fi
  return "$sim_status"
}

# The simulator's log so far (for a failing test's output).
sim_env_log() { [ -n "$SIM_ENV_DIR" ] && cat "$SIM_ENV_DIR/sim.log"; }
