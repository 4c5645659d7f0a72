/* halvo-api-event-handler.cpp - events of the public signals.
 *
 * Runs in the main context of the thread that called halvo_initialize(). */
#include "halvo-api-private.h"

#include <cstring>

int g_zemo_update_result = 0;
bool g_is_zemo_update_done = false;

void _halvo_set_zemo_update_result(int result) noexcept
{
    /* The result is stored before the flag goes up, each whole: another
     * thread may be reading them. */
    __atomic_store_n(&g_zemo_update_result, result, __ATOMIC_RELEASE);
    __atomic_store_n(&g_is_zemo_update_done, true, __ATOMIC_RELEASE);
}

void _halvo_event_handler(int event, GVariant *param) noexcept
{
    if (event != HALVO_EVENT_ZEMO_FW_UPDATE_RESULT) {
        ERR("not defined event. ");
        return;
    }
    if (param == nullptr) {
        ERR("%s", "param is NULL");
        return;
    }
    /* A payload of another shape carries no result: nothing is recorded. */
    if (!halvo_core::has_type(param, "(s)")) {
        ERR("result is not a string: %s", g_variant_get_type_string(param));
        return;
    }
    const char *result = nullptr;
    g_variant_get(param, "(&s)", &result);
    DBG("result : [%s]", result);
    _halvo_set_zemo_update_result(strcmp(result, "OK") == 0 ? 1 : 0);
}
