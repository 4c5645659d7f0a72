/* halvo-api.cpp - lifecycle, paired devices, device policy, manufacturer
 * data, the device-under-test mode and the firmware-update entry point. */
#include "halvo-api-private.h"

#include <cstdlib>
#include <cstring>

using namespace halvo;

/* True from a successful halvo_initialize() to the next halvo_deinitialzie(). */
static bool initialized = false;

int halvo_initialize(void) noexcept
{
    if (initialized)
        return HALVO_ERROR_ALREADY_INITIALIZED;
    /* A failed subscription is logged where it happens; the library still
     * counts as initialised. */
    _halvo_api_init_gdbus();
    initialized = true;
    return HALVO_ERROR_NONE;
}

int halvo_deinitialzie(void) noexcept
{
    if (!initialized)
        return HALVO_ERROR_NOT_INITIALIZED;
    initialized = false;
    _halvo_api_deinit_gdbus();
    return HALVO_ERROR_NONE;
}
