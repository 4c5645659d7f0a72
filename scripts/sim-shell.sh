#!/usr/bin/env bash
# sim-shell.sh [SCENARIO [halvo-sim options...]] - a desk to develop
# against the simulator, in one command.
#
# Installs what is missing, builds halvo-sim and halvoctl (build/desk),
# starts a private bus with halvo-sim on it (the default scenario unless
# given), and opens $SHELL with DBUS_SYSTEM_BUS_ADDRESS and VALKO_ROOT
# exported, both programs on PATH and the simulator's log in a file.
# Leaving the shell stops the simulator and the bus.  With HALVO_SIM and
# HALVOCTL set to built programs it skips installing and building.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD

. "$top/tools/sim-env.sh"
sim_env_build "$top" build/desk

sim_env_start "${1:-default}" "${@:2}"
export HALVO_SIM_LOG=$SIM_ENV_DIR/sim.log HALVO_SIM_PID=$SIM_ENV_SIM_PID HALVO_BUS_PID=$SIM_ENV_BUS_PID
cat <<INFO
bus:        DBUS_SYSTEM_BUS_ADDRESS=$DBUS_SYSTEM_BUS_ADDRESS
store:      VALKO_ROOT=$VALKO_ROOT
simulator:  log in \$HALVO_SIM_LOG ($HALVO_SIM_LOG); drive it with "halvoctl sim ..."
Try "halvoctl devices" or "halvoctl monitor".  Leave the shell to stop everything.
INFO
status=0
PATH=$(dirname "$HALVOCTL"):$(dirname "$HALVO_SIM"):$PATH "${SHELL:-/bin/bash}" || status=$?
sim_env_stop
echo "simulator and bus stopped"
exit "$status"
