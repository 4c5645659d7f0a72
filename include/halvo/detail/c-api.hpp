/**
 * @file halvo/detail/c-api.hpp
 * @brief The C functions the C++ layer calls, declared without halvo-api.h.
 *
 * Internal to the C++ headers.  Each declaration has exactly the type of
 * the C header's, so that a file may include both; GLib's types are named
 * through their struct tags, which are GLib's own, so no GLib header is
 * needed.  Functions whose C types a declaration cannot repeat (records,
 * enumerations, the firmware globals, GLib's calls) are reached through
 * the library's halvo_cxx_ functions, which speak int, bool and text, and
 * hand each record's fields to a visitor.
 */
#ifndef HALVO_DETAIL_C_API_HPP
#define HALVO_DETAIL_C_API_HPP

/** @cond INTERNAL */
struct _GSList;
struct _GAsyncResult;
struct _GCancellable;
struct _GObject;

namespace halvo {
inline namespace v1 {
namespace detail {

/* GLib's names, in this namespace only. */
using GSList = ::_GSList;
using GAsyncResult = ::_GAsyncResult;
using GCancellable = ::_GCancellable;
using GObject = ::_GObject;
using GAsyncReadyCallback = void (*)(GObject *source, GAsyncResult *result, void *user_data);
using BlockedVisit = bool (*)(const char *address, char *name, void *user_data);

/* What the halvo_cxx_ walks hand over: @out as given, then the record's
 * fields (text NULL when absent, and valid during the call only). */
using DeviceVisit = void (*)(void *out, const char *address, const char *name, bool dont_use, bool connected,
                             int profile, int device_type, const char *service_name, const char *provider_name,
                             int vid, int pid) noexcept;
using SpeakerVisit = void (*)(void *out, const char *vsid, const char *address, const char *name,
                              const char *icon_type, int audio_type) noexcept;
using LastSpeakerVisit = void (*)(void *out, bool connected, const char *address, const char *name,
                                  const char *icon_type, int audio_type) noexcept;
using InfoSyncVisit = void (*)(void *out, const char *address, const char *name) noexcept;
/* A refresh's record: the speaker (all absent when it had none), then
 * each read's result, value and failure kind. */
using SpeakerVolumeVisit = void (*)(void *out, const char *vsid, const char *address, const char *name,
                                    const char *icon_type, int audio_type, int volume_result, int volume,
                                    int volume_failure, int controllable_result, bool controllable,
                                    int controllable_failure) noexcept;

#pragma GCC visibility push(default)
extern "C" {

/* The library's own, for this layer. */
int halvo_cxx_last_failure(void) noexcept;
const char *halvo_cxx_failure_name(int failure) noexcept;
unsigned long halvo_cxx_connect(int event, void (*callback)(void), void *user_data,
                                void (*destroy)(void *) noexcept) noexcept;
/* -1 before a firmware result came, else 1 for "OK" and 0 for any other. */
int halvo_cxx_firmware_result(void) noexcept;
void halvo_cxx_clear_firmware_result(void) noexcept;
int halvo_cxx_paired_device(const char *address, DeviceVisit visit, void *out) noexcept;
int halvo_cxx_paired_device_finish(GAsyncResult *result, DeviceVisit visit, void *out) noexcept;
int halvo_cxx_set_speaker_info(const char *vsid, const char *address, const char *name, const char *icon_type,
                               int audio_type) noexcept;
void halvo_cxx_set_speaker_info_async(const char *vsid, const char *address, const char *name,
                                      const char *icon_type, int audio_type, GCancellable *cancellable,
                                      GAsyncReadyCallback callback, void *user_data) noexcept;
unsigned int halvo_cxx_list_length(const GSList *list) noexcept;
void halvo_cxx_walk_devices(const GSList *list, DeviceVisit visit, void *out) noexcept;
void halvo_cxx_walk_speakers(const GSList *list, SpeakerVisit visit, void *out) noexcept;
void halvo_cxx_visit_speaker(const void *speaker, SpeakerVisit visit, void *out) noexcept;
void halvo_cxx_walk_last_speakers(const GSList *list, LastSpeakerVisit visit, void *out) noexcept;
void halvo_cxx_walk_info_sync_devices(const GSList *list, InfoSyncVisit visit, void *out) noexcept;
void halvo_cxx_walk_speaker_volumes(const GSList *list, SpeakerVolumeVisit visit, void *out) noexcept;
GCancellable *halvo_cxx_cancellable_new(void) noexcept;
void halvo_cxx_cancellable_cancel(GCancellable *cancellable) noexcept;
void halvo_cxx_cancellable_unref(GCancellable *cancellable) noexcept;
/* Runs @fn(@data) once from an idle of the thread-default main context;
 * @destroy(@data) runs after it, or when the context goes without it. */
void halvo_cxx_idle(int (*fn)(void *) noexcept, void *data, void (*destroy)(void *) noexcept) noexcept;
void halvo_cxx_free(void *memory) noexcept;

/* The C header's, as it declares them. */
int halvo_initialize(void) noexcept;
int halvo_deinitialzie(void) noexcept;
void halvo_api_disconnect(unsigned long id) noexcept;
bool halvo_api_service_present(void) noexcept;

int halvo_get_paired_dev_info_list(GSList **list) noexcept;
int halvo_free_paired_dev_info_list(GSList *list) noexcept;
int halvo_get_device_type(const char *remote_address, int *device_type) noexcept;
bool halvo_set_use_dontuse_status(const char *name, const char *address, bool usedontuse) noexcept;
int halvo_get_use_dontuse_status(const char *address) noexcept;
bool halvo_remove_use_dontuse_status(const char *address) noexcept;
bool halvo_get_dontuse_device_list(GSList **list) noexcept;

int halvo_parse_manufacturer_data(int link_type, const char *data, int length, int option, char **out_data,
                                  int *out_length) noexcept;
int halvo_read_specific_manufacturer_data(const char *address, int option, char **out_data,
                                          int *out_length) noexcept;
int halvo_read_manufacturer_data(const char *address, int *option, char **out_data, int *out_length) noexcept;
int halvo_write_manufacturer_data(const char *address, int link_type, const char *data, int length) noexcept;
int halvo_send_custom_command(const char *command, char **response) noexcept;
bool halvo_enter_bt_dut_mode(void) noexcept;
bool halvo_enter_bt_dut_mode_new(const char *test_side, const char *test_mode, int test_channel,
                                 int test_power) noexcept;
bool halvo_stop_bt_dut_mode_new(void) noexcept;
const char *halvo_update_zemo_fw(void) noexcept;

int halvo_get_connected_bt_speaker_infos(GSList **list) noexcept;
int halvo_free_connected_bt_spaekr_infos(GSList **list) noexcept;
int halvo_set_connected_bt_speaker_info_with_serialization(const char *data) noexcept;
int halvo_get_last_bluetooth_speakers(GSList **list) noexcept;
int halvo_free_last_bluetooth_speakers(GSList **list) noexcept;
int halvo_connect_to_last_bluetooth_speakers(bool show_connecting_ui) noexcept;
int halvo_disconnect_to_last_bluetooth_speakers(void) noexcept;
int halvo_api_get_volume(const char *address, int *volume) noexcept;
int halvo_api_set_volume(const char *address, int volume) noexcept;
int halvo_api_get_volume_controlable(const char *address, bool *controlable) noexcept;
int halvo_api_get_num_of_connected_spaker(int *count) noexcept;
int halvo_api_volume_up(void) noexcept;
int halvo_api_volume_down(void) noexcept;
int halvo_api_mute_unmute(void) noexcept;
int halvo_api_set_mute(bool muted) noexcept;
int halvo_api_get_mute_state(bool *muted) noexcept;
int halvo_api_get_last_bluetooth_speaker_icon_path(const char *icon_type, char **path) noexcept;
int halvo_api_get_common_icon_path_internal(const char *icon_type, char **path) noexcept;
int halvo_api_replace_current_speaker(const char *address) noexcept;

int halvo_get_info_sync_devices(GSList **list) noexcept;
int halvo_free_info_sync_devices(GSList **list) noexcept;
int halvo_remove_info_sync_device(const char *key) noexcept;
int halvo_foreach_blocked_devices(BlockedVisit callback, void *user_data) noexcept;
int halvo_remove_pairing_blocked_devices(const char *address) noexcept;
int halvo_tuvo_switching_connect(const char *address) noexcept;
int halvo_tuvo_switching_disconnect(const char *address) noexcept;

/* The non-blocking pairs. */
void halvo_get_paired_dev_info_async(const char *remote_address, GCancellable *cancellable,
                                     GAsyncReadyCallback callback, void *user_data) noexcept;
void halvo_get_paired_dev_info_list_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                          void *user_data) noexcept;
int halvo_get_paired_dev_info_list_finish(GAsyncResult *result, GSList **list) noexcept;
void halvo_get_device_type_async(const char *remote_address, GCancellable *cancellable,
                                 GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_get_device_type_finish(GAsyncResult *result, int *device_type) noexcept;
void halvo_set_use_dontuse_status_async(const char *name, const char *address, bool usedontuse,
                                        GCancellable *cancellable, GAsyncReadyCallback callback,
                                        void *user_data) noexcept;
bool halvo_set_use_dontuse_status_finish(GAsyncResult *result) noexcept;
void halvo_get_use_dontuse_status_async(const char *address, GCancellable *cancellable,
                                        GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_get_use_dontuse_status_finish(GAsyncResult *result) noexcept;
void halvo_remove_use_dontuse_status_async(const char *address, GCancellable *cancellable,
                                           GAsyncReadyCallback callback, void *user_data) noexcept;
bool halvo_remove_use_dontuse_status_finish(GAsyncResult *result) noexcept;
void halvo_get_dontuse_device_list_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                         void *user_data) noexcept;
bool halvo_get_dontuse_device_list_finish(GAsyncResult *result, GSList **list) noexcept;

void halvo_parse_manufacturer_data_async(int link_type, const char *data, int length, int option,
                                         GCancellable *cancellable, GAsyncReadyCallback callback,
                                         void *user_data) noexcept;
int halvo_parse_manufacturer_data_finish(GAsyncResult *result, char **out_data, int *out_length) noexcept;
void halvo_read_specific_manufacturer_data_async(const char *address, int option, GCancellable *cancellable,
                                                 GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_read_specific_manufacturer_data_finish(GAsyncResult *result, char **out_data, int *out_length) noexcept;
void halvo_read_manufacturer_data_async(const char *address, GCancellable *cancellable,
                                        GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_read_manufacturer_data_finish(GAsyncResult *result, int *option, char **out_data,
                                        int *out_length) noexcept;
void halvo_write_manufacturer_data_async(const char *address, int link_type, const char *data, int length,
                                         GCancellable *cancellable, GAsyncReadyCallback callback,
                                         void *user_data) noexcept;
int halvo_write_manufacturer_data_finish(GAsyncResult *result) noexcept;
void halvo_send_custom_command_async(const char *command, GCancellable *cancellable, GAsyncReadyCallback callback,
                                     void *user_data) noexcept;
int halvo_send_custom_command_finish(GAsyncResult *result, char **response) noexcept;
void halvo_enter_bt_dut_mode_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                   void *user_data) noexcept;
bool halvo_enter_bt_dut_mode_finish(GAsyncResult *result) noexcept;
void halvo_enter_bt_dut_mode_new_async(const char *test_side, const char *test_mode, int test_channel,
                                       int test_power, GCancellable *cancellable, GAsyncReadyCallback callback,
                                       void *user_data) noexcept;
bool halvo_enter_bt_dut_mode_new_finish(GAsyncResult *result) noexcept;
void halvo_stop_bt_dut_mode_new_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                      void *user_data) noexcept;
bool halvo_stop_bt_dut_mode_new_finish(GAsyncResult *result) noexcept;
void halvo_update_zemo_fw_async(GCancellable *cancellable, GAsyncReadyCallback callback, void *user_data) noexcept;
const char *halvo_update_zemo_fw_finish(GAsyncResult *result) noexcept;

void halvo_get_connected_bt_speaker_infos_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                                void *user_data) noexcept;
int halvo_get_connected_bt_speaker_infos_finish(GAsyncResult *result, GSList **list) noexcept;
int halvo_set_connected_bt_speaker_info_finish(GAsyncResult *result) noexcept;
void halvo_set_connected_bt_speaker_info_with_serialization_async(const char *data, GCancellable *cancellable,
                                                                  GAsyncReadyCallback callback,
                                                                  void *user_data) noexcept;
int halvo_set_connected_bt_speaker_info_with_serialization_finish(GAsyncResult *result) noexcept;
void halvo_get_last_bluetooth_speakers_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                             void *user_data) noexcept;
int halvo_get_last_bluetooth_speakers_finish(GAsyncResult *result, GSList **list) noexcept;
void halvo_connect_to_last_bluetooth_speakers_async(bool show_connecting_ui, GCancellable *cancellable,
                                                    GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_connect_to_last_bluetooth_speakers_finish(GAsyncResult *result) noexcept;
void halvo_disconnect_to_last_bluetooth_speakers_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                                       void *user_data) noexcept;
int halvo_disconnect_to_last_bluetooth_speakers_finish(GAsyncResult *result) noexcept;
void halvo_api_get_volume_async(const char *address, GCancellable *cancellable, GAsyncReadyCallback callback,
                                void *user_data) noexcept;
int halvo_api_get_volume_finish(GAsyncResult *result, int *volume) noexcept;
void halvo_api_set_volume_async(const char *address, int volume, GCancellable *cancellable,
                                GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_api_set_volume_finish(GAsyncResult *result) noexcept;
void halvo_api_get_volume_controlable_async(const char *address, GCancellable *cancellable,
                                            GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_api_get_volume_controlable_finish(GAsyncResult *result, bool *controlable) noexcept;
void halvo_api_get_num_of_connected_spaker_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                                 void *user_data) noexcept;
int halvo_api_get_num_of_connected_spaker_finish(GAsyncResult *result, int *count) noexcept;
void halvo_api_volume_up_async(GCancellable *cancellable, GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_api_volume_up_finish(GAsyncResult *result) noexcept;
void halvo_api_volume_down_async(GCancellable *cancellable, GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_api_volume_down_finish(GAsyncResult *result) noexcept;
void halvo_api_mute_unmute_async(GCancellable *cancellable, GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_api_mute_unmute_finish(GAsyncResult *result) noexcept;
void halvo_api_set_mute_async(bool muted, GCancellable *cancellable, GAsyncReadyCallback callback,
                              void *user_data) noexcept;
int halvo_api_set_mute_finish(GAsyncResult *result) noexcept;
void halvo_api_get_mute_state_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                    void *user_data) noexcept;
int halvo_api_get_mute_state_finish(GAsyncResult *result, bool *muted) noexcept;
void halvo_api_get_last_bluetooth_speaker_icon_path_async(const char *icon_type, GCancellable *cancellable,
                                                          GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_api_get_last_bluetooth_speaker_icon_path_finish(GAsyncResult *result, char **path) noexcept;
void halvo_api_replace_current_speaker_async(const char *address, GCancellable *cancellable,
                                             GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_api_replace_current_speaker_finish(GAsyncResult *result) noexcept;
void halvo_api_speakers_with_volumes_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                           void *user_data) noexcept;
int halvo_api_speakers_with_volumes_finish(GAsyncResult *result, GSList **list) noexcept;
int halvo_free_speakers_with_volumes(GSList **list) noexcept;

void halvo_get_info_sync_devices_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                       void *user_data) noexcept;
int halvo_get_info_sync_devices_finish(GAsyncResult *result, GSList **list) noexcept;
void halvo_remove_info_sync_device_async(const char *key, GCancellable *cancellable, GAsyncReadyCallback callback,
                                         void *user_data) noexcept;
int halvo_remove_info_sync_device_finish(GAsyncResult *result) noexcept;
void halvo_foreach_blocked_devices_async(BlockedVisit device_callback, void *device_user_data,
                                         GCancellable *cancellable, GAsyncReadyCallback callback,
                                         void *user_data) noexcept;
int halvo_foreach_blocked_devices_finish(GAsyncResult *result) noexcept;
void halvo_remove_pairing_blocked_devices_async(const char *address, GCancellable *cancellable,
                                                GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_remove_pairing_blocked_devices_finish(GAsyncResult *result) noexcept;
void halvo_tuvo_switching_connect_async(const char *address, GCancellable *cancellable,
                                        GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_tuvo_switching_connect_finish(GAsyncResult *result) noexcept;
void halvo_tuvo_switching_disconnect_async(const char *address, GCancellable *cancellable,
                                           GAsyncReadyCallback callback, void *user_data) noexcept;
int halvo_tuvo_switching_disconnect_finish(GAsyncResult *result) noexcept;

} /* extern "C" */
#pragma GCC visibility pop

} // namespace detail
} // inline namespace v1
} // namespace halvo
/** @endcond */

#endif /* HALVO_DETAIL_C_API_HPP */
