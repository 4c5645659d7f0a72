/* halvo-api-audio.cpp - the public speaker operations: last speakers,
 * their reconnection, icons and replacement.  Each logs its entry, checks
 * what its caller must not get wrong, and forwards to its twin in
 * halvo-api-internal.cpp, which does the work. */
#include "halvo-api-private.h"

using halvo_core::plain_result;

int halvo_get_last_bluetooth_speakers(GSList **list) noexcept
{
    INFO("+");
    return halvo_get_last_bluetooth_speakers_internal(list);
}

int halvo_free_last_bluetooth_speakers(GSList **list) noexcept
{
    if (list == nullptr || *list == nullptr) {
        ERR("List is NULL!!");
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    }
    ENTER();
    int ret = halvo_free_last_bluetooth_speakers_internal(list);
    EXIT();
    return ret;
}

int halvo_set_last_bluetooth_speakers_changed_cb(halvo_last_bluetooth_speakers_changed_cb callback,
                                                 void *user_data) noexcept
{
    INFO("+");
    if (callback == nullptr) {
        ERR("cb is NULL!!");
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    }
    return halvo_set_last_bluetooth_speakers_changed_cb_internal(callback, user_data);
}

int halvo_unset_last_bluetooth_speakers_changed_cb(void) noexcept
{
    INFO("+");
    return halvo_unset_last_bluetooth_speakers_changed_cb_internal();
}

int halvo_connect_to_last_bluetooth_speakers(bool show_connecting_ui) noexcept
{
    INFO("+");
    return halvo_connect_to_last_bluetooth_speakers_internal(show_connecting_ui);
}

int halvo_disconnect_to_last_bluetooth_speakers(void) noexcept
{
    INFO("+");
    return halvo_disconnect_to_last_bluetooth_speakers_internal();
}

int halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(
    halvo_last_bluetooth_speakers_connecting_status_changed_cb callback, void *user_data) noexcept
{
    INFO("+");
    if (callback == nullptr) {
        ERR("%s", "cb is NULL!!");
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    }
    return halvo_set_last_bluetooth_speakers_connecting_status_changed_cb_internal(callback, user_data);
}

int halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb(void) noexcept
{
    INFO("+");
    return halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb_internal();
}

int halvo_api_get_last_bluetooth_speaker_icon_path(const char *icon_type, char **path) noexcept
{
    INFO("+");
    return halvo_api_get_last_bluetooth_speaker_icon_path_internal(icon_type, path);
}

int halvo_api_replace_current_speaker(const char *address) noexcept
{
    INFO("+");
    return halvo_api_replace_current_speaker_internal(address);
}
