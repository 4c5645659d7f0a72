/* halvo-api-internal.cpp - speaker internals: connected and last speakers, reconnection, volume, icons. */
#include "halvo-api-private.h"
