/**
 * @file halvo-api.h
 * @brief Bluetooth settings client library for the television.
 *
 * A thin front to the Bluetooth application service on the D-Bus system
 * bus and to the configuration store.  Every operation that waits on them
 * comes twice: the blocking function runs on the caller's thread and
 * returns when its work is done; its non-blocking pair (`_async` and
 * `_finish`, section "Non-blocking calls") returns at once and is the one
 * for a thread that draws a screen.  Callbacks run in
 * the thread-default GLib main context of the thread that registered them;
 * the application iterates that context.
 *
 * Threads: any function may be called, and any callback set or unset, from
 * any thread.  A callback is called outside the library's lock, so it may
 * call the library, unset itself or set another.  Setting a callback again,
 * or unsetting it, returns once the callback it replaces is not running on
 * another thread and will not start (as g_cancellable_disconnect() does);
 * called from inside that callback, it returns at once and the callback
 * finishes after.  Do not wait in a callback for a thread that may be
 * unsetting it.
 *
 * Ownership: records and lists handed out are the caller's and go back
 * through the matching free function.  Strings handed to a callback belong
 * to the library and are freed when the callback returns, except the list
 * given to the last-speakers callback, which passes to the callback.
 *
 * Threads and main contexts: a D-Bus signal callback (speaker
 * information, connecting status, volume, controllability, earphones, the
 * firmware result) runs in the thread-default main context of the thread
 * that called its set function (halvo_initialize() for the firmware
 * result), and so do the store callbacks (last speakers, connected
 * speakers, mute).  Set again from another thread, a callback runs in that
 * thread's context from then on.  The library takes in the events on a
 * thread of its own, so a thread that stops iterating holds up only its
 * own callbacks.  No callback runs unless that context is iterated.
 *
 * The single-slot setters of the D-Bus signal families (and the earphone
 * setter) wait for the bus connection, up to 5000 ms, so that they can
 * fail without one: from a UI thread use halvo_api_connect() instead,
 * which never waits on the bus (section "Listeners").
 *
 * Blocking: every blocking function returns within 5000 ms, connecting to
 * the bus and every call it makes included (the firmware-update request:
 * 60000 ms); a non-blocking call finishes within the same bound.
 *
 * The bus going away: the library keeps a bus connection of its own.  When
 * it closes, every subscription on it ends; each callback that is still
 * set, and the firmware result while initialised, is subscribed again by
 * the library once the bus is back (within a few seconds, in the callback's
 * main context, with no call needed from the application).
 */
#ifndef HALVO_API_H
#define HALVO_API_H

#include <stdbool.h>

