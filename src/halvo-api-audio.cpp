/* halvo-api-audio.cpp - the public speaker operations. */
#include "halvo-api-private.h"
