/*
 * halvo-api.h - Bluetooth settings client library for the television.
 *
 * A thin, synchronous front to the Bluetooth application service on the
 * D-Bus system bus and to the configuration store.  Every function runs on
 * the caller's thread and returns when its work is done.  Callbacks run in
 * the thread-default GLib main context of the thread that registered them
 * (store notifications: wherever the store delivers them); the application
 * iterates that context.  Nothing in the library takes a lock: set up,
 * tear down and receive callbacks on one thread.
 *
 * Ownership: records and lists handed out are the caller's and go back
 * through the matching free function.  Strings handed to a callback belong
 * to the library and are freed when the callback returns, except the list
 * given to the last-speakers callback, which passes to the callback.
 */
#ifndef HALVO_API_H
#define HALVO_API_H

#include <stdbool.h>

#ifdef __cplusplus
#define HALVO_NOEXCEPT noexcept
extern "C" {
#else
#define HALVO_NOEXCEPT
#endif

#if defined(HALVO_API_BUILDING)
#define HALVO_API __attribute__((visibility("default")))
#else
#define HALVO_API
#endif

/** @name Result codes
 *  Every int-returning function reports one of these, or passes the
 *  service's own integer through unchanged where its documentation says so.
 *  @{ */
#define HALVO_ERROR_NONE                 0   /**< success */
#define HALVO_ERROR_NOT_INITIALIZED      1   /**< halvo_deinitialzie() without halvo_initialize() */
#define HALVO_ERROR_INVALID_PARAMETER    3   /**< NULL pointer, length below 1, NULL list, nothing subscribed */
#define HALVO_ERROR_OPERATION_FAILED     5   /**< no bus, no reply, store unreadable, JSON unusable */
#define HALVO_ERROR_INVALID_SPEAKER_INFO (-22) /**< halvo_set_connected_bt_speaker_info() only */
#define HALVO_ERROR_ALREADY_INITIALIZED  ((int)0xFE400103) /**< halvo_initialize() only; -29359869 */
/** @} */

/* ------------------------------------------------------------------ */
/* Records                                                             */
/* ------------------------------------------------------------------ */

/** Speaker audio type as the records hold it: the stored one-based
 *  "audioType" minus one.  A missing member reads as 0xFFFFFFFE (-2).
 *  The values themselves belong to the service. */
#ifdef __cplusplus
/* C++ needs the underlying type spelled out: otherwise only the
 * enumerators' own range is a valid value, and -2 is not in it. */
typedef enum : unsigned int {
#else
/* With no negative enumerator, C compilers make this an unsigned int. */
typedef enum {
#endif
    BT_SPK_AUDIO_TYPE_FIRST = 0
} bt_spk_audio_type_e;

/** One paired device (also the record of the don't-use list).
 *  36 bytes on 32-bit x86.  Strings are heap copies or NULL. */
typedef struct {
    char *address;       /**< "address" */
    char *name;          /**< "name" */
    bool usedontuse;     /**< "usedontuse": marked as not to be used */
    bool connected;      /**< "connect" */
    int profile;         /**< "profile", -1 when absent */
    int device_type;     /**< answer of "get_device_type", 0 when unknown */
    char *service_name;  /**< "serviceName" */
    char *provider_name; /**< "providerName" */
    int vid;             /**< "vid", -1 when absent */
    int pid;             /**< "pid", -1 when absent */
} halvo_device_info_s;

/** One connected speaker (20 bytes on 32-bit x86). */
typedef struct {
    char *vsid;      /**< compact JSON text of the "vsid" string array, or NULL */
    char *address;
    char *name;
    char *icon_type; /**< two-character icon-type code */
    bt_spk_audio_type_e audio_type;
} speaker_t;

/** Speaker information sent to the service (16 bytes on 32-bit x86). */
typedef struct {
    char *address;   /**< required */
    char *name;      /**< required */
    char *icon_type; /**< required */
    bt_spk_audio_type_e audio_type;
} bt_spk_info_t;

/** One last-used speaker (20 bytes on 32-bit x86). */
typedef struct {
    bool connected;  /**< stored "connected" and listed as connected now */
    char *address;
    char *name;
    char *icon_type;
    bt_spk_audio_type_e audio_type;
} last_spk_info_t;

/** One info-sync device (8 bytes on 32-bit x86). */
typedef struct {
    char *address;
    char *name;
} info_sync_device_t;

/** A row of the result-callback registry, as _halvo_get_cb() fills it. */
typedef struct {
    int cb_type;          /**< 0, 1 or 2; filled by the caller */
    char *remote_address; /**< heap copy the caller frees, or NULL */
    void *callback;
    void *user_data;
} halvo_cb_container_s;

/* The records above need nothing but a C compiler; a layout check builds
 * them alone, for 32-bit x86, with HALVO_API_RECORDS_ONLY. */
#ifndef HALVO_API_RECORDS_ONLY

#ifdef __cplusplus
} /* extern "C" */
#endif
#include <glib.h>
#include <gio/gio.h>
#include <json-glib/json-glib.h>
#ifdef __cplusplus
extern "C" {
#endif

/* ------------------------------------------------------------------ */
/* Callback types                                                      */
/* ------------------------------------------------------------------ */

/** Speaker information changed.  @p speaker is NULL when the service sent
 *  "null"; otherwise it is the library's and freed after the call. */
typedef void (*halvo_bt_spk_info_changed_cb)(speaker_t *speaker, void *user_data);
/** Last-speakers list changed.  @p list (of last_spk_info_t, may be NULL)
 *  passes to the callback: release it with halvo_free_last_bluetooth_speakers(). */
typedef void (*halvo_last_bluetooth_speakers_changed_cb)(GSList *list, void *user_data);
/** Reconnection status: 1 while "InProgress", 2 for any other report. */
typedef void (*halvo_last_bluetooth_speakers_connecting_status_changed_cb)(int status, void *user_data);
/** Volume of a speaker changed; @p address is freed after the call. */
typedef void (*halvo_api_volume_changed_cb)(const char *address, int volume, void *user_data);
/** Controllability of a speaker's volume changed. */
typedef void (*halvo_api_volume_controlable_changed_cb)(const char *address, bool controlable, void *user_data);
/** One blocked device during halvo_foreach_blocked_devices(); return false to stop. */
typedef bool (*halvo_blocked_device_cb)(const char *address, char *name, void *user_data);
/** Earphone connection state changed; @p address is freed after the call. */
typedef void (*halvo_tuvo_switching_connection_state_cb)(int result, const char *address,
                                                         int connected, void *user_data);

/** The earphone-switching callback record. */
typedef struct {
    halvo_tuvo_switching_connection_state_cb callback;
    void *user_data;
} halvo_tuvo_switching_cb_s;

/* ------------------------------------------------------------------ */
/* Exported globals                                                    */
/* ------------------------------------------------------------------ */

/** Outcome of the last remote-control firmware update: 1 for "OK". */
HALVO_API extern int g_zemo_update_result;
/** Raised after each firmware-update result signal; never lowered by the library. */
HALVO_API extern bool g_is_zemo_update_done;

/** Method names, writable: point one at another name to redirect its call. */
HALVO_API extern const char *halvo_custom_command;
HALVO_API extern const char *halvo_write_manufacturer;
HALVO_API extern const char *halvo_read_manufacturer;
HALVO_API extern const char *halvo_read_specific_manufacturer;
HALVO_API extern const char *halvo_parse_manufacturer;
HALVO_API extern const char *tuvo_switching_connect;
HALVO_API extern const char *tuvo_switching_disconnect;

/** The earphone-switching callback and its user data. */
HALVO_API extern halvo_tuvo_switching_cb_s callbacks;

/* ------------------------------------------------------------------ */
/* Lifecycle and the bus                                               */
/* ------------------------------------------------------------------ */

/** Subscribes the firmware-update result.  0, or HALVO_ERROR_ALREADY_INITIALIZED. */
HALVO_API int halvo_initialize(void) HALVO_NOEXCEPT;
/** Drops that subscription and the bus connection.  0, or 1 when not initialised. */
HALVO_API int halvo_deinitialzie(void) HALVO_NOEXCEPT;
HALVO_API int _halvo_api_init_gdbus(void) HALVO_NOEXCEPT;
HALVO_API int _halvo_api_deinit_gdbus(void) HALVO_NOEXCEPT;

/** Calls @p method on the service and waits up to 5000 ms.  Takes @p args
 *  (a floating tuple, or NULL).  Returns the reply body, which the caller
 *  releases with g_variant_unref(), or NULL when the call failed. */
HALVO_API GVariant *_halvo_api_send_method_call_sync(const char *method, GVariant *args) HALVO_NOEXCEPT;

HALVO_API int _halvo_api_subscribe_signal(int index, void *user_data) HALVO_NOEXCEPT;
HALVO_API int _halvo_api_unsubscribe_signal(int index) HALVO_NOEXCEPT;
HALVO_API int _halvo_api_subscribe_internal_signal(int index, GDBusSignalCallback handler,
                                                   void *user_data) HALVO_NOEXCEPT;
HALVO_API int _halvo_api_unsubscribe_internal_signal(int index) HALVO_NOEXCEPT;
HALVO_API void _halvo_event_handler(int event, GVariant *param) HALVO_NOEXCEPT;
HALVO_API int _halvo_api_emit_signal(const char *destination, const char *signal_name,
                                     GVariant *params) HALVO_NOEXCEPT;
HALVO_API void _halvo_set_zemo_update_result(int result) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Result-callback registry                                            */
/* ------------------------------------------------------------------ */

HALVO_API void _halvo_set_cb(int cb_type, const char *remote_address, void *callback,
                             void *user_data) HALVO_NOEXCEPT;
HALVO_API void _halvo_get_cb(halvo_cb_container_s *container) HALVO_NOEXCEPT;
HALVO_API void _halvo_unset_cb(int cb_type) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* JSON member readers                                                 */
/* ------------------------------------------------------------------ */

/** Heap copy of a string member, or NULL.  The reader stays on the object. */
HALVO_API char *_bt_json_read_string_member(JsonReader *reader, const char *member_name) HALVO_NOEXCEPT;
/** Compact JSON text of a string-array member, or NULL. */
HALVO_API char *_bt_json_read_string_array_member(JsonReader *reader, const char *member_name) HALVO_NOEXCEPT;
/** Integer member cut to 32 bits, or -1. */
HALVO_API int _bt_json_read_int_member(JsonReader *reader, const char *member_name) HALVO_NOEXCEPT;
/** Boolean member, or false. */
HALVO_API bool _bt_json_read_boolean_member(JsonReader *reader, const char *member_name) HALVO_NOEXCEPT;
/** Compact JSON text of the builder's root into @p out (heap, caller frees). */
HALVO_API void _halvo_api_convert_json_node_to_string(JsonBuilder *builder, char **out) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Paired devices and device policy                                    */
/* ------------------------------------------------------------------ */

HALVO_API int halvo_get_paired_dev_info(const char *remote_address, halvo_device_info_s **dev_info) HALVO_NOEXCEPT;
HALVO_API int halvo_get_paired_dev_info_list(GSList **list) HALVO_NOEXCEPT;
HALVO_API int halvo_get_device_type(const char *remote_address, int *device_type) HALVO_NOEXCEPT;
HALVO_API int halvo_free_paired_dev_info(halvo_device_info_s *dev_info) HALVO_NOEXCEPT;
HALVO_API int halvo_free_paired_dev_info_list(GSList *list) HALVO_NOEXCEPT;
HALVO_API int get_size_of_halvo_device_info_s(void) HALVO_NOEXCEPT;

HALVO_API bool halvo_set_use_dontuse_status(const char *name, const char *address, bool usedontuse) HALVO_NOEXCEPT;
HALVO_API int halvo_get_use_dontuse_status(const char *address) HALVO_NOEXCEPT;
HALVO_API bool halvo_remove_use_dontuse_status(const char *address) HALVO_NOEXCEPT;
HALVO_API bool halvo_get_dontuse_device_list(GSList **list) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Manufacturer data, custom commands, test mode, firmware update      */
/* ------------------------------------------------------------------ */

HALVO_API int halvo_parse_manufacturer_data(int link_type, const char *data, int length, int option,
                                            char **out_data, int *out_length) HALVO_NOEXCEPT;
HALVO_API int halvo_read_specific_manufacturer_data(const char *address, int option,
                                                    char **out_data, int *out_length) HALVO_NOEXCEPT;
HALVO_API int halvo_read_manufacturer_data(const char *address, int *option,
                                           char **out_data, int *out_length) HALVO_NOEXCEPT;
HALVO_API int halvo_write_manufacturer_data(const char *address, int link_type,
                                            const char *data, int length) HALVO_NOEXCEPT;
HALVO_API int halvo_send_custom_command(const char *command, char **response) HALVO_NOEXCEPT;

HALVO_API bool halvo_enter_bt_dut_mode(void) HALVO_NOEXCEPT;
HALVO_API bool halvo_enter_bt_dut_mode_new(const char *test_side, const char *test_mode,
                                           int test_channel, int test_power) HALVO_NOEXCEPT;
HALVO_API bool halvo_stop_bt_dut_mode_new(void) HALVO_NOEXCEPT;

/** Starts the remote-control update: "OK" or "NG" (library-owned). */
HALVO_API const char *halvo_update_zemo_fw(void) HALVO_NOEXCEPT;
HALVO_API GVariant *_halvo_api_request_zemo_update(void) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Connected speakers                                                  */
/* ------------------------------------------------------------------ */

HALVO_API int halvo_get_connected_bt_speaker_infos(GSList **list) HALVO_NOEXCEPT;
HALVO_API int halvo_free_connected_bt_spaekr_infos(GSList **list) HALVO_NOEXCEPT;
HALVO_API int halvo_set_connected_bt_speaker_info(const char *vsid, bt_spk_info_t *info) HALVO_NOEXCEPT;
HALVO_API int halvo_set_connected_bt_speaker_info_with_serialization(const char *data) HALVO_NOEXCEPT;
HALVO_API int halvo_register_bt_spaeker_info_changed_cb(halvo_bt_spk_info_changed_cb callback,
                                                        void *user_data) HALVO_NOEXCEPT;
HALVO_API int halvo_unregister_bt_spaeker_info_changed_cb(void) HALVO_NOEXCEPT;
HALVO_API int get_size_of_speaker_t(void) HALVO_NOEXCEPT;
HALVO_API int get_size_of_bt_spk_info_t(void) HALVO_NOEXCEPT;
HALVO_API void _halvo_bt_spk_info_changed(GDBusConnection *connection, const gchar *sender_name,
                                          const gchar *object_path, const gchar *interface_name,
                                          const gchar *signal_name, GVariant *parameters,
                                          gpointer user_data) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Last speakers                                                       */
/* ------------------------------------------------------------------ */

HALVO_API int halvo_get_last_bluetooth_speakers(GSList **list) HALVO_NOEXCEPT;
HALVO_API int halvo_get_last_bluetooth_speakers_internal(GSList **list) HALVO_NOEXCEPT;
HALVO_API int halvo_free_last_bluetooth_speakers(GSList **list) HALVO_NOEXCEPT;
HALVO_API int halvo_free_last_bluetooth_speakers_internal(GSList **list) HALVO_NOEXCEPT;
HALVO_API int halvo_set_last_bluetooth_speakers_changed_cb(halvo_last_bluetooth_speakers_changed_cb callback,
                                                           void *user_data) HALVO_NOEXCEPT;
HALVO_API int halvo_set_last_bluetooth_speakers_changed_cb_internal(
    halvo_last_bluetooth_speakers_changed_cb callback, void *user_data) HALVO_NOEXCEPT;
HALVO_API int halvo_unset_last_bluetooth_speakers_changed_cb(void) HALVO_NOEXCEPT;
HALVO_API int halvo_unset_last_bluetooth_speakers_changed_cb_internal(void) HALVO_NOEXCEPT;
HALVO_API int halvo_set_last_bluetooth_speakers_key_changed_cb(void *user_data) HALVO_NOEXCEPT;
HALVO_API int halvo_unset_last_bluetooth_speakers_key_changed_cb(void) HALVO_NOEXCEPT;
HALVO_API int get_size_of_last_spk_info_t(void) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Reconnection of last speakers                                       */
/* ------------------------------------------------------------------ */

HALVO_API int halvo_connect_to_last_bluetooth_speakers(bool show_connecting_ui) HALVO_NOEXCEPT;
HALVO_API int halvo_connect_to_last_bluetooth_speakers_internal(bool show_connecting_ui) HALVO_NOEXCEPT;
HALVO_API int halvo_disconnect_to_last_bluetooth_speakers(void) HALVO_NOEXCEPT;
HALVO_API int halvo_disconnect_to_last_bluetooth_speakers_internal(void) HALVO_NOEXCEPT;
HALVO_API int halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(
    halvo_last_bluetooth_speakers_connecting_status_changed_cb callback, void *user_data) HALVO_NOEXCEPT;
HALVO_API int halvo_set_last_bluetooth_speakers_connecting_status_changed_cb_internal(
    halvo_last_bluetooth_speakers_connecting_status_changed_cb callback, void *user_data) HALVO_NOEXCEPT;
HALVO_API int halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb(void) HALVO_NOEXCEPT;
HALVO_API int halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb_internal(void) HALVO_NOEXCEPT;
HALVO_API void _halvo_last_connecting_status_changed(GDBusConnection *connection, const gchar *sender_name,
                                                     const gchar *object_path, const gchar *interface_name,
                                                     const gchar *signal_name, GVariant *parameters,
                                                     gpointer user_data) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Volume and mute                                                     */
/* ------------------------------------------------------------------ */

HALVO_API int halvo_api_get_volume_controlable(const char *address, bool *controlable) HALVO_NOEXCEPT;
HALVO_API int halvo_api_get_volume_controlable_internal(const char *address, bool *controlable) HALVO_NOEXCEPT;
HALVO_API int halvo_api_set_volume(const char *address, int volume) HALVO_NOEXCEPT;
HALVO_API int halvo_api_set_volume_internal(const char *address, int volume) HALVO_NOEXCEPT;
HALVO_API int halvo_api_get_volume(const char *address, int *volume) HALVO_NOEXCEPT;
HALVO_API int halvo_api_get_volume_internal(const char *address, int *volume) HALVO_NOEXCEPT;
HALVO_API int halvo_api_get_num_of_connected_spaker(int *count) HALVO_NOEXCEPT;
HALVO_API int halvo_api_get_num_of_connected_spaker_internal(int *count) HALVO_NOEXCEPT;
HALVO_API int halvo_api_mute_unmute(void) HALVO_NOEXCEPT;
HALVO_API int halvo_api_mute_unmute_internal(void) HALVO_NOEXCEPT;
HALVO_API int halvo_api_volume_down(void) HALVO_NOEXCEPT;
HALVO_API int halvo_api_volume_down_internal(void) HALVO_NOEXCEPT;
HALVO_API int halvo_api_volume_up(void) HALVO_NOEXCEPT;
HALVO_API int halvo_api_volume_up_internal(void) HALVO_NOEXCEPT;
HALVO_API int halvo_api_get_mute_state(bool *muted) HALVO_NOEXCEPT;
HALVO_API int halvo_api_get_mute_state_internal(bool *muted) HALVO_NOEXCEPT;
HALVO_API int halvo_api_set_volume_changed_callback(halvo_api_volume_changed_cb callback,
                                                    void *user_data) HALVO_NOEXCEPT;
HALVO_API int halvo_api_set_volume_changed_callback_internal(halvo_api_volume_changed_cb callback,
                                                             void *user_data) HALVO_NOEXCEPT;
HALVO_API int halvo_api_set_volume_controlable_changed_callback(
    halvo_api_volume_controlable_changed_cb callback, void *user_data) HALVO_NOEXCEPT;
HALVO_API int halvo_api_set_volume_controlable_changed_callback_internal(
    halvo_api_volume_controlable_changed_cb callback, void *user_data) HALVO_NOEXCEPT;
HALVO_API int halvo_api_unset_volume_changed_callback(void) HALVO_NOEXCEPT;
HALVO_API int halvo_api_unset_volume_changed_callback_internal(void) HALVO_NOEXCEPT;
HALVO_API int halvo_api_unset_volume_controlable_changed_callback(void) HALVO_NOEXCEPT;
HALVO_API int halvo_api_unset_volume_controlable_changed_callback_internal(void) HALVO_NOEXCEPT;
HALVO_API void _halvo_bt_spk_volume_changed_by_address(GDBusConnection *connection, const gchar *sender_name,
                                                       const gchar *object_path, const gchar *interface_name,
                                                       const gchar *signal_name, GVariant *parameters,
                                                       gpointer user_data) HALVO_NOEXCEPT;
HALVO_API void _halvo_bt_spk_volume_controlable_changed_by_address(
    GDBusConnection *connection, const gchar *sender_name, const gchar *object_path,
    const gchar *interface_name, const gchar *signal_name, GVariant *parameters,
    gpointer user_data) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Speaker icons and replacement                                       */
/* ------------------------------------------------------------------ */

HALVO_API int halvo_api_get_common_icon_path_internal(const char *icon_type, char **path) HALVO_NOEXCEPT;
HALVO_API int halvo_api_get_last_bluetooth_speaker_icon_path(const char *icon_type, char **path) HALVO_NOEXCEPT;
HALVO_API int halvo_api_get_last_bluetooth_speaker_icon_path_internal(const char *icon_type,
                                                                      char **path) HALVO_NOEXCEPT;
HALVO_API int halvo_api_replace_current_speaker(const char *address) HALVO_NOEXCEPT;
HALVO_API int halvo_api_replace_current_speaker_internal(const char *address) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Stored device lists                                                 */
/* ------------------------------------------------------------------ */

HALVO_API int halvo_get_info_sync_devices(GSList **list) HALVO_NOEXCEPT;
HALVO_API int halvo_free_info_sync_devices(GSList **list) HALVO_NOEXCEPT;
HALVO_API int halvo_remove_info_sync_device(const char *key) HALVO_NOEXCEPT;
HALVO_API int get_size_of_info_sync_device_t(void) HALVO_NOEXCEPT;

HALVO_API int halvo_foreach_blocked_devices(halvo_blocked_device_cb callback, void *user_data) HALVO_NOEXCEPT;
HALVO_API int halvo_remove_pairing_blocked_devices(const char *address) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Wireless earphone switching                                         */
/* ------------------------------------------------------------------ */

HALVO_API int halvo_tuvo_switching_connect(const char *address) HALVO_NOEXCEPT;
HALVO_API int halvo_tuvo_switching_disconnect(const char *address) HALVO_NOEXCEPT;
HALVO_API int halvo_tuvo_switching_set_connection_state_cb(halvo_tuvo_switching_connection_state_cb callback,
                                                           void *user_data) HALVO_NOEXCEPT;
HALVO_API int halvo_tuvo_switching_unset_connection_state_cb(void) HALVO_NOEXCEPT;

#endif /* HALVO_API_RECORDS_ONLY */

#ifdef __cplusplus
}
#endif

#endif /* HALVO_API_H */