/** @cond INTERNAL */
#ifdef __cplusplus
#define HALVO_NOEXCEPT noexcept
extern "C" {
#else
#define HALVO_NOEXCEPT
#endif
/** @endcond */

/** @cond INTERNAL */
#if defined(HALVO_API_BUILDING)
#define HALVO_API __attribute__((visibility("default")))
#else
#define HALVO_API
#endif
/** @endcond */

/** @name Result codes
 *  Every int-returning function reports one of these, or passes the
 *  service's own integer through unchanged where its documentation says so
 *  (the service's codes then share these numbers: a 3 or 5 from the service
 *  looks like the library's own).  Functions that return bool report only
 *  whether the service answered 1.
 *  @{ */
/** Success. */
#define HALVO_ERROR_NONE                 0
/** halvo_deinitialzie() without a halvo_initialize() before it. */
#define HALVO_ERROR_NOT_INITIALIZED      1
/** Invalid parameter: a required pointer (an output included) is NULL, a
 *  string to send is not UTF-8, a repointed method name is no D-Bus member
 *  name, a length is below 1, a list handed for release is empty (NULL),
 *  or an unset found nothing subscribed.  Nothing is sent. */
#define HALVO_ERROR_INVALID_PARAMETER    3
/** Operation failed: no bus connection; no reply from the service within
 *  the time-out, an error reply, or a reply of another type than the
 *  method's; a subscription, emission or store watch failed; a store key is
 *  unreadable; stored JSON is unusable.  No output is written. */
#define HALVO_ERROR_OPERATION_FAILED     5
/** halvo_set_connected_bt_speaker_info() only: a required argument or
 *  field is NULL. */
#define HALVO_ERROR_INVALID_SPEAKER_INFO (-22)
/** halvo_initialize() only: the library is already initialised
 *  (0xFE400103, read as a signed int: -29359869). */
#define HALVO_ERROR_ALREADY_INITIALIZED  ((int)0xFE400103)
/** A `_finish` only: the call was cancelled through its GCancellable
 *  (-ECANCELED).  No output is written. */
#define HALVO_ERROR_CANCELLED            (-125)
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
    BT_SPK_AUDIO_TYPE_FIRST = 0 /**< the first audio type (stored as "audioType" 1) */
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

/** One connected speaker (20 bytes on 32-bit x86).  Strings are heap
 *  copies or NULL (member absent). */
typedef struct {
    char *vsid;      /**< compact JSON text of the "vsid" string array, or NULL */
    char *address;   /**< "address" */
    char *name;      /**< "name" */
    char *icon_type; /**< "iconType": two-character icon-type code */
    bt_spk_audio_type_e audio_type; /**< "audioType" minus one */
} speaker_t;

/** Speaker information sent to the service (16 bytes on 32-bit x86). */
typedef struct {
    char *address;   /**< required */
    char *name;      /**< required */
    char *icon_type; /**< required */
    bt_spk_audio_type_e audio_type; /**< zero-based; sent plus one */
} bt_spk_info_t;

/** One last-used speaker (20 bytes on 32-bit x86). */
typedef struct {
    bool connected;  /**< stored "connected" and listed as connected now */
    char *address;   /**< "address" */
    char *name;      /**< "name" */
    char *icon_type; /**< "iconType" */
    bt_spk_audio_type_e audio_type; /**< "audioType" minus one */
} last_spk_info_t;

/** One info-sync device (8 bytes on 32-bit x86). */
typedef struct {
    char *address; /**< "address" */
    char *name;    /**< "name" */
} info_sync_device_t;

/** A row of the result-callback registry, as _halvo_get_cb() fills it. */
typedef struct {
    int cb_type;          /**< 0, 1 or 2; filled by the caller */
    char *remote_address; /**< heap copy the caller frees, or NULL */
    void *callback;       /**< the parked callback */
    void *user_data;      /**< its opaque pointer */
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
/** Controllability of a speaker's volume changed; @p address is freed after the call. */
typedef void (*halvo_api_volume_controlable_changed_cb)(const char *address, bool controlable, void *user_data);
/** One blocked device during halvo_foreach_blocked_devices(); return false to stop. */
typedef bool (*halvo_blocked_device_cb)(const char *address, char *name, void *user_data);
/** Earphone connection state changed; @p address is freed after the call. */
typedef void (*halvo_tuvo_switching_connection_state_cb)(int result, const char *address,
                                                         int connected, void *user_data);

/** The earphone-switching callback record. */
typedef struct {
    halvo_tuvo_switching_connection_state_cb callback; /**< NULL when none is set */
    void *user_data;                                   /**< handed back to @c callback */
} halvo_tuvo_switching_cb_s;

/* ------------------------------------------------------------------ */
/* Exported globals                                                    */
/* ------------------------------------------------------------------ */

/** Outcome of the last remote-control firmware update: 1 when the result
 *  signal said "OK", 0 otherwise.  Written (atomically) in the main
 *  context of the thread that called halvo_initialize(); kept until the
 *  application overwrites it. */
HALVO_API extern int g_zemo_update_result;
/** Raised after each firmware-update result signal (after
 *  #g_zemo_update_result is written); never lowered by the library, not
 *  even when a new update starts: lower it yourself. */
HALVO_API extern bool g_is_zemo_update_done;

/** @name Method names
 *  Writable: point one at another name to redirect its operation's call.
 *  Read at each call, without a lock.
 *  @{ */
/** "custom_command", used by halvo_send_custom_command(). */
HALVO_API extern const char *halvo_custom_command;
/** "write_manufacturer_data", used by halvo_write_manufacturer_data(). */
HALVO_API extern const char *halvo_write_manufacturer;
/** "read_manufacturer_data", used by halvo_read_manufacturer_data(). */
HALVO_API extern const char *halvo_read_manufacturer;
/** "read_specific_manufacturer_data", used by halvo_read_specific_manufacturer_data(). */
HALVO_API extern const char *halvo_read_specific_manufacturer;
/** "parse_manufacturer_data", used by halvo_parse_manufacturer_data(). */
HALVO_API extern const char *halvo_parse_manufacturer;
/** "tuvo_switching_connect", used by halvo_tuvo_switching_connect(). */
HALVO_API extern const char *tuvo_switching_connect;
/** "tuvo_switching_disconnect", used by halvo_tuvo_switching_disconnect(). */
HALVO_API extern const char *tuvo_switching_disconnect;
/** @} */

/** The earphone-switching callback and its user data, as
 *  halvo_tuvo_switching_set_connection_state_cb() stores them (under the
 *  library's lock: read it, do not write it, while other threads use the
 *  library). */
HALVO_API extern halvo_tuvo_switching_cb_s callbacks;

/* ------------------------------------------------------------------ */
/* Lifecycle and the bus                                               */
/* ------------------------------------------------------------------ */

/** Starts the library's use by this application: subscribes the public
 *  firmware-update result signal ("zemo_fw_update_result"), whose outcome
 *  then lands in #g_zemo_update_result and #g_is_zemo_update_done.
 *
 *  The signal is delivered in the thread-default main context of the
 *  calling thread; iterate it.  Nothing else needs initialisation: every
 *  other call obtains the bus on first use.  A bus that cannot be reached
 *  is only logged; the library still counts as initialised.
 *  @return #HALVO_ERROR_NONE, or #HALVO_ERROR_ALREADY_INITIALIZED (nothing changes). */
HALVO_API int halvo_initialize(void) HALVO_NOEXCEPT;

/** Ends what halvo_initialize() started (the name is spelled this way):
 *  removes the firmware-result subscription and drops the library's
 *  reference to the bus connection, so that a later call connects anew.
 *  Internal-signal subscriptions made by the set functions stay until
 *  their unset functions remove them.
 *  @return #HALVO_ERROR_NONE, or #HALVO_ERROR_NOT_INITIALIZED. */
HALVO_API int halvo_deinitialzie(void) HALVO_NOEXCEPT;

/** Plumbing of halvo_initialize(): subscribes the public signal.  @return always 0. */
HALVO_API int _halvo_api_init_gdbus(void) HALVO_NOEXCEPT;

/** Plumbing of halvo_deinitialzie(): unsubscribes the public signal and,
 *  when no callback is set, releases the library's bus connection.
 *  @return always 0. */
HALVO_API int _halvo_api_deinit_gdbus(void) HALVO_NOEXCEPT;

/** Calls @p method on the Bluetooth application service and waits up to
 *  5000 ms on the calling thread (no main context is iterated).
 *  @param method  the method name (borrowed).
 *  @param args    the argument tuple, or NULL for none.  A floating value
 *                 (g_variant_new()) is taken over; of any other the transport
 *                 takes a reference of its own, and the caller keeps and
 *                 releases its own.
 *  @return the reply body, which the caller releases with g_variant_unref(),
 *          or NULL when the call failed: no bus, no reply within 5000 ms,
 *          or an error reply of the service. */
HALVO_API GVariant *_halvo_api_send_method_call_sync(const char *method, GVariant *args) HALVO_NOEXCEPT;

/** Subscribes row @p index of the public signal table (0: the firmware
 *  result) in the caller's thread-default main context.  @p user_data is
 *  not used by the handler.
 *  @return 0 (also when already subscribed), or #HALVO_ERROR_OPERATION_FAILED
 *          (no bus, or the subscription failed). */
HALVO_API int _halvo_api_subscribe_signal(int index, void *user_data) HALVO_NOEXCEPT;

/** Removes the subscription of public signal row @p index.
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER when it was not subscribed. */
HALVO_API int _halvo_api_unsubscribe_signal(int index) HALVO_NOEXCEPT;

/** Subscribes row @p index of the internal signal table (0 speaker
 *  information, 1 connecting status, 2 volume, 3 controllability, 4
 *  earphones) with @p handler, which GDBus then calls in the caller's
 *  thread-default main context.  Filters on the member name and the path
 *  "/org/velmo/pellix" only.  The public set functions use this; an
 *  application rarely needs it.
 *  @return 0 (also when already subscribed: the first handler stays), or
 *          #HALVO_ERROR_OPERATION_FAILED. */
HALVO_API int _halvo_api_subscribe_internal_signal(int index, GDBusSignalCallback handler,
                                                   void *user_data) HALVO_NOEXCEPT;

/** Removes the subscription of internal signal row @p index.
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER when it was not subscribed. */
HALVO_API int _halvo_api_unsubscribe_internal_signal(int index) HALVO_NOEXCEPT;

/** Handles a public event: event 6 with a "(s)" payload records the
 *  firmware-update result ("OK" gives 1) through _halvo_set_zemo_update_result().
 *  Other events, or a NULL payload, are logged and ignored.  @p param is borrowed. */
HALVO_API void _halvo_event_handler(int event, GVariant *param) HALVO_NOEXCEPT;

/** Emits @p signal_name with @p params from the library's own object
 *  (path "/org/velmo/halvo_api", interface "org.velmo.halvo_api.signal"), to
 *  @p destination (NULL: broadcast).  A floating @p params is taken over.
 *  @return 0, or #HALVO_ERROR_OPERATION_FAILED (no bus, or an invalid signal
 *          name, destination or non-tuple @p params). */
HALVO_API int _halvo_api_emit_signal(const char *destination, const char *signal_name,
                                     GVariant *params) HALVO_NOEXCEPT;

/** Records a firmware-update outcome: stores @p result in
 *  #g_zemo_update_result, then raises #g_is_zemo_update_done. */
HALVO_API void _halvo_set_zemo_update_result(int result) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Result-callback registry                                            */
/* ------------------------------------------------------------------ */

/** Parks a callback in the result-callback registry: row @p cb_type (0, 1
 *  or 2; any other is logged and ignored) gets @p callback, @p user_data and
 *  a copy of @p remote_address, replacing any earlier registration.  The library
 *  attaches no meaning to the rows and never calls the callback itself. */
HALVO_API void _halvo_set_cb(int cb_type, const char *remote_address, void *callback,
                             void *user_data) HALVO_NOEXCEPT;

/** Fetches a parked callback: the caller fills @p container->cb_type; when
 *  that row is registered, the callback, the user data and a new copy of
 *  the address (the caller frees it with free()) are written into
 *  @p container.  An unregistered row leaves @p container untouched. */
HALVO_API void _halvo_get_cb(halvo_cb_container_s *container) HALVO_NOEXCEPT;

/** Clears row @p cb_type of the registry and frees its address copy.
 *  Nothing happens for a row that is not registered. */
HALVO_API void _halvo_unset_cb(int cb_type) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* JSON member readers                                                 */
/* ------------------------------------------------------------------ */

/** Reads string member @p member_name of the object @p reader stands on.
 *  @return a heap copy the caller frees with free(), or NULL when the
 *          member is missing or no string.  The reader stays on the object. */
HALVO_API char *_bt_json_read_string_member(JsonReader *reader, const char *member_name) HALVO_NOEXCEPT;

/** Reads array-of-strings member @p member_name.
 *  @return its compact JSON text (e.g. ["a","b"]; [] when empty) as a heap
 *          string the caller frees with free(), or NULL when the member is
 *          missing or no array.  The reader stays on the object. */
HALVO_API char *_bt_json_read_string_array_member(JsonReader *reader, const char *member_name) HALVO_NOEXCEPT;

/** Reads integer member @p member_name, cut to its low 32 bits.
 *  @return the value, or -1 when the member is missing. */
HALVO_API int _bt_json_read_int_member(JsonReader *reader, const char *member_name) HALVO_NOEXCEPT;

/** Reads boolean member @p member_name.  @return the value; false when missing. */
HALVO_API bool _bt_json_read_boolean_member(JsonReader *reader, const char *member_name) HALVO_NOEXCEPT;

/** Serialises the root of @p builder (which stays the caller's) as compact
 *  JSON text into @p out, a heap string the caller frees with free(). */
HALVO_API void _halvo_api_convert_json_node_to_string(JsonBuilder *builder, char **out) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Paired devices and device policy                                    */
/* ------------------------------------------------------------------ */

/** Reads one paired device from the service ("get_device_info"), with its
 *  device type ("get_device_type").
 *  @param remote_address the device's address.
 *  @param dev_info  points at a NULL pointer, which receives a new record;
 *                   release it with halvo_free_paired_dev_info().
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER when @p remote_address or
 *          @p dev_info is NULL, *@p dev_info is not, or the address is not
 *          UTF-8; #HALVO_ERROR_OPERATION_FAILED when the call failed or the
 *          service reported no device object. */
HALVO_API int halvo_get_paired_dev_info(const char *remote_address, halvo_device_info_s **dev_info) HALVO_NOEXCEPT;

/** Reads every paired device: one "get_devices_info" call, then one
 *  "get_device_type" call per device.
 *  @param list  points at a NULL list, which receives a GSList of
 *               #halvo_device_info_s in the service's order (NULL when
 *               there is none); release it with halvo_free_paired_dev_info_list().
 *  A device whose type cannot be had gets type 0; the list still succeeds.
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER when @p list is NULL or *@p list is not;
 *          #HALVO_ERROR_OPERATION_FAILED when the call failed or the
 *          service reported no result. */
HALVO_API int halvo_get_paired_dev_info_list(GSList **list) HALVO_NOEXCEPT;

/** Asks the service for the device-type code of @p remote_address (the
 *  codes belong to the service) and writes it to @p device_type.
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER for a NULL pointer or an
 *          address that is not UTF-8; #HALVO_ERROR_OPERATION_FAILED when the
 *          call failed (@p device_type is then untouched). */
HALVO_API int halvo_get_device_type(const char *remote_address, int *device_type) HALVO_NOEXCEPT;

/** Frees a record from halvo_get_paired_dev_info() and its strings.  The
 *  caller's pointer is not cleared.
 *  @return 0, or #HALVO_ERROR_INVALID_PARAMETER for NULL. */
HALVO_API int halvo_free_paired_dev_info(halvo_device_info_s *dev_info) HALVO_NOEXCEPT;

/** Frees a list of #halvo_device_info_s (from halvo_get_paired_dev_info_list()
 *  or halvo_get_dontuse_device_list()): every record, its strings and the
 *  cells.  The caller's head pointer is not cleared.
 *  @return 0, or #HALVO_ERROR_INVALID_PARAMETER for an empty (NULL) list. */
HALVO_API int halvo_free_paired_dev_info_list(GSList *list) HALVO_NOEXCEPT;

/** @return the size of #halvo_device_info_s on 32-bit x86: 36. */
HALVO_API int get_size_of_halvo_device_info_s(void) HALVO_NOEXCEPT;

/** Marks a device as not to be used (@p usedontuse true) or as usable,
 *  sending {"address", "name", "status"} with "status" the negation of
 *  @p usedontuse to the service ("set_use_dontuse").
 *  @return true only when the service answered 1. */
HALVO_API bool halvo_set_use_dontuse_status(const char *name, const char *address, bool usedontuse) HALVO_NOEXCEPT;

/** Reads the service's use / don't-use mark of @p address ("get_use_dontuse").
 *  @return the service's value unchanged (its meaning is the service's), or -1 when
 *          the call failed. */
HALVO_API int halvo_get_use_dontuse_status(const char *address) HALVO_NOEXCEPT;

/** Makes the service forget the mark of @p address ("remove_use_donuse_info").
 *  @return true only when the service answered 1. */
HALVO_API bool halvo_remove_use_dontuse_status(const char *address) HALVO_NOEXCEPT;

/** Appends the devices marked as not to be used to *@p list (which need not
 *  be empty): #halvo_device_info_s records with only @c address and @c name
 *  set and @c usedontuse true.  Release them with halvo_free_paired_dev_info_list().
 *  @return false when @p list is NULL or the call failed (the list is then
 *          untouched). */
HALVO_API bool halvo_get_dontuse_device_list(GSList **list) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Manufacturer data, custom commands, test mode, firmware update      */
/* ------------------------------------------------------------------ */

/** Has the service parse @p length raw bytes of @p data (method named by
 *  #halvo_parse_manufacturer).
 *  @param link_type  passed through to the service.
 *  @param data       the bytes; @p length of them are sent, no terminator.
 *  @param length     at least 1.
 *  @param option     passed through to the service.
 *  @param out_data   receives a new buffer of *@p out_length + 1 bytes, the
 *                    last one zero; the caller frees it with g_free().
 *  @param out_length receives the reported length.
 *  @return the service's own result, returned unchanged; #HALVO_ERROR_INVALID_PARAMETER for a NULL
 *          pointer or a length below 1; #HALVO_ERROR_OPERATION_FAILED when the
 *          call failed (outputs untouched, as on every failure). */
HALVO_API int halvo_parse_manufacturer_data(int link_type, const char *data, int length, int option,
                                            char **out_data, int *out_length) HALVO_NOEXCEPT;

/** Reads item @p option of the manufacturer data the service holds for
 *  @p address (method named by #halvo_read_specific_manufacturer).  Outputs
 *  as halvo_parse_manufacturer_data(): @p out_data is freed with g_free().
 *  @return the service's own result, returned unchanged; #HALVO_ERROR_INVALID_PARAMETER for a NULL
 *          pointer; #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_read_specific_manufacturer_data(const char *address, int option,
                                                    char **out_data, int *out_length) HALVO_NOEXCEPT;

/** Reads the manufacturer data the service holds for @p address (method
 *  named by #halvo_read_manufacturer): the service's option value into
 *  @p option, the bytes into @p out_data (freed with g_free()) and their
 *  count into @p out_length.
 *  @return the service's own result, returned unchanged; #HALVO_ERROR_INVALID_PARAMETER for a NULL
 *          pointer; #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_read_manufacturer_data(const char *address, int *option,
                                           char **out_data, int *out_length) HALVO_NOEXCEPT;

/** Writes @p length bytes of @p data as manufacturer data to @p address
 *  over @p link_type (method named by #halvo_write_manufacturer).
 *  @return the service's own result, returned unchanged; #HALVO_ERROR_INVALID_PARAMETER for NULL data or
 *          address, or a length below 1; #HALVO_ERROR_OPERATION_FAILED when
 *          the call failed. */
HALVO_API int halvo_write_manufacturer_data(const char *address, int link_type,
                                            const char *data, int length) HALVO_NOEXCEPT;

/** Sends the free-form text @p command to the service (method named by
 *  #halvo_custom_command) and stores its response text in @p response, a
 *  new string the caller frees with g_free().
 *  @return the service's own result, returned unchanged; #HALVO_ERROR_INVALID_PARAMETER for a NULL
 *          command or @p response; #HALVO_ERROR_OPERATION_FAILED when the call
 *          failed (@p response untouched). */
HALVO_API int halvo_send_custom_command(const char *command, char **response) HALVO_NOEXCEPT;

/** Puts the controller into device-under-test mode ("enter_bt_dut_mode").
 *  @return true only when the service answered 1. */
HALVO_API bool halvo_enter_bt_dut_mode(void) HALVO_NOEXCEPT;

/** Enters device-under-test mode with test parameters, sent as
 *  {"test_side", "test_mode", "test_channel", "test_power"}
 *  ("enter_bt_dut_mode_with_ui"); the values are the service's to check.
 *  @return true only when the service answered 1. */
HALVO_API bool halvo_enter_bt_dut_mode_new(const char *test_side, const char *test_mode,
                                           int test_channel, int test_power) HALVO_NOEXCEPT;

/** Leaves device-under-test mode ("stop_bt_dut_mode").
 *  @return true only when the service answered 1. */
HALVO_API bool halvo_stop_bt_dut_mode_new(void) HALVO_NOEXCEPT;

/** Asks the update manager to update the remote control's firmware
 *  ("ZEMOFW"), blocking the calling thread up to 60000 ms for its answer.
 *  The outcome comes later as a signal that only an initialised library
 *  records: call halvo_initialize() first, iterate its main context, and
 *  watch #g_is_zemo_update_done (lower it yourself before starting).
 *  @return "OK" when the update manager accepted, "NG" otherwise (refused,
 *          absent, no answer).  The string is the library's: never free it. */
HALVO_API const char *halvo_update_zemo_fw(void) HALVO_NOEXCEPT;

/** Plumbing of halvo_update_zemo_fw(): sends "ZEMOFW" (60000 ms), then
 *  "EXIT" without waiting.
 *  @return the reply body (caller releases it with g_variant_unref()), or
 *          NULL when the call failed. */
HALVO_API GVariant *_halvo_api_request_zemo_update(void) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Connected speakers                                                  */
/* ------------------------------------------------------------------ */

/** Reads the connected speakers that the service publishes in the store.
 *  @param list points at a NULL list, which receives a GSList of #speaker_t
 *              in stored order (unchanged when nothing is stored as
 *              connected); release it with halvo_free_connected_bt_spaekr_infos().
 *  @return 0; #HALVO_ERROR_OPERATION_FAILED when the store key is unreadable
 *          or memory ran out (the list is then NULL). */
HALVO_API int halvo_get_connected_bt_speaker_infos(GSList **list) HALVO_NOEXCEPT;

/** Frees a list of #speaker_t (records, strings, cells) and sets *@p list
 *  to NULL.
 *  @return 0, or #HALVO_ERROR_INVALID_PARAMETER for an empty list. */
HALVO_API int halvo_free_connected_bt_spaekr_infos(GSList **list) HALVO_NOEXCEPT;

/** Sends one speaker's information to the service
 *  ("set_connected_bt_speaker_info"); @p vsid and @p info stay the caller's.
 *  @param vsid an identifier, sent as the "vsid" string.
 *  @param info address, name and icon type are required; @c audio_type is
 *              zero-based (sent plus one).
 *  @return the service's own result, returned unchanged; #HALVO_ERROR_INVALID_SPEAKER_INFO when @p vsid,
 *          @p info or a required field is NULL (nothing is sent);
 *          #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_set_connected_bt_speaker_info(const char *vsid, bt_spk_info_t *info) HALVO_NOEXCEPT;

/** Sends the caller's own JSON text @p data as a speaker's information,
 *  unchanged.
 *  @return the service's own result, returned unchanged; #HALVO_ERROR_INVALID_PARAMETER for NULL;
 *          #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_set_connected_bt_speaker_info_with_serialization(const char *data) HALVO_NOEXCEPT;

/** Calls @p callback with @p user_data each time the service announces a
 *  speaker's information ("bt_spk_info_changed"), in the thread-default
 *  main context of the calling thread.  The record handed over is the
 *  library's and freed when the callback returns; it is NULL when the
 *  service announced none.  A second registration replaces the first.
 *  @return 0, or #HALVO_ERROR_OPERATION_FAILED (no bus). */
HALVO_API int halvo_register_bt_spaeker_info_changed_cb(halvo_bt_spk_info_changed_cb callback,
                                                        void *user_data) HALVO_NOEXCEPT;

/** Removes the speaker-information callback and its subscription.
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER when nothing was subscribed;
 *          #HALVO_ERROR_OPERATION_FAILED without a bus. */
HALVO_API int halvo_unregister_bt_spaeker_info_changed_cb(void) HALVO_NOEXCEPT;

/** @return the size of #speaker_t on 32-bit x86: 20. */
HALVO_API int get_size_of_speaker_t(void) HALVO_NOEXCEPT;

/** @return the size of #bt_spk_info_t on 32-bit x86: 16. */
HALVO_API int get_size_of_bt_spk_info_t(void) HALVO_NOEXCEPT;

/** GDBus handler of "bt_spk_info_changed" (plumbing of
 *  halvo_register_bt_spaeker_info_changed_cb()); uses only @p signal_name
 *  and @p parameters. */
HALVO_API void _halvo_bt_spk_info_changed(GDBusConnection *connection, const gchar *sender_name,
                                          const gchar *object_path, const gchar *interface_name,
                                          const gchar *signal_name, GVariant *parameters,
                                          gpointer user_data) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Last speakers                                                       */
/* ------------------------------------------------------------------ */

/** Reads the last-used speakers the service keeps in the store, each with
 *  its connected flag: true only when the stored entry says connected and
 *  its address is among the connected addresses the service published.
 *  @param list points at a NULL list, which receives a GSList of
 *              #last_spk_info_t in stored order; release it with
 *              halvo_free_last_bluetooth_speakers().
 *  @return 0 (also for an empty or unusable document: the list stays NULL);
 *          #HALVO_ERROR_OPERATION_FAILED when the key is unreadable. */
HALVO_API int halvo_get_last_bluetooth_speakers(GSList **list) HALVO_NOEXCEPT;

/** The worker behind halvo_get_last_bluetooth_speakers(); same contract. */
HALVO_API int halvo_get_last_bluetooth_speakers_internal(GSList **list) HALVO_NOEXCEPT;

/** Frees a list of #last_spk_info_t (records, strings, cells) and sets
 *  *@p list to NULL.  Also for the lists given to the change callback.
 *  @return 0, or #HALVO_ERROR_INVALID_PARAMETER for an empty list. */
HALVO_API int halvo_free_last_bluetooth_speakers(GSList **list) HALVO_NOEXCEPT;

/** The worker behind halvo_free_last_bluetooth_speakers(); same contract. */
HALVO_API int halvo_free_last_bluetooth_speakers_internal(GSList **list) HALVO_NOEXCEPT;

/** Calls @p callback with a freshly read list and @p user_data after each
 *  change of the stored last-speakers list.  It runs where the
 *  configuration store delivers notifications: the thread-default main
 *  context of the calling thread.  The list (possibly NULL) passes to the
 *  callback, which frees it with halvo_free_last_bluetooth_speakers().
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER for a NULL callback;
 *          #HALVO_ERROR_OPERATION_FAILED when the store refused the watch. */
HALVO_API int halvo_set_last_bluetooth_speakers_changed_cb(halvo_last_bluetooth_speakers_changed_cb callback,
                                                           void *user_data) HALVO_NOEXCEPT;

/** The worker behind halvo_set_last_bluetooth_speakers_changed_cb(),
 *  without the NULL check.  @return 0 or #HALVO_ERROR_OPERATION_FAILED. */
HALVO_API int halvo_set_last_bluetooth_speakers_changed_cb_internal(
    halvo_last_bluetooth_speakers_changed_cb callback, void *user_data) HALVO_NOEXCEPT;

/** Removes the last-speakers callback and the store watch.
 *  @return 0, or #HALVO_ERROR_OPERATION_FAILED when no watch was removed. */
HALVO_API int halvo_unset_last_bluetooth_speakers_changed_cb(void) HALVO_NOEXCEPT;

/** The worker behind halvo_unset_last_bluetooth_speakers_changed_cb(); same contract. */
HALVO_API int halvo_unset_last_bluetooth_speakers_changed_cb_internal(void) HALVO_NOEXCEPT;

/** Plumbing: registers the store watch on the last-speakers key.
 *  @return 0 or #HALVO_ERROR_OPERATION_FAILED. */
HALVO_API int halvo_set_last_bluetooth_speakers_key_changed_cb(void *user_data) HALVO_NOEXCEPT;

/** Plumbing: removes the store watch on the last-speakers key.
 *  @return 0 or #HALVO_ERROR_OPERATION_FAILED. */
HALVO_API int halvo_unset_last_bluetooth_speakers_key_changed_cb(void) HALVO_NOEXCEPT;

/** @return the size of #last_spk_info_t on 32-bit x86: 20. */
HALVO_API int get_size_of_last_spk_info_t(void) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Reconnection of last speakers                                       */
/* ------------------------------------------------------------------ */

/** Asks the service to connect the last-used speakers again
 *  ("connect_last_btspk_list"); it answers at once and reports progress
 *  through the connecting-status callback.
 *  @param show_connecting_ui whether the service shows its connecting UI.
 *  @return the service's own result, returned unchanged, or #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_connect_to_last_bluetooth_speakers(bool show_connecting_ui) HALVO_NOEXCEPT;

/** The worker behind halvo_connect_to_last_bluetooth_speakers(); same contract. */
HALVO_API int halvo_connect_to_last_bluetooth_speakers_internal(bool show_connecting_ui) HALVO_NOEXCEPT;

/** Asks the service to disconnect the last-used speakers ("disconnect_last_btspk_list").
 *  @return the service's own result, returned unchanged, or #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_disconnect_to_last_bluetooth_speakers(void) HALVO_NOEXCEPT;

/** The worker behind halvo_disconnect_to_last_bluetooth_speakers(); same contract. */
HALVO_API int halvo_disconnect_to_last_bluetooth_speakers_internal(void) HALVO_NOEXCEPT;

/** Calls @p callback with 1 while the service reports "InProgress" and 2
 *  for any other report, with @p user_data, in the thread-default main
 *  context of the calling thread.  A second set replaces the callback.
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER for a NULL callback;
 *          #HALVO_ERROR_OPERATION_FAILED (no bus). */
HALVO_API int halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(
    halvo_last_bluetooth_speakers_connecting_status_changed_cb callback, void *user_data) HALVO_NOEXCEPT;

/** The worker behind halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(),
 *  without the NULL check.  @return 0 or #HALVO_ERROR_OPERATION_FAILED. */
HALVO_API int halvo_set_last_bluetooth_speakers_connecting_status_changed_cb_internal(
    halvo_last_bluetooth_speakers_connecting_status_changed_cb callback, void *user_data) HALVO_NOEXCEPT;

/** Removes the connecting-status subscription.
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER when it was not subscribed;
 *          #HALVO_ERROR_OPERATION_FAILED without a bus. */
HALVO_API int halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb(void) HALVO_NOEXCEPT;

/** The worker behind halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb(); same contract. */
HALVO_API int halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb_internal(void) HALVO_NOEXCEPT;

/** GDBus handler of "last_connecting_status_changed" (plumbing); uses only
 *  @p signal_name and @p parameters. */
HALVO_API void _halvo_last_connecting_status_changed(GDBusConnection *connection, const gchar *sender_name,
                                                     const gchar *object_path, const gchar *interface_name,
                                                     const gchar *signal_name, GVariant *parameters,
                                                     gpointer user_data) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Volume and mute                                                     */
/* ------------------------------------------------------------------ */

/** Asks the service whether the volume of speaker @p address can be
 *  controlled, into @p controlable ("get_volume_controlable_by_address").
 *  @return the service's own result, returned unchanged (@p controlable is written whenever an answer
 *          came); #HALVO_ERROR_INVALID_PARAMETER for a NULL pointer;
 *          #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_api_get_volume_controlable(const char *address, bool *controlable) HALVO_NOEXCEPT;

/** The worker behind halvo_api_get_volume_controlable(); same contract. */
HALVO_API int halvo_api_get_volume_controlable_internal(const char *address, bool *controlable) HALVO_NOEXCEPT;

/** Sets the volume of speaker @p address to @p volume ("set_volume_by_address");
 *  range and meaning are the service's.
 *  The service then announces the change to the volume callbacks.
 *  @return the service's own result, returned unchanged, or #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_api_set_volume(const char *address, int volume) HALVO_NOEXCEPT;

/** The worker behind halvo_api_set_volume(); same contract. */
HALVO_API int halvo_api_set_volume_internal(const char *address, int volume) HALVO_NOEXCEPT;

/** Reads the volume of speaker @p address into @p volume ("get_volume_by_address").
 *  @return the service's own result, returned unchanged (@p volume is written whenever an answer came);
 *          #HALVO_ERROR_INVALID_PARAMETER for a NULL pointer;
 *          #HALVO_ERROR_OPERATION_FAILED when the call failed (@p volume untouched). */
HALVO_API int halvo_api_get_volume(const char *address, int *volume) HALVO_NOEXCEPT;

/** The worker behind halvo_api_get_volume(); same contract. */
HALVO_API int halvo_api_get_volume_internal(const char *address, int *volume) HALVO_NOEXCEPT;

/** Reads how many speakers are connected into @p count ("get_num_of_speaker").
 *  @return the service's own result, returned unchanged; #HALVO_ERROR_INVALID_PARAMETER for NULL;
 *          #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_api_get_num_of_connected_spaker(int *count) HALVO_NOEXCEPT;

/** The worker behind halvo_api_get_num_of_connected_spaker(); same contract. */
HALVO_API int halvo_api_get_num_of_connected_spaker_internal(int *count) HALVO_NOEXCEPT;

/** Toggles the speakers' mute ("spk_mute_unmute"); the service keeps the
 *  state, which halvo_api_get_mute_state() reads.
 *  @return the service's own result, returned unchanged, or #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_api_mute_unmute(void) HALVO_NOEXCEPT;

/** The worker behind halvo_api_mute_unmute(); same contract. */
HALVO_API int halvo_api_mute_unmute_internal(void) HALVO_NOEXCEPT;

/** Steps the volume of the speakers in use down ("spk_vol_down").
 *  @return the service's own result, returned unchanged, or #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_api_volume_down(void) HALVO_NOEXCEPT;

/** The worker behind halvo_api_volume_down(); same contract. */
HALVO_API int halvo_api_volume_down_internal(void) HALVO_NOEXCEPT;

/** Steps the volume of the speakers in use up ("spk_vol_up").
 *  @return the service's own result, returned unchanged, or #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_api_volume_up(void) HALVO_NOEXCEPT;

/** The worker behind halvo_api_volume_up(); same contract. */
HALVO_API int halvo_api_volume_up_internal(void) HALVO_NOEXCEPT;

/** Reads the stored Bluetooth mute flag into @p muted (any non-zero value is muted).
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER for NULL;
 *          #HALVO_ERROR_OPERATION_FAILED when the key is unreadable (@p muted untouched). */
HALVO_API int halvo_api_get_mute_state(bool *muted) HALVO_NOEXCEPT;

/** The worker behind halvo_api_get_mute_state(); same contract. */
HALVO_API int halvo_api_get_mute_state_internal(bool *muted) HALVO_NOEXCEPT;

/** Calls @p callback with the speaker's address, its new volume and
 *  @p user_data each time the service announces a volume change, in the
 *  thread-default main context of the calling thread.  The address is the
 *  library's and freed when the callback returns.  A second set replaces
 *  the callback and keeps the one subscription.
 *  @return 0, or #HALVO_ERROR_OPERATION_FAILED (no bus). */
HALVO_API int halvo_api_set_volume_changed_callback(halvo_api_volume_changed_cb callback,
                                                    void *user_data) HALVO_NOEXCEPT;

/** The worker behind halvo_api_set_volume_changed_callback(); same contract. */
HALVO_API int halvo_api_set_volume_changed_callback_internal(halvo_api_volume_changed_cb callback,
                                                             void *user_data) HALVO_NOEXCEPT;

/** Calls @p callback with the speaker's address, whether its volume can
 *  now be controlled, and @p user_data, each time the service announces
 *  it; delivery as for halvo_api_set_volume_changed_callback().
 *  @return 0, or #HALVO_ERROR_OPERATION_FAILED (no bus). */
HALVO_API int halvo_api_set_volume_controlable_changed_callback(
    halvo_api_volume_controlable_changed_cb callback, void *user_data) HALVO_NOEXCEPT;

/** The worker behind halvo_api_set_volume_controlable_changed_callback(); same contract. */
HALVO_API int halvo_api_set_volume_controlable_changed_callback_internal(
    halvo_api_volume_controlable_changed_cb callback, void *user_data) HALVO_NOEXCEPT;

/** Removes the volume-change subscription.
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER when it was not subscribed;
 *          #HALVO_ERROR_OPERATION_FAILED without a bus. */
HALVO_API int halvo_api_unset_volume_changed_callback(void) HALVO_NOEXCEPT;

/** The worker behind halvo_api_unset_volume_changed_callback(); same contract. */
HALVO_API int halvo_api_unset_volume_changed_callback_internal(void) HALVO_NOEXCEPT;

/** Removes the controllability subscription.
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER when it was not subscribed;
 *          #HALVO_ERROR_OPERATION_FAILED without a bus. */
HALVO_API int halvo_api_unset_volume_controlable_changed_callback(void) HALVO_NOEXCEPT;

/** The worker behind halvo_api_unset_volume_controlable_changed_callback(); same contract. */
HALVO_API int halvo_api_unset_volume_controlable_changed_callback_internal(void) HALVO_NOEXCEPT;

/** GDBus handler of "bt_spk_volume_changed_by_address" (plumbing); uses
 *  only @p signal_name and @p parameters. */
HALVO_API void _halvo_bt_spk_volume_changed_by_address(GDBusConnection *connection, const gchar *sender_name,
                                                       const gchar *object_path, const gchar *interface_name,
                                                       const gchar *signal_name, GVariant *parameters,
                                                       gpointer user_data) HALVO_NOEXCEPT;

/** GDBus handler of "bt_spk_volume_controlable_changed_by_address"
 *  (plumbing); uses only @p signal_name and @p parameters. */
HALVO_API void _halvo_bt_spk_volume_controlable_changed_by_address(
    GDBusConnection *connection, const gchar *sender_name, const gchar *object_path,
    const gchar *interface_name, const gchar *signal_name, GVariant *parameters,
    gpointer user_data) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Speaker icons and replacement                                       */
/* ------------------------------------------------------------------ */

/** Looks the speaker icon-type code @p icon_type up in the library's own
 *  table (unknown codes: the generic speaker icon) and stores the icon
 *  file's full path in @p path, a heap string the caller frees with free().
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER for a NULL @p path;
 *          #HALVO_ERROR_OPERATION_FAILED when no path could be had. */
HALVO_API int halvo_api_get_common_icon_path_internal(const char *icon_type, char **path) HALVO_NOEXCEPT;

/** Asks the service for the icon file of speaker icon-type code
 *  @p icon_type; when it does not answer, the library's own table answers
 *  (halvo_api_get_common_icon_path_internal()), also for a NULL code.
 *  @p path receives a heap string the caller frees with free().
 *  @return 0; #HALVO_ERROR_INVALID_PARAMETER for a NULL @p path or a code
 *          that is not UTF-8; #HALVO_ERROR_OPERATION_FAILED when neither could answer. */
HALVO_API int halvo_api_get_last_bluetooth_speaker_icon_path(const char *icon_type, char **path) HALVO_NOEXCEPT;

/** The worker behind halvo_api_get_last_bluetooth_speaker_icon_path(); same contract. */
HALVO_API int halvo_api_get_last_bluetooth_speaker_icon_path_internal(const char *icon_type,
                                                                      char **path) HALVO_NOEXCEPT;

/** Asks the service to use speaker @p address instead of the current one
 *  ("replace_current_bluetooth_speaker").
 *  @return the service's own result, returned unchanged, or #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_api_replace_current_speaker(const char *address) HALVO_NOEXCEPT;

/** The worker behind halvo_api_replace_current_speaker(); same contract. */
HALVO_API int halvo_api_replace_current_speaker_internal(const char *address) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Stored device lists                                                 */
/* ------------------------------------------------------------------ */

/** Appends the info-sync devices stored by another component, except those
 *  deleted on the television, to *@p list (pass NULL), as #info_sync_device_t
 *  in stored order; release the list with halvo_free_info_sync_devices().
 *  @return 0 (also for an empty or unusable document);
 *          #HALVO_ERROR_OPERATION_FAILED when the key is unreadable (*@p list is then NULL). */
HALVO_API int halvo_get_info_sync_devices(GSList **list) HALVO_NOEXCEPT;

/** Frees a list of #info_sync_device_t and sets *@p list to NULL.
 *  @return 0, or #HALVO_ERROR_INVALID_PARAMETER for an empty list. */
HALVO_API int halvo_free_info_sync_devices(GSList **list) HALVO_NOEXCEPT;

/** Marks the info-sync device stored under member name @p key as deleted
 *  on the television ("deleted_on_tv"); it stays in the stored document and
 *  leaves the list that halvo_get_info_sync_devices() returns.  Only the
 *  mark's bytes of the stored text change.  No other component is notified
 *  by the library.
 *  @return 0 (also when @p key is not there: nothing is written);
 *          #HALVO_ERROR_OPERATION_FAILED when the key is unreadable, when the
 *          text cannot be edited in place (it is not plain JSON, or names the
 *          device twice; it is left as it was) or when the store refuses the write. */
HALVO_API int halvo_remove_info_sync_device(const char *key) HALVO_NOEXCEPT;

/** @return the size of #info_sync_device_t on 32-bit x86: 8. */
HALVO_API int get_size_of_info_sync_device_t(void) HALVO_NOEXCEPT;

/** Calls @p callback, on the calling thread and during this call, with the
 *  address and name of each device whose pairing is blocked, in stored
 *  order, until it returns false.  The address and name are the library's
 *  and valid during the call only.
 *  @return 0 (also after a stop, or when nothing is blocked);
 *          #HALVO_ERROR_INVALID_PARAMETER for a NULL callback;
 *          #HALVO_ERROR_OPERATION_FAILED when the key is unreadable. */
HALVO_API int halvo_foreach_blocked_devices(halvo_blocked_device_cb callback, void *user_data) HALVO_NOEXCEPT;

/** Takes @p address off the stored pairing-blocked list, so that it may
 *  pair again.  Only the device's member leaves the stored text; every other
 *  byte stays.  No other component is notified by the library.
 *  @return 0 (also when the address was not listed: nothing is written);
 *          #HALVO_ERROR_INVALID_PARAMETER for NULL;
 *          #HALVO_ERROR_OPERATION_FAILED when the key is unreadable, when the
 *          text cannot be edited in place (left as it was) or when the store
 *          refuses the write. */
HALVO_API int halvo_remove_pairing_blocked_devices(const char *address) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Wireless earphone switching                                         */
/* ------------------------------------------------------------------ */

/** Asks the service to switch the wireless earphones @p address to the
 *  television (method named by #tuvo_switching_connect); the new state
 *  arrives through the connection-state callback.
 *  @return the service's own result, returned unchanged; #HALVO_ERROR_INVALID_PARAMETER for a NULL
 *          or non-UTF-8 address, or a method name that is no member name;
 *          #HALVO_ERROR_OPERATION_FAILED when the call failed. */
HALVO_API int halvo_tuvo_switching_connect(const char *address) HALVO_NOEXCEPT;

/** Asks the service to switch the earphones @p address away from the
 *  television (method named by #tuvo_switching_disconnect).
 *  @return as halvo_tuvo_switching_connect(). */
HALVO_API int halvo_tuvo_switching_disconnect(const char *address) HALVO_NOEXCEPT;

/** Calls @p callback with the service's result, the earphones' address
 *  (the library's, freed when the callback returns), whether they are
 *  connected, and @p user_data, each time the service reports a new state;
 *  in the thread-default main context of the calling thread.  Kept in
 *  #callbacks; a second set replaces it.
 *  @return 0, #HALVO_ERROR_INVALID_PARAMETER for a NULL callback, or
 *          #HALVO_ERROR_OPERATION_FAILED when it cannot subscribe (no bus):
 *          then the earlier callback, if any, stays. */
HALVO_API int halvo_tuvo_switching_set_connection_state_cb(halvo_tuvo_switching_connection_state_cb callback,
                                                           void *user_data) HALVO_NOEXCEPT;

/** Removes the earphone callback and its subscription.  @return always 0. */
HALVO_API int halvo_tuvo_switching_unset_connection_state_cb(void) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* What went wrong                                                     */
/* ------------------------------------------------------------------ */

/** @name Failure detail
 *  Why the last operation on this thread failed, beside its unchanged
 *  return value: each public operation (and each `_finish`) sets it.
 *  @{ */
/** The kind of failure of the last operation of the calling thread. */
typedef enum {
    HALVO_FAILURE_NONE = 0,             /**< it succeeded */
    HALVO_FAILURE_INVALID_ARGUMENT = 1, /**< an argument was refused; nothing was sent */
    HALVO_FAILURE_NO_BUS = 2,           /**< no connection to the system bus (none, or it closed) */
    HALVO_FAILURE_NO_SERVICE = 3,       /**< nobody owns the service's name on the bus */
    HALVO_FAILURE_TIMEOUT = 4,          /**< no answer within the operation's bound (the bus daemon's too) */
    HALVO_FAILURE_ERROR_REPLY = 5,      /**< the service answered with a D-Bus error */
    HALVO_FAILURE_BAD_REPLY = 6,        /**< the answer has another type or content than the method's */
    HALVO_FAILURE_SERVICE_ANSWERED = 7, /**< the service answered a failure of its own (its code is the result) */
    HALVO_FAILURE_STORE = 8,            /**< a store key is unreadable, unwritable or holds unusable JSON */
    HALVO_FAILURE_CANCELLED = 9,        /**< cancelled through its GCancellable */
} halvo_failure_e;

/** The failure of the last public operation this thread ran (a `_finish`
 *  counts as the operation it finishes): #HALVO_FAILURE_NONE after a
 *  success.  Per thread, so another thread's calls do not change it. */
HALVO_API halvo_failure_e halvo_api_last_failure(void) HALVO_NOEXCEPT;

/** A short English name of @p failure ("no service", "timed out", ...);
 *  "unknown failure" for a value outside the enumeration.  Static. */
HALVO_API const char *halvo_api_failure_name(halvo_failure_e failure) HALVO_NOEXCEPT;
/** @} */

/* ------------------------------------------------------------------ */
/* Speakers: the everyday operations                                   */
/* ------------------------------------------------------------------ */

/** Brings the speakers' mute to @p muted: reads the stored mute state and
 *  toggles it only when it differs.  Calls of the process are taken one at
 *  a time, so two quick calls end in the state of the later one.
 *  @return 0 (also when nothing had to change), the service's result of
 *          the toggle, or #HALVO_ERROR_OPERATION_FAILED (store unreadable,
 *          no answer). */
HALVO_API int halvo_api_set_mute(bool muted) HALVO_NOEXCEPT;

/** Called with the new mute state and the user data. */
typedef void (*halvo_api_mute_changed_cb)(bool muted, void *user_data);

/** Calls @p callback whenever the stored mute state changes (the service
 *  announces no signal for it), in the main context of the calling thread.
 *  One callback: a second set replaces the first.
 *  @return 0, #HALVO_ERROR_INVALID_PARAMETER for a NULL callback,
 *          #HALVO_ERROR_OPERATION_FAILED when the store cannot watch it. */
HALVO_API int halvo_api_set_mute_changed_callback(halvo_api_mute_changed_cb callback,
                                                  void *user_data) HALVO_NOEXCEPT;

/** Stops the mute callback.  @return 0, or #HALVO_ERROR_INVALID_PARAMETER
 *  when none is set. */
HALVO_API int halvo_api_unset_mute_changed_callback(void) HALVO_NOEXCEPT;

/** Called with the connected speakers (records of #speaker_t, the
 *  library's: freed when the callback returns; NULL for none or an
 *  unusable document) and the user data. */
typedef void (*halvo_connected_bt_speakers_changed_cb)(GSList *speakers, void *user_data);

/** Calls @p callback whenever the stored list of connected speakers
 *  changes, in the main context of the calling thread.  One callback: a
 *  second set replaces the first.
 *  @return 0, #HALVO_ERROR_INVALID_PARAMETER for a NULL callback,
 *          #HALVO_ERROR_OPERATION_FAILED when the store cannot watch it. */
HALVO_API int halvo_set_connected_bt_speakers_changed_cb(halvo_connected_bt_speakers_changed_cb callback,
                                                         void *user_data) HALVO_NOEXCEPT;

/** Stops the connected-speakers callback.  @return 0, or
 *  #HALVO_ERROR_INVALID_PARAMETER when none is set. */
HALVO_API int halvo_unset_connected_bt_speakers_changed_cb(void) HALVO_NOEXCEPT;

/* ------------------------------------------------------------------ */
/* Listeners                                                           */
/* ------------------------------------------------------------------ */

/** @name Listeners
 *  Any number of listeners per event, from any thread, GLib style: each is
 *  called in the thread-default main context of the thread that connected
 *  it (or through halvo_api_event_fd(), when that thread asked for one).
 *  The single-slot setters above are one listener each, and C and C++
 *  listeners of one event mix freely.
 *
 *  Connecting never waits on the bus: without a connection the listener
 *  is registered, the library connects in the background and subscribes
 *  it.  An event that a call causes is delivered to every listener
 *  connected before that call was made, on any thread: the match is queued
 *  on the connection before the call goes out.
 *
 *  Disconnecting returns once the listener is not running on another
 *  thread and will not start (from inside the listener itself it returns
 *  at once, and the listener finishes).  Then, or when that listener
 *  returns, @c destroy runs once with the user data.
 *  @{ */

/** What a listener follows; its callback has the type of the event's
 *  family, cast to GCallback. */
typedef enum {
    HALVO_EVENT_SPEAKER_INFO_CHANGED = 1,   /**< #halvo_bt_spk_info_changed_cb */
    HALVO_EVENT_LAST_SPEAKERS_CHANGED,      /**< #halvo_last_bluetooth_speakers_changed_cb; the list is the
                                                 listener's to free */
    HALVO_EVENT_CONNECTING_STATUS_CHANGED,  /**< #halvo_last_bluetooth_speakers_connecting_status_changed_cb */
    HALVO_EVENT_VOLUME_CHANGED,             /**< #halvo_api_volume_changed_cb */
    HALVO_EVENT_VOLUME_CONTROLABLE_CHANGED, /**< #halvo_api_volume_controlable_changed_cb */
    HALVO_EVENT_MUTE_CHANGED,               /**< #halvo_api_mute_changed_cb */
    HALVO_EVENT_CONNECTED_SPEAKERS_CHANGED, /**< #halvo_connected_bt_speakers_changed_cb */
    HALVO_EVENT_EARPHONES_CHANGED,          /**< #halvo_tuvo_switching_connection_state_cb */
    HALVO_EVENT_SERVICE_CHANGED,            /**< #halvo_service_changed_cb */
} halvo_event_e;

/** Called when the service's bus name gains or loses its owner (a restart
 *  is a loss, then a gain).  While it is absent, the stored lists may be
 *  stale: nobody keeps them.  On its return, read again what the screen
 *  shows. */
typedef void (*halvo_service_changed_cb)(bool present, gpointer user_data);

/** Connects @p callback to @p event.  @p destroy (may be NULL) runs once
 *  with @p user_data when the listener is disconnected.
 *  @return the listener's id, never 0; 0 for an invalid event, a NULL
 *          callback, or a store that refused the watch of a stored
 *          document (then @p destroy is not called). */
HALVO_API gulong halvo_api_connect(halvo_event_e event, GCallback callback, gpointer user_data,
                                   GDestroyNotify destroy) HALVO_NOEXCEPT;

/** Disconnects listener @p id (0 and unknown ids are ignored). */
HALVO_API void halvo_api_disconnect(gulong id) HALVO_NOEXCEPT;

/** Whether the service's bus name has an owner, as last heard: answers at
 *  once, without waiting on the bus (false until the library has heard;
 *  the first call starts the library's connection). */
HALVO_API bool halvo_api_service_present(void) HALVO_NOEXCEPT;

/** @} */

/** @name Any event loop
 *  For a thread that iterates no GLib main context (a plain poll() loop,
 *  Qt without GLib, libuv, asio): the first call of halvo_api_event_fd()
 *  on a thread gives it a main context of the library's, made the thread's
 *  default for good.  From then on the calls that thread starts and the
 *  listeners it connects deliver through the descriptor: when it becomes
 *  readable, or halvo_api_event_timeout() has passed, call
 *  halvo_api_dispatch() on that thread.
 *  <!-- fragment -->
 *  @code
 *  struct pollfd p = { halvo_api_event_fd(), POLLIN, 0 };
 *  for (;;) {
 *      poll(&p, 1, halvo_api_event_timeout());
 *      halvo_api_dispatch();
 *  }
 *  @endcode
 *  @{ */

/** The calling thread's event descriptor (the same on each call), or -1
 *  when the thread already owns another main context as its default. */
HALVO_API int halvo_api_event_fd(void) HALVO_NOEXCEPT;

/** Milliseconds until halvo_api_dispatch() is due even if the descriptor
 *  stays quiet; -1 for no time-out, 0 for at once. */
HALVO_API int halvo_api_event_timeout(void) HALVO_NOEXCEPT;

/** Runs the callbacks due on the calling thread; does nothing on a thread
 *  without an event descriptor. */
HALVO_API void halvo_api_dispatch(void) HALVO_NOEXCEPT;

/** @} */

/* ------------------------------------------------------------------ */
/* Non-blocking calls                                                  */
/* ------------------------------------------------------------------ */

/** @name Non-blocking calls
 *  Every operation that waits on the service or the store has a pair:
 *  `NAME_async(inputs, cancellable, callback, user_data)` starts it and
 *  returns at once; @p callback then runs once, in the thread-default main
 *  context of the thread that called `_async` (never inside `_async`), and
 *  calls `NAME_finish(result, outputs)`, which returns exactly what `NAME`
 *  would have and fills the same outputs with the same ownership.  Calls
 *  to the service go out at once and overlap on the bus; store work runs
 *  on worker threads of the library's own.  Each call has the bound of
 *  its blocking twin (5000 ms, the firmware request 60000 ms), connecting
 *  and waiting its turn included.  Edits of one stored document (the mute
 *  change, the blocked-device and info-sync removals) take turns in the
 *  order they were made, blocking and non-blocking alike, from any
 *  thread; a non-blocking one waits for its turn without holding a
 *  thread.
 *
 *  As in GIO, a cancelled call's callback still runs, once, and its
 *  `_finish` returns #HALVO_ERROR_CANCELLED: whatever @p user_data points
 *  to must outlive it.  Keep the screen that owns the cancellable until
 *  its callbacks have run, or give each call a reference that its
 *  callback drops:
 *  @code
 *  #include <halvo-api.h>
 *
 *  static void volume_read(GObject *source, GAsyncResult *result, gpointer user_data)
 *  {
 *      GObject *screen = user_data;
 *      int volume = 0;
 *      if (halvo_api_get_volume_finish(result, &volume) == HALVO_ERROR_NONE)
 *          g_object_set_data(screen, "volume", GINT_TO_POINTER(volume));
 *      g_object_unref(screen);  // cancelled or not: the call's reference
 *  }
 *
 *  void screen_read_volume(GObject *screen, const char *address, GCancellable *closing)
 *  {
 *      halvo_api_get_volume_async(address, closing, volume_read, g_object_ref(screen));
 *  }
 *  @endcode
 *
 *  A change cancelled after its request went out (a volume set, a mute
 *  change, a connect or disconnect, a command, the firmware request):
 *  `_finish` returns #HALVO_ERROR_CANCELLED all the same, but the service
 *  may have made the change, since it is not told of the cancel; read the
 *  state again to know.  A store edit checks its cancellable just before
 *  it writes, and cancelled then writes nothing; cancelled after its
 *  write, it reports #HALVO_ERROR_CANCELLED with the edit made.
 *
 *  Invalid inputs finish with the blocking twin's answer, through the
 *  callback too.  Cancelled (before it starts, while it waits, or after
 *  the answer came but before the callback ran): the callback still runs,
 *  promptly, and `_finish` returns #HALVO_ERROR_CANCELLED (bool: false;
 *  the firmware request: "NG"), writes no output, and sets
 *  #HALVO_FAILURE_CANCELLED.  A `_finish` given anything but its own
 *  operation's result, or a result for the second time, returns the
 *  invalid-parameter answer.  Call each `_finish` from the callback (or
 *  later, on any thread), once.
 *  @{ */

/** @cond INTERNAL */
#define HALVO_ASYNC_ARGS GCancellable *cancellable, GAsyncReadyCallback callback, gpointer user_data
/** @endcond */

/** Starts halvo_get_paired_dev_info() without blocking;
 *  the callback calls halvo_get_paired_dev_info_finish(). */
HALVO_API void halvo_get_paired_dev_info_async(const char *remote_address, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_get_paired_dev_info() would have returned,
 *  for the result of halvo_get_paired_dev_info_async(). */
HALVO_API int halvo_get_paired_dev_info_finish(GAsyncResult *result, halvo_device_info_s **dev_info) HALVO_NOEXCEPT;
/** Starts halvo_get_paired_dev_info_list() without blocking;
 *  the callback calls halvo_get_paired_dev_info_list_finish(). */
HALVO_API void halvo_get_paired_dev_info_list_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_get_paired_dev_info_list() would have returned,
 *  for the result of halvo_get_paired_dev_info_list_async(). */
HALVO_API int halvo_get_paired_dev_info_list_finish(GAsyncResult *result, GSList **list) HALVO_NOEXCEPT;
/** Starts halvo_get_device_type() without blocking; the callback calls halvo_get_device_type_finish(). */
HALVO_API void halvo_get_device_type_async(const char *remote_address, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_get_device_type() would have returned, for the result of halvo_get_device_type_async(). */
HALVO_API int halvo_get_device_type_finish(GAsyncResult *result, int *device_type) HALVO_NOEXCEPT;

/** Starts halvo_set_use_dontuse_status() without blocking;
 *  the callback calls halvo_set_use_dontuse_status_finish(). */
HALVO_API void halvo_set_use_dontuse_status_async(const char *name, const char *address, bool usedontuse,
                                                  HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_set_use_dontuse_status() would have returned,
 *  for the result of halvo_set_use_dontuse_status_async(). */
HALVO_API bool halvo_set_use_dontuse_status_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_get_use_dontuse_status() without blocking;
 *  the callback calls halvo_get_use_dontuse_status_finish(). */
HALVO_API void halvo_get_use_dontuse_status_async(const char *address, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** Cancelled: -1, as a failed call. */
HALVO_API int halvo_get_use_dontuse_status_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_remove_use_dontuse_status() without blocking;
 *  the callback calls halvo_remove_use_dontuse_status_finish(). */
HALVO_API void halvo_remove_use_dontuse_status_async(const char *address, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_remove_use_dontuse_status() would have returned,
 *  for the result of halvo_remove_use_dontuse_status_async(). */
HALVO_API bool halvo_remove_use_dontuse_status_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_get_dontuse_device_list() without blocking;
 *  the callback calls halvo_get_dontuse_device_list_finish(). */
HALVO_API void halvo_get_dontuse_device_list_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_get_dontuse_device_list() would have returned,
 *  for the result of halvo_get_dontuse_device_list_async(). */
HALVO_API bool halvo_get_dontuse_device_list_finish(GAsyncResult *result, GSList **list) HALVO_NOEXCEPT;

/** Starts halvo_parse_manufacturer_data() without blocking;
 *  the callback calls halvo_parse_manufacturer_data_finish(). */
HALVO_API void halvo_parse_manufacturer_data_async(int link_type, const char *data, int length, int option,
                                                   HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_parse_manufacturer_data() would have returned,
 *  for the result of halvo_parse_manufacturer_data_async(). */
HALVO_API int halvo_parse_manufacturer_data_finish(GAsyncResult *result, char **out_data,
                                                   int *out_length) HALVO_NOEXCEPT;
/** Starts halvo_read_specific_manufacturer_data() without blocking;
 *  the callback calls halvo_read_specific_manufacturer_data_finish(). */
HALVO_API void halvo_read_specific_manufacturer_data_async(const char *address, int option,
                                                           HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_read_specific_manufacturer_data() would have returned,
 *  for the result of halvo_read_specific_manufacturer_data_async(). */
HALVO_API int halvo_read_specific_manufacturer_data_finish(GAsyncResult *result, char **out_data,
                                                           int *out_length) HALVO_NOEXCEPT;
/** Starts halvo_read_manufacturer_data() without blocking;
 *  the callback calls halvo_read_manufacturer_data_finish(). */
HALVO_API void halvo_read_manufacturer_data_async(const char *address, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_read_manufacturer_data() would have returned,
 *  for the result of halvo_read_manufacturer_data_async(). */
HALVO_API int halvo_read_manufacturer_data_finish(GAsyncResult *result, int *option, char **out_data,
                                                  int *out_length) HALVO_NOEXCEPT;
/** Starts halvo_write_manufacturer_data() without blocking;
 *  the callback calls halvo_write_manufacturer_data_finish(). */
HALVO_API void halvo_write_manufacturer_data_async(const char *address, int link_type, const char *data,
                                                   int length, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_write_manufacturer_data() would have returned,
 *  for the result of halvo_write_manufacturer_data_async(). */
HALVO_API int halvo_write_manufacturer_data_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_send_custom_command() without blocking;
 *  the callback calls halvo_send_custom_command_finish(). */
HALVO_API void halvo_send_custom_command_async(const char *command, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_send_custom_command() would have returned,
 *  for the result of halvo_send_custom_command_async(). */
HALVO_API int halvo_send_custom_command_finish(GAsyncResult *result, char **response) HALVO_NOEXCEPT;

/** Starts halvo_enter_bt_dut_mode() without blocking; the callback calls halvo_enter_bt_dut_mode_finish(). */
HALVO_API void halvo_enter_bt_dut_mode_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_enter_bt_dut_mode() would have returned, for the result of halvo_enter_bt_dut_mode_async(). */
HALVO_API bool halvo_enter_bt_dut_mode_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_enter_bt_dut_mode_new() without blocking;
 *  the callback calls halvo_enter_bt_dut_mode_new_finish(). */
HALVO_API void halvo_enter_bt_dut_mode_new_async(const char *test_side, const char *test_mode, int test_channel,
                                                 int test_power, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_enter_bt_dut_mode_new() would have returned,
 *  for the result of halvo_enter_bt_dut_mode_new_async(). */
HALVO_API bool halvo_enter_bt_dut_mode_new_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_stop_bt_dut_mode_new() without blocking;
 *  the callback calls halvo_stop_bt_dut_mode_new_finish(). */
HALVO_API void halvo_stop_bt_dut_mode_new_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_stop_bt_dut_mode_new() would have returned,
 *  for the result of halvo_stop_bt_dut_mode_new_async(). */
HALVO_API bool halvo_stop_bt_dut_mode_new_finish(GAsyncResult *result) HALVO_NOEXCEPT;

/** Starts halvo_update_zemo_fw() without blocking; the callback calls halvo_update_zemo_fw_finish(). */
HALVO_API void halvo_update_zemo_fw_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_update_zemo_fw() would have returned, for the result of halvo_update_zemo_fw_async(). */
HALVO_API const char *halvo_update_zemo_fw_finish(GAsyncResult *result) HALVO_NOEXCEPT;

/** Starts halvo_get_connected_bt_speaker_infos() without blocking;
 *  the callback calls halvo_get_connected_bt_speaker_infos_finish(). */
HALVO_API void halvo_get_connected_bt_speaker_infos_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_get_connected_bt_speaker_infos() would have returned,
 *  for the result of halvo_get_connected_bt_speaker_infos_async(). */
HALVO_API int halvo_get_connected_bt_speaker_infos_finish(GAsyncResult *result, GSList **list) HALVO_NOEXCEPT;
/** Starts halvo_set_connected_bt_speaker_info() without blocking;
 *  the callback calls halvo_set_connected_bt_speaker_info_finish(). */
HALVO_API void halvo_set_connected_bt_speaker_info_async(const char *vsid, bt_spk_info_t *info,
                                                         HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_set_connected_bt_speaker_info() would have returned,
 *  for the result of halvo_set_connected_bt_speaker_info_async(). */
HALVO_API int halvo_set_connected_bt_speaker_info_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_set_connected_bt_speaker_info_with_serialization() without blocking;
 *  the callback calls halvo_set_connected_bt_speaker_info_with_serialization_finish(). */
HALVO_API void halvo_set_connected_bt_speaker_info_with_serialization_async(const char *data,
                                                                           HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_set_connected_bt_speaker_info_with_serialization() would have returned,
 *  for the result of halvo_set_connected_bt_speaker_info_with_serialization_async(). */
HALVO_API int halvo_set_connected_bt_speaker_info_with_serialization_finish(GAsyncResult *result) HALVO_NOEXCEPT;

/** Starts halvo_get_last_bluetooth_speakers() without blocking;
 *  the callback calls halvo_get_last_bluetooth_speakers_finish(). */
HALVO_API void halvo_get_last_bluetooth_speakers_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_get_last_bluetooth_speakers() would have returned,
 *  for the result of halvo_get_last_bluetooth_speakers_async(). */
HALVO_API int halvo_get_last_bluetooth_speakers_finish(GAsyncResult *result, GSList **list) HALVO_NOEXCEPT;

/** Starts halvo_connect_to_last_bluetooth_speakers() without blocking;
 *  the callback calls halvo_connect_to_last_bluetooth_speakers_finish(). */
HALVO_API void halvo_connect_to_last_bluetooth_speakers_async(bool show_connecting_ui,
                                                              HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_connect_to_last_bluetooth_speakers() would have returned,
 *  for the result of halvo_connect_to_last_bluetooth_speakers_async(). */
HALVO_API int halvo_connect_to_last_bluetooth_speakers_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_disconnect_to_last_bluetooth_speakers() without blocking;
 *  the callback calls halvo_disconnect_to_last_bluetooth_speakers_finish(). */
HALVO_API void halvo_disconnect_to_last_bluetooth_speakers_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_disconnect_to_last_bluetooth_speakers() would have returned,
 *  for the result of halvo_disconnect_to_last_bluetooth_speakers_async(). */
HALVO_API int halvo_disconnect_to_last_bluetooth_speakers_finish(GAsyncResult *result) HALVO_NOEXCEPT;

/** Starts halvo_api_get_volume_controlable() without blocking;
 *  the callback calls halvo_api_get_volume_controlable_finish(). */
HALVO_API void halvo_api_get_volume_controlable_async(const char *address, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_api_get_volume_controlable() would have returned,
 *  for the result of halvo_api_get_volume_controlable_async(). */
HALVO_API int halvo_api_get_volume_controlable_finish(GAsyncResult *result, bool *controlable) HALVO_NOEXCEPT;
/** Starts halvo_api_set_volume() without blocking; the callback calls halvo_api_set_volume_finish(). */
HALVO_API void halvo_api_set_volume_async(const char *address, int volume, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_api_set_volume() would have returned, for the result of halvo_api_set_volume_async(). */
HALVO_API int halvo_api_set_volume_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_api_get_volume() without blocking; the callback calls halvo_api_get_volume_finish(). */
HALVO_API void halvo_api_get_volume_async(const char *address, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_api_get_volume() would have returned, for the result of halvo_api_get_volume_async(). */
HALVO_API int halvo_api_get_volume_finish(GAsyncResult *result, int *volume) HALVO_NOEXCEPT;
/** Starts halvo_api_get_num_of_connected_spaker() without blocking;
 *  the callback calls halvo_api_get_num_of_connected_spaker_finish(). */
HALVO_API void halvo_api_get_num_of_connected_spaker_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_api_get_num_of_connected_spaker() would have returned,
 *  for the result of halvo_api_get_num_of_connected_spaker_async(). */
HALVO_API int halvo_api_get_num_of_connected_spaker_finish(GAsyncResult *result, int *count) HALVO_NOEXCEPT;
/** Starts halvo_api_mute_unmute() without blocking; the callback calls halvo_api_mute_unmute_finish(). */
HALVO_API void halvo_api_mute_unmute_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_api_mute_unmute() would have returned, for the result of halvo_api_mute_unmute_async(). */
HALVO_API int halvo_api_mute_unmute_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_api_volume_down() without blocking; the callback calls halvo_api_volume_down_finish(). */
HALVO_API void halvo_api_volume_down_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_api_volume_down() would have returned, for the result of halvo_api_volume_down_async(). */
HALVO_API int halvo_api_volume_down_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_api_volume_up() without blocking; the callback calls halvo_api_volume_up_finish(). */
HALVO_API void halvo_api_volume_up_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_api_volume_up() would have returned, for the result of halvo_api_volume_up_async(). */
HALVO_API int halvo_api_volume_up_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_api_get_mute_state() without blocking; the callback calls halvo_api_get_mute_state_finish(). */
HALVO_API void halvo_api_get_mute_state_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_api_get_mute_state() would have returned, for the result of halvo_api_get_mute_state_async(). */
HALVO_API int halvo_api_get_mute_state_finish(GAsyncResult *result, bool *muted) HALVO_NOEXCEPT;
/** Starts halvo_api_set_mute() without blocking; the callback calls halvo_api_set_mute_finish(). */
HALVO_API void halvo_api_set_mute_async(bool muted, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_api_set_mute() would have returned, for the result of halvo_api_set_mute_async(). */
HALVO_API int halvo_api_set_mute_finish(GAsyncResult *result) HALVO_NOEXCEPT;

/** Starts halvo_api_get_last_bluetooth_speaker_icon_path() without blocking;
 *  the callback calls halvo_api_get_last_bluetooth_speaker_icon_path_finish(). */
HALVO_API void halvo_api_get_last_bluetooth_speaker_icon_path_async(const char *icon_type,
                                                                    HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_api_get_last_bluetooth_speaker_icon_path() would have returned,
 *  for the result of halvo_api_get_last_bluetooth_speaker_icon_path_async(). */
HALVO_API int halvo_api_get_last_bluetooth_speaker_icon_path_finish(GAsyncResult *result,
                                                                    char **path) HALVO_NOEXCEPT;
/** Starts halvo_api_replace_current_speaker() without blocking;
 *  the callback calls halvo_api_replace_current_speaker_finish(). */
HALVO_API void halvo_api_replace_current_speaker_async(const char *address, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_api_replace_current_speaker() would have returned,
 *  for the result of halvo_api_replace_current_speaker_async(). */
HALVO_API int halvo_api_replace_current_speaker_finish(GAsyncResult *result) HALVO_NOEXCEPT;

/** Starts halvo_get_info_sync_devices() without blocking;
 *  the callback calls halvo_get_info_sync_devices_finish(). */
HALVO_API void halvo_get_info_sync_devices_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_get_info_sync_devices() would have returned,
 *  for the result of halvo_get_info_sync_devices_async(). */
HALVO_API int halvo_get_info_sync_devices_finish(GAsyncResult *result, GSList **list) HALVO_NOEXCEPT;
/** Starts halvo_remove_info_sync_device() without blocking;
 *  the callback calls halvo_remove_info_sync_device_finish(). */
HALVO_API void halvo_remove_info_sync_device_async(const char *key, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_remove_info_sync_device() would have returned,
 *  for the result of halvo_remove_info_sync_device_async(). */
HALVO_API int halvo_remove_info_sync_device_finish(GAsyncResult *result) HALVO_NOEXCEPT;

/** The stored document is read off the caller's thread; @p device_callback runs
 *  for each device inside halvo_foreach_blocked_devices_finish(), on the
 *  thread that calls it. */
HALVO_API void halvo_foreach_blocked_devices_async(halvo_blocked_device_cb device_callback, void *device_user_data,
                                                   HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_foreach_blocked_devices() would have returned,
 *  for the result of halvo_foreach_blocked_devices_async(). */
HALVO_API int halvo_foreach_blocked_devices_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_remove_pairing_blocked_devices() without blocking;
 *  the callback calls halvo_remove_pairing_blocked_devices_finish(). */
HALVO_API void halvo_remove_pairing_blocked_devices_async(const char *address, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_remove_pairing_blocked_devices() would have returned,
 *  for the result of halvo_remove_pairing_blocked_devices_async(). */
HALVO_API int halvo_remove_pairing_blocked_devices_finish(GAsyncResult *result) HALVO_NOEXCEPT;

/** Starts halvo_tuvo_switching_connect() without blocking;
 *  the callback calls halvo_tuvo_switching_connect_finish(). */
HALVO_API void halvo_tuvo_switching_connect_async(const char *address, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_tuvo_switching_connect() would have returned,
 *  for the result of halvo_tuvo_switching_connect_async(). */
HALVO_API int halvo_tuvo_switching_connect_finish(GAsyncResult *result) HALVO_NOEXCEPT;
/** Starts halvo_tuvo_switching_disconnect() without blocking;
 *  the callback calls halvo_tuvo_switching_disconnect_finish(). */
HALVO_API void halvo_tuvo_switching_disconnect_async(const char *address, HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** What halvo_tuvo_switching_disconnect() would have returned,
 *  for the result of halvo_tuvo_switching_disconnect_async(). */
HALVO_API int halvo_tuvo_switching_disconnect_finish(GAsyncResult *result) HALVO_NOEXCEPT;

/** One connected speaker as a refresh sees it (halvo_api_speakers_with_volumes_finish()). */
typedef struct {
    speaker_t *speaker;   /**< the stored record (free the list with halvo_free_speakers_with_volumes()) */
    int volume_result;    /**< the service's result of the volume read (or a library code) */
    int volume;           /**< the volume; meaningful when volume_result is 0 */
    int controlable_result; /**< the service's result of the controllability read */
    bool controlable;     /**< controllable; meaningful when controlable_result is 0 */
    halvo_failure_e volume_failure;      /**< what the volume read came to */
    halvo_failure_e controlable_failure; /**< what the controllability read came to */
} halvo_speaker_volume_t;

/** A screen's refresh in one step: reads the connected speakers from the
 *  store, then each one's volume and controllability, the reads of all
 *  speakers overlapped on the bus, and answers once.  There is no blocking
 *  twin. */
HALVO_API void halvo_api_speakers_with_volumes_async(HALVO_ASYNC_ARGS) HALVO_NOEXCEPT;
/** Appends one #halvo_speaker_volume_t per connected speaker, in the
 *  store's order, to @p *list (NULL on entry).  @return 0, the store
 *  read's failure (#HALVO_ERROR_OPERATION_FAILED), #HALVO_ERROR_CANCELLED,
 *  or #HALVO_ERROR_INVALID_PARAMETER.  A failed read of one speaker shows
 *  in its own record's results, not in the return value. */
HALVO_API int halvo_api_speakers_with_volumes_finish(GAsyncResult *result, GSList **list) HALVO_NOEXCEPT;
/** Frees such a list and sets @p *list to NULL.  @return 0, or
 *  #HALVO_ERROR_INVALID_PARAMETER for NULL. */
HALVO_API int halvo_free_speakers_with_volumes(GSList **list) HALVO_NOEXCEPT;

#undef HALVO_ASYNC_ARGS
/** @} */

#endif /* HALVO_API_RECORDS_ONLY */

#ifdef __cplusplus
}
#endif

#endif /* HALVO_API_H */
