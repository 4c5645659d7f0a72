/* halvo-api-common.cpp - the result-callback registry. */
#include "halvo-api-private.h"
