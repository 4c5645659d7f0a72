/* halvo-api-info-sync.cpp - the info-sync device list. */
#include "halvo-api-private.h"
