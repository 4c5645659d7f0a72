/* halvo-api-tuvo-switching.cpp - wireless earphone switching. */
#include "halvo-api-private.h"
