/* sim-control.h - the names of halvo-sim's control interface, shared by the
 * simulator and halvoctl. */
#ifndef HALVO_TOOLS_SIM_CONTROL_H
#define HALVO_TOOLS_SIM_CONTROL_H

#define SIM_CONTROL_NAME "org.halvo.Simulator"
#define SIM_CONTROL_PATH "/org/halvo/Simulator"
#define SIM_CONTROL_INTERFACE "org.halvo.Simulator1"

/* A request the scenario loader would refuse: a usage error for halvoctl. */
#define SIM_CONTROL_ERROR_INVALID SIM_CONTROL_INTERFACE ".Error.Invalid"
/* A valid request that found nothing to act on. */
#define SIM_CONTROL_ERROR_FAILED SIM_CONTROL_INTERFACE ".Error.Failed"

#endif
