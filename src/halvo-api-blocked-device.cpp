/* halvo-api-blocked-device.cpp - the pairing-blocked device list. */
#include "halvo-api-private.h"
