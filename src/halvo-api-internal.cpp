/* halvo-api-internal.cpp - speaker internals: connected and last speakers,
 * reconnection, volume and mute, icons, the speaker callback slots, and
 * the non-blocking pairs of these operations.
 *
 * Signal handlers and store-watch handlers run on the library's bus
 * thread; each hands its event to the slot's callback, which runs in the
 * thread-default main context of the thread that set it, outside the
 * library's lock, so a callback may call the library and unset itself.
 *
 * Store documents and signal payloads come from other processes: a
 * document of another shape gives the documented defaults, and a payload
 * of another type is treated as carrying no values. */
#include "halvo-api-private.h"
#include "uiconf.h"
#include "valko.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>

using namespace halvo_core;

#define KEY_CONNECTED_SPEAKERS "memory/org.velmo.pellix/soundoutput_info"
#define KEY_LAST_SPEAKERS "db/pellix/last_btspk_list"
#define KEY_CONNECTED_ADDRESSES "memory/pellix/connected_btspk_addr_list"
#define KEY_BT_MUTE "memory/menu/network/screenmirroring/get_volume_mute_bt"

/* printf's %s wants a string, also for fields that were absent. */
#define STR(s) ((s) ? (s) : "(null)")

/* ------------------------------------------------------------------ */
/* The speaker events                                                  */
/* ------------------------------------------------------------------ */

namespace speaker {

using listeners::any_cb;

/* A single-slot setter: one listener of @event, in that event's slot.  A
 * setter of a signal family waits for the bus first: it fails without
 * one, and changes nothing then.  A NULL callback is held: the source
 * stays followed and nothing is called. */
static int set(int event, any_cb callback, void *user_data, bool needs_bus) noexcept
{
    if (needs_bus) {
        Object<GDBusConnection> bus(__halvo_api_get_system_connection());
        if (!bus) {
            ERR("fail to get dbus connection for signal");
            return plain_result(HALVO_ERROR_OPERATION_FAILED);
        }
    }
    gulong id = listeners::connect(event, callback, user_data, nullptr);
    if (id == 0)
        return plain_result(HALVO_ERROR_OPERATION_FAILED, HALVO_FAILURE_STORE);
    if (listeners::replace_slot(event, id) && needs_bus)
        INFO("same signal is already subscribed");
    return plain_result(HALVO_ERROR_NONE);
}

/* Empties the slot of @event; 3 when it held nothing. */
static int unset(int event) noexcept
{
    if (!listeners::replace_slot(event, 0)) {
        ERR("this signal was not subcribed.");
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    }
    return plain_result(HALVO_ERROR_NONE);
}

/* Watches store key @key with @handler, on the bus thread. */
static bool store_watch(const char *key, valko_key_changed_cb handler) noexcept
{
    int rc = -1;
    run_on_bus([&] { rc = valko_notify_key_changed(key, handler, nullptr); });
    if (rc != 0)
        ERR("fail to watch %s", key);
    return rc == 0;
}

static bool store_ignore(const char *key, valko_key_changed_cb handler) noexcept
{
    int rc = -1;
    run_on_bus([&] { rc = valko_ignore_key_changed(key, handler); });
    return rc == 0;
}

} // namespace speaker

/* ------------------------------------------------------------------ */
/* Shared steps                                                        */
/* ------------------------------------------------------------------ */

/* In C++ the audio-type enum only spans its enumerators, while records
 * hold any 32-bit value (a missing member is -2).  The field is therefore
 * read and written as a plain 32-bit word, never loaded as the enum. */
static_assert(sizeof(bt_spk_audio_type_e) == sizeof(guint32), "audio_type is a 32-bit word");

static void store_audio_type(bt_spk_audio_type_e *field, guint32 value) noexcept
{
    memcpy(field, &value, sizeof value);
}

static guint32 load_audio_type(const bt_spk_audio_type_e *field) noexcept
{
    guint32 value;
    memcpy(&value, field, sizeof value);
    return value;
}

/* The stored "audioType" is one-based, the record's zero-based. */
static void read_audio_type(JsonReader *reader, bt_spk_audio_type_e *field) noexcept
{
    store_audio_type(field, guint32(_bt_json_read_int_member(reader, "audioType")) - 1u);
}

/* Ends an operation with the service's "(i)" integer; a macro so that the
 * log lines carry the operation's own name. */
#define RETURN_SERVICE_RESULT(method, args)                                                                  \
    do {                                                                                                     \
        Variant reply_(co_await call((method), (args), "(i)"));                                              \
        if (!reply_) {                                                                                       \
            ERR("%s", "result is NULL");                                                                     \
            co_return HALVO_ERROR_OPERATION_FAILED;                                                          \
        }                                                                                                    \
        int result_ = 0;                                                                                     \
        g_variant_get(reply_.get(), "(i)", &result_);                                                        \
        INFO("result = [%d]", result_);                                                                      \
        co_return result_;                                                                                   \
    } while (0)

/* The pair of an operation whose only answer is its result. */
static int finish_result(GAsyncResult *result, void *tag) noexcept
{
    return finish_async<int>(result, tag, HALVO_ERROR_INVALID_PARAMETER, HALVO_ERROR_CANCELLED);
}

/* The finish of an operation with a scalar output. */
template <typename Take> static int finish_output(GAsyncResult *result, void *tag, Take take) noexcept
{
    return finish_async<int>(result, tag, HALVO_ERROR_INVALID_PARAMETER, HALVO_ERROR_CANCELLED, take);
}

/* True when @signal_name is the name of internal row @row. */
static bool is_row_signal(int row, const char *signal_name) noexcept
{
    if (signal_name == nullptr || strcmp(signal_name, inter_signal_info[row].signal_name) != 0) {
        WARN("Different signal name");
        return false;
    }
    return true;
}

/* Parses @text once and appends a record per element of its root array to
 * @list, in order, with @convert (reader on the element, record out; 0 or
 * 5).  Text that is not JSON, or a root that is not an array, counts -1
 * and appends nothing.  On 5, what was appended stays for the caller to
 * free. */
template <typename Record, typename Convert, typename Describe>
static int convert_array(const char *text, GSList **list, Convert convert, Describe describe) noexcept
{
    Object<JsonParser> parser(json_parser_new());
    halvo_json_parse(parser.get(), text, -1); /* refused text leaves no root */
    Object<JsonReader> reader(halvo_json_reader_new(parser.get()));
    int count = json_reader_is_array(reader.get()) ? json_reader_count_elements(reader.get()) : -1;
    INFO("count : %d", count);

    ListAppender appender(list);
    for (int i = 0; i < count; i++) {
        json_reader_read_element(reader.get(), guint(i));
        Record *record = nullptr;
        int ret = convert(reader.get(), &record);
        /* The member readers leave no error behind (jsontool). */
        json_reader_end_element(reader.get());
        if (ret != HALVO_ERROR_NONE) {
            ERR("speaker_t malloc fail");
            return HALVO_ERROR_OPERATION_FAILED;
        }
        appender.append(record);
        describe(record);
    }
    return HALVO_ERROR_NONE;
}

/* Reads the document under @key (a literal) and appends its records to
 * @list with @convert; when that fails, @release frees the whole list
 * (what the caller held included) and leaves it NULL. */
static Op<int> stored_list_op(const char *key, GSList **list, int (*convert)(const char *, GSList **) noexcept,
                              int (*release)(GSList **) noexcept)
{
    if (list == nullptr) {
        ERR("list is NULL");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    co_await on_worker();
    CString text(valko_get_str(key));
    if (!text) {
        ERR("info_str is NULL");
        note_failure(HALVO_FAILURE_STORE);
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    INFO("info_str = [%s]", text.get());
    int ret = convert(text.get(), list);
    if (ret != HALVO_ERROR_NONE) {
        ERR("fail to conver json to  data");
        release(list);
    }
    co_return ret;
}

/* Frees every record with @free_record, and the cells; the head becomes NULL. */
static int free_list(GSList **list, GDestroyNotify free_record) noexcept
{
    if (list == nullptr || *list == nullptr) {
        ERR("List is NULL!!");
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    }
    ENTER();
    g_slist_free_full(*list, free_record);
    *list = nullptr;
    EXIT();
    return plain_result(HALVO_ERROR_NONE);
}

/* ------------------------------------------------------------------ */
/* Connected speakers                                                  */
/* ------------------------------------------------------------------ */

/* One speaker from the object the reader stands on; members that are
 * missing or of another kind stay NULL (audio_type -2). */
static int __halvo_api_convert_json_to_struct(JsonReader *reader, speaker_t **speaker) noexcept
{
    if (reader == nullptr) {
        ERR("reader is NULL");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    *speaker = static_cast<speaker_t *>(malloc(sizeof(speaker_t)));
    if (*speaker == nullptr) {
        ERR("speaker_t malloc fail");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    INFO("");
    speaker_t *s = *speaker;
    s->vsid = _bt_json_read_string_array_member(reader, "vsid");
    s->address = _bt_json_read_string_member(reader, "address");
    s->name = _bt_json_read_string_member(reader, "name");
    s->icon_type = _bt_json_read_string_member(reader, "iconType");
    read_audio_type(reader, &s->audio_type);
    return HALVO_ERROR_NONE;
}

static void __halvo_free_connected_bt_speaker_info(speaker_t *speaker) noexcept
{
    if (speaker == nullptr) {
        ERR("speaker is NULL");
        return;
    }
    ENTER();
    free(speaker->vsid);
    speaker->vsid = nullptr;
    free(speaker->address);
    free(speaker->name);
    free(speaker->icon_type);
    free(speaker);
    EXIT();
}

static int __halvo_api_convert_to_data_get_connected_bt_speaker_info(const char *text, GSList **list) noexcept
{
    return convert_array<speaker_t>(text, list, __halvo_api_convert_json_to_struct, [](speaker_t *s) {
        INFO("vsid : %s, address : %s, name : %s, icon_type : %s, audio_type : %d", STR(s->vsid),
             STR(s->address), STR(s->name), STR(s->icon_type), int(load_audio_type(&s->audio_type)));
    });
}

static void free_speaker(gpointer speaker) noexcept
{
    __halvo_free_connected_bt_speaker_info(static_cast<speaker_t *>(speaker));
}

static void free_speakers(gpointer list) noexcept
{
    g_slist_free_full(static_cast<GSList *>(list), free_speaker);
}

static Op<int> connected_speakers_op(GSList **list)
{
    return stored_list_op(KEY_CONNECTED_SPEAKERS, list, __halvo_api_convert_to_data_get_connected_bt_speaker_info,
                          halvo_free_connected_bt_spaekr_infos);
}

int halvo_get_connected_bt_speaker_infos(GSList **list) noexcept
{
    INFO("");
    return run_sync(connected_speakers_op(list));
}

void halvo_get_connected_bt_speaker_infos_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                                gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_get_connected_bt_speaker_infos_async, cancellable, callback, user_data,
                     [](Held &held) {
                         held.release = free_speakers;
                         return connected_speakers_op((GSList **)&held.owned);
                     });
}

int halvo_get_connected_bt_speaker_infos_finish(GAsyncResult *result, GSList **list) noexcept
{
    return finish_list(result, (void *)halvo_get_connected_bt_speaker_infos_async, list);
}

int halvo_free_connected_bt_spaekr_infos(GSList **list) noexcept
{
    return free_list(list, free_speaker);
}

/* False, with the reason logged, when the speaker's information cannot be
 * sent: a required argument or field is NULL, or text is not UTF-8 (it
 * goes out as a D-Bus string). */
static bool speaker_info_usable(const char *vsid, const bt_spk_info_t *info) noexcept
{
    if (vsid == nullptr) {
        ERR("vsid is NULL");
        return false;
    }
    if (info == nullptr) {
        ERR("info is NULL");
        return false;
    }
    if (info->address == nullptr) {
        ERR("addres is NULL");
        return false;
    }
    if (info->name == nullptr) {
        ERR("name is NULL");
        return false;
    }
    if (info->icon_type == nullptr) {
        ERR("iconType is NULL");
        return false;
    }
    if (!valid_text(vsid) || !valid_text(info->address) || !valid_text(info->name) || !valid_text(info->icon_type)) {
        ERR("speaker info is not valid UTF-8");
        return false;
    }
    return true;
}

/* The request is built before the call: @vsid and @info are not read after it. */
static Op<int> set_speaker_info_op(const char *vsid, bt_spk_info_t *info)
{
    if (!speaker_info_usable(vsid, info)) {
        note_failure(HALVO_FAILURE_INVALID_ARGUMENT);
        co_return HALVO_ERROR_INVALID_SPEAKER_INFO;
    }
    Object<JsonBuilder> builder(json_builder_new());
    JsonBuilder *b = builder.get();
    json_builder_begin_object(b);
    json_builder_set_member_name(b, "address");
    json_builder_add_string_value(b, info->address);
    json_builder_set_member_name(b, "name");
    json_builder_add_string_value(b, info->name);
    json_builder_set_member_name(b, "iconType");
    json_builder_add_string_value(b, info->icon_type);
    /* One-based on the wire, in unsigned 32-bit arithmetic. */
    json_builder_set_member_name(b, "audioType");
    json_builder_add_int_value(b, gint64(guint32(load_audio_type(&info->audio_type) + 1u)));
    json_builder_set_member_name(b, "vsid");
    json_builder_add_string_value(b, vsid);
    json_builder_end_object(b);
    char *raw = nullptr;
    _halvo_api_convert_json_node_to_string(b, &raw);
    GString_ text(raw);
    builder.reset();
    if (!text) {
        ERR("fail to serialise speaker info");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    RETURN_SERVICE_RESULT("set_connected_bt_speaker_info", g_variant_new("(s)", text.get()));
}

int halvo_set_connected_bt_speaker_info(const char *vsid, bt_spk_info_t *info) noexcept
{
    return run_sync(set_speaker_info_op(vsid, info));
}

void halvo_set_connected_bt_speaker_info_async(const char *vsid, bt_spk_info_t *info, GCancellable *cancellable,
                                               GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_set_connected_bt_speaker_info_async, cancellable, callback, user_data,
                     [&](Held &) { return set_speaker_info_op(vsid, info); });
}

int halvo_set_connected_bt_speaker_info_finish(GAsyncResult *result) noexcept
{
    /* This operation's answer to arguments it cannot use. */
    return finish_async<int>(result, (void *)halvo_set_connected_bt_speaker_info_async,
                             HALVO_ERROR_INVALID_SPEAKER_INFO, HALVO_ERROR_CANCELLED);
}

/* @data is logged and packed before the call. */
static Op<int> set_serialized_info_op(const char *data)
{
    if (data == nullptr) {
        ERR("data is NULL");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    if (!valid_text(data)) {
        ERR("data is not valid UTF-8");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("%s", data);
    RETURN_SERVICE_RESULT("set_connected_bt_speaker_info", g_variant_new("(s)", data));
}

int halvo_set_connected_bt_speaker_info_with_serialization(const char *data) noexcept
{
    return run_sync(set_serialized_info_op(data));
}

void halvo_set_connected_bt_speaker_info_with_serialization_async(const char *data, GCancellable *cancellable,
                                                                  GAsyncReadyCallback callback,
                                                                  gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_set_connected_bt_speaker_info_with_serialization_async, cancellable, callback,
                     user_data, [&](Held &) { return set_serialized_info_op(data); });
}

int halvo_set_connected_bt_speaker_info_with_serialization_finish(GAsyncResult *result) noexcept
{
    return finish_result(result, (void *)halvo_set_connected_bt_speaker_info_with_serialization_async);
}

/* Runs in the main context of the thread that registered the callback. */
void _halvo_bt_spk_info_changed(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                const gchar *signal_name, GVariant *parameters, gpointer) noexcept
{
    if (!is_row_signal(HALVO_SIGNAL_BT_SPK_INFO_CHANGED, signal_name))
        return;
    if (!listeners::any(HALVO_EVENT_SPEAKER_INFO_CHANGED)) {
        ERR("callback is NULL");
        return;
    }
    if (parameters == nullptr) {
        ERR("parameter is NULL");
        return;
    }
    char *raw = nullptr;
    if (has_type(parameters, "(s)"))
        g_variant_get(parameters, "(s)", &raw);
    GString_ text(raw);
    if (!text) {
        ERR("output_str is NULL");
        return;
    }
    DBG("output_str : %s", text.get());
    speaker_t *record = nullptr;
    if (strcmp(text.get(), "null") != 0) {
        Object<JsonParser> parser(json_parser_new());
        if (!halvo_json_parse(parser.get(), text.get(), -1)) {
            ERR("fail to json_parser_load_from_data ");
            return;
        }
        Object<JsonReader> reader(halvo_json_reader_new(parser.get()));
        if (__halvo_api_convert_json_to_struct(reader.get(), &record) != HALVO_ERROR_NONE)
            return;
    }
    std::shared_ptr<speaker_t> owned(record, __halvo_free_connected_bt_speaker_info);
    listeners::post(HALVO_EVENT_SPEAKER_INFO_CHANGED, [owned](listeners::any_cb cb, void *user_data) {
        reinterpret_cast<halvo_bt_spk_info_changed_cb>(cb)(owned.get(), user_data);
    });
}

int halvo_register_bt_spaeker_info_changed_cb(halvo_bt_spk_info_changed_cb callback, void *user_data) noexcept
{
    return speaker::set(HALVO_EVENT_SPEAKER_INFO_CHANGED, reinterpret_cast<listeners::any_cb>(callback), user_data, true);
}

int halvo_unregister_bt_spaeker_info_changed_cb(void) noexcept
{
    return speaker::unset(HALVO_EVENT_SPEAKER_INFO_CHANGED);
}

/* Runs where the store delivers its notification.  The list is the
 * library's: freed when the callback returns. */
static void connected_speakers_changed(valko_keynode_t *node, void *) noexcept
{
    if (!listeners::any(HALVO_EVENT_CONNECTED_SPEAKERS_CHANGED))
        return;
    /* Borrowed from the store; NULL once the key is gone. */
    const char *text = valko_keynode_get_str(node);
    GSList *list = nullptr;
    if (text != nullptr && __halvo_api_convert_to_data_get_connected_bt_speaker_info(text, &list) != HALVO_ERROR_NONE) {
        ERR("fail to conver json to  data");
        g_clear_pointer(&list, free_speakers);
    }
    std::shared_ptr<GSList> owned(list, free_speakers);
    listeners::post(HALVO_EVENT_CONNECTED_SPEAKERS_CHANGED, [owned](listeners::any_cb cb, void *user_data) {
        reinterpret_cast<halvo_connected_bt_speakers_changed_cb>(cb)(owned.get(), user_data);
    });
}

int halvo_set_connected_bt_speakers_changed_cb(halvo_connected_bt_speakers_changed_cb callback,
                                               void *user_data) noexcept
{
    if (callback == nullptr) {
        ERR("cb is NULL!!");
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    }
    return speaker::set(HALVO_EVENT_CONNECTED_SPEAKERS_CHANGED, reinterpret_cast<listeners::any_cb>(callback), user_data, false);
}

int halvo_unset_connected_bt_speakers_changed_cb(void) noexcept
{
    return speaker::unset(HALVO_EVENT_CONNECTED_SPEAKERS_CHANGED);
}

int get_size_of_speaker_t(void) noexcept
{
    return int(sizeof(speaker_t));
}

int get_size_of_bt_spk_info_t(void) noexcept
{
    return int(sizeof(bt_spk_info_t));
}

/* ------------------------------------------------------------------ */
/* Last speakers                                                       */
/* ------------------------------------------------------------------ */

/* One last speaker from the object the reader stands on.  `connected` is
 * the stored flag here; the list conversion checks it against the
 * connected-address key. */
static int __halvo_api_convert_json_to_last_bluetooth_audio_struct(JsonReader *reader,
                                                                   last_spk_info_t **speaker) noexcept
{
    if (reader == nullptr) {
        ERR("reader is NULL");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    *speaker = static_cast<last_spk_info_t *>(malloc(sizeof(last_spk_info_t)));
    if (*speaker == nullptr) {
        ERR("last_speaker_t malloc fail");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    INFO("");
    last_spk_info_t *s = *speaker;
    s->address = _bt_json_read_string_member(reader, "address");
    s->name = _bt_json_read_string_member(reader, "name");
    s->icon_type = _bt_json_read_string_member(reader, "iconType");
    read_audio_type(reader, &s->audio_type);
    s->connected = _bt_json_read_boolean_member(reader, "connected");
    return HALVO_ERROR_NONE;
}

/* Addresses up to this length are looked up in one pass over the key's
 * text; real ones have 17 characters.  Longer ones are searched alone. */
#define SHORT_ADDRESS_MAX 32

/* Connected status of @candidates (records stored as connected): a record
 * stays connected when its address occurs anywhere in the key's text, as a
 * plain byte-wise substring.  A record without an address is not
 * connected.  The key is read once, and each distinct address length costs
 * one pass over its text, so a long list costs no more than reading it. */
static void __halvo_api_get_connected_status(GPtrArray *candidates) noexcept
{
    if (candidates->len == 0)
        return;
    CString text(valko_get_str(KEY_CONNECTED_ADDRESSES));
    if (!text) {
        ERR("address is null");
        for (guint i = 0; i < candidates->len; i++)
            static_cast<last_spk_info_t *>(g_ptr_array_index(candidates, i))->connected = false;
        return;
    }
    const size_t text_length = strlen(text.get());

    /* Short addresses wanted -> 1, or 2 once found in the text. */
    GHashTable *wanted = g_hash_table_new(g_str_hash, g_str_equal);
    bool lengths[SHORT_ADDRESS_MAX + 1] = {};
    for (guint i = 0; i < candidates->len; i++) {
        const char *address = static_cast<last_spk_info_t *>(g_ptr_array_index(candidates, i))->address;
        size_t length = address ? strlen(address) : 0;
        if (address != nullptr && length <= SHORT_ADDRESS_MAX) {
            g_hash_table_insert(wanted, const_cast<char *>(address), GINT_TO_POINTER(1));
            lengths[length] = true;
        }
    }
    char window[SHORT_ADDRESS_MAX + 1];
    for (size_t length = 0; length <= SHORT_ADDRESS_MAX && length <= text_length; length++) {
        if (!lengths[length])
            continue;
        window[length] = '\0';
        for (size_t at = 0; at + length <= text_length; at++) {
            memcpy(window, text.get() + at, length);
            gpointer key = nullptr;
            if (g_hash_table_lookup_extended(wanted, window, &key, nullptr))
                g_hash_table_insert(wanted, key, GINT_TO_POINTER(2));
        }
    }

    for (guint i = 0; i < candidates->len; i++) {
        auto *s = static_cast<last_spk_info_t *>(g_ptr_array_index(candidates, i));
        INFO("address = %s, valko address = %s", STR(s->address), text.get());
        if (s->address == nullptr)
            s->connected = false;
        else if (strlen(s->address) <= SHORT_ADDRESS_MAX)
            s->connected = GPOINTER_TO_INT(g_hash_table_lookup(wanted, s->address)) == 2;
        else
            s->connected = strstr(text.get(), s->address) != nullptr;
    }
    g_hash_table_unref(wanted);
}

static void __halvo_free_last_bluetooth_audio(last_spk_info_t *speaker) noexcept
{
    if (speaker == nullptr) {
        ERR("speaker is NULL");
        return;
    }
    ENTER();
    free(speaker->address);
    free(speaker->name);
    free(speaker->icon_type);
    free(speaker);
    EXIT();
}

static void free_last_speaker(gpointer speaker) noexcept
{
    __halvo_free_last_bluetooth_audio(static_cast<last_spk_info_t *>(speaker));
}

static void free_last_speakers(gpointer list) noexcept
{
    g_slist_free_full(static_cast<GSList *>(list), free_last_speaker);
}

static int _halvo_free_last_bluetooth_audio_list(GSList **list) noexcept
{
    return free_list(list, free_last_speaker);
}

static int _halvo_api_convert_to_data_last_bluetooth_speakers(const char *text, GSList **list) noexcept
{
    /* Records stored as connected, checked against the key in one go. */
    GPtrArray *candidates = g_ptr_array_new();
    int ret = convert_array<last_spk_info_t>(
        text, list, __halvo_api_convert_json_to_last_bluetooth_audio_struct, [candidates](last_spk_info_t *s) {
            if (s->connected)
                g_ptr_array_add(candidates, s);
            INFO("address : %s, name : %s, icon_type : %s, audio_type : %d", STR(s->address), STR(s->name),
                 STR(s->icon_type), int(load_audio_type(&s->audio_type)));
        });
    if (ret == HALVO_ERROR_NONE)
        __halvo_api_get_connected_status(candidates);
    g_ptr_array_unref(candidates);
    return ret;
}

static Op<int> last_speakers_op(GSList **list)
{
    return stored_list_op(KEY_LAST_SPEAKERS, list, _halvo_api_convert_to_data_last_bluetooth_speakers,
                          _halvo_free_last_bluetooth_audio_list);
}

int halvo_get_last_bluetooth_speakers_internal(GSList **list) noexcept
{
    INFO("");
    return run_sync(last_speakers_op(list));
}

void halvo_get_last_bluetooth_speakers_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                             gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_get_last_bluetooth_speakers_async, cancellable, callback, user_data,
                     [](Held &held) {
                         held.release = free_last_speakers;
                         return last_speakers_op((GSList **)&held.owned);
                     });
}

int halvo_get_last_bluetooth_speakers_finish(GAsyncResult *result, GSList **list) noexcept
{
    return finish_list(result, (void *)halvo_get_last_bluetooth_speakers_async, list);
}

int halvo_free_last_bluetooth_speakers_internal(GSList **list) noexcept
{
    if (list == nullptr || *list == nullptr) {
        ERR("List is NULL!!");
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    }
    ENTER();
    int ret = _halvo_free_last_bluetooth_audio_list(list);
    EXIT();
    return ret;
}

/* Runs where the store delivers its notification.  The list passes to the
 * callback, which frees it. */
static void _halvo_last_bluetooth_speakers_changed(valko_keynode_t *node, void *) noexcept
{
    INFO("last bluetooth audio changed");
    if (!listeners::any(HALVO_EVENT_LAST_SPEAKERS_CHANGED)) {
        ERR("callback is NULL");
        return;
    }
    /* Borrowed from the store: the delivery keeps a copy, and makes the
     * list (the callback's to free) where the callback runs. */
    const char *text = valko_keynode_get_str(node);
    if (text == nullptr)
        INFO("info str is null");
    std::shared_ptr<char> copy(g_strdup(text), g_free);
    listeners::post(HALVO_EVENT_LAST_SPEAKERS_CHANGED, [copy](listeners::any_cb cb, void *user_data) {
        GSList *list = nullptr;
        if (copy && _halvo_api_convert_to_data_last_bluetooth_speakers(copy.get(), &list) != HALVO_ERROR_NONE) {
            ERR("fail to conver json to  data");
            if (list != nullptr)
                _halvo_free_last_bluetooth_audio_list(&list);
        }
        INFO("call callbacks");
        reinterpret_cast<halvo_last_bluetooth_speakers_changed_cb>(cb)(list, user_data);
    });
}

int halvo_set_last_bluetooth_speakers_key_changed_cb(void *user_data) noexcept
{
    int ret = -1;
    run_on_bus([&] { ret = valko_notify_key_changed(KEY_LAST_SPEAKERS, _halvo_last_bluetooth_speakers_changed, user_data); });
    INFO("set valko key changed callback  = %d", ret);
    return plain_result(ret == 0 ? HALVO_ERROR_NONE : HALVO_ERROR_OPERATION_FAILED, HALVO_FAILURE_STORE);
}

int halvo_unset_last_bluetooth_speakers_key_changed_cb(void) noexcept
{
    int ret = -1;
    run_on_bus([&] { ret = valko_ignore_key_changed(KEY_LAST_SPEAKERS, _halvo_last_bluetooth_speakers_changed); });
    INFO("unset valko key changed callback  = %d", ret);
    return plain_result(ret == 0 ? HALVO_ERROR_NONE : HALVO_ERROR_OPERATION_FAILED, HALVO_FAILURE_STORE);
}

int halvo_set_last_bluetooth_speakers_changed_cb_internal(halvo_last_bluetooth_speakers_changed_cb callback,
                                                          void *user_data) noexcept
{
    INFO("+");
    return speaker::set(HALVO_EVENT_LAST_SPEAKERS_CHANGED, reinterpret_cast<listeners::any_cb>(callback), user_data,
                        false);
}

int halvo_unset_last_bluetooth_speakers_changed_cb_internal(void) noexcept
{
    INFO("+");
    return listeners::replace_slot(HALVO_EVENT_LAST_SPEAKERS_CHANGED, 0)
               ? plain_result(HALVO_ERROR_NONE)
               : plain_result(HALVO_ERROR_OPERATION_FAILED, HALVO_FAILURE_STORE);
}

int get_size_of_last_spk_info_t(void) noexcept
{
    return int(sizeof(last_spk_info_t));
}

/* ------------------------------------------------------------------ */
/* Reconnection of the last speakers                                   */
/* ------------------------------------------------------------------ */

static Op<int> connect_last_op(bool show_connecting_ui)
{
    INFO("show_connecting_ui = %d", show_connecting_ui);
    RETURN_SERVICE_RESULT("connect_last_btspk_list", g_variant_new("(b)", gboolean(show_connecting_ui)));
}

int halvo_connect_to_last_bluetooth_speakers_internal(bool show_connecting_ui) noexcept
{
    return run_sync(connect_last_op(show_connecting_ui));
}

void halvo_connect_to_last_bluetooth_speakers_async(bool show_connecting_ui, GCancellable *cancellable,
                                                    GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_connect_to_last_bluetooth_speakers_async, cancellable, callback, user_data,
                     [&](Held &) { return connect_last_op(show_connecting_ui); });
}

int halvo_connect_to_last_bluetooth_speakers_finish(GAsyncResult *result) noexcept
{
    return finish_result(result, (void *)halvo_connect_to_last_bluetooth_speakers_async);
}

/* A command without arguments that the service answers with its "(i)"
 * result; @entry (NULL: none) is logged first. */
static Op<int> command_op(const char *entry, const char *method)
{
    if (entry != nullptr)
        INFO("%s", entry);
    RETURN_SERVICE_RESULT(method, nullptr);
}

int halvo_disconnect_to_last_bluetooth_speakers_internal(void) noexcept
{
    return run_sync(command_op(nullptr, "disconnect_last_btspk_list"));
}

void halvo_disconnect_to_last_bluetooth_speakers_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                                       gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_disconnect_to_last_bluetooth_speakers_async, cancellable, callback, user_data,
                     [](Held &) { return command_op(nullptr, "disconnect_last_btspk_list"); });
}

int halvo_disconnect_to_last_bluetooth_speakers_finish(GAsyncResult *result) noexcept
{
    return finish_result(result, (void *)halvo_disconnect_to_last_bluetooth_speakers_async);
}

/* Runs in the main context of the thread that set the callback. */
void _halvo_last_connecting_status_changed(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                           const gchar *signal_name, GVariant *parameters, gpointer) noexcept
{
    if (!is_row_signal(HALVO_SIGNAL_LAST_CONNECTING_STATUS_CHANGED, signal_name))
        return;
    /* A payload of another type carries no status to report. */
    if (!has_type(parameters, "(s)")) {
        ERR("output_str is NULL");
        return;
    }
    char *raw = nullptr;
    g_variant_get(parameters, "(s)", &raw);
    GString_ text(raw);
    INFO("output_str : %s", text.get());
    int status = strcmp(text.get(), "InProgress") == 0 ? 1 : 2;
    if (!listeners::any(HALVO_EVENT_CONNECTING_STATUS_CHANGED)) {
        ERR("%s", "callback is NULL");
        return;
    }
    listeners::post(HALVO_EVENT_CONNECTING_STATUS_CHANGED, [status](listeners::any_cb cb, void *user_data) {
        reinterpret_cast<halvo_last_bluetooth_speakers_connecting_status_changed_cb>(cb)(status, user_data);
    });
}

int halvo_set_last_bluetooth_speakers_connecting_status_changed_cb_internal(
    halvo_last_bluetooth_speakers_connecting_status_changed_cb callback, void *user_data) noexcept
{
    INFO("+");
    return speaker::set(HALVO_EVENT_CONNECTING_STATUS_CHANGED, reinterpret_cast<listeners::any_cb>(callback), user_data, true);
}

int halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb_internal(void) noexcept
{
    return speaker::unset(HALVO_EVENT_CONNECTING_STATUS_CHANGED);
}

/* ------------------------------------------------------------------ */
/* Volume and mute                                                     */
/* ------------------------------------------------------------------ */

/* The two reads by address, of the volume (int) and of whether it can be
 * controlled (bool): @out is written whenever an answer came.  @entry is
 * logged first; the address is read before the call. */
template <typename T> static Op<int> by_address_op(const char *entry, const char *method, const char *address, T *out)
{
    if (!valid_text(address) || out == nullptr) {
        ERR("address is not a valid string, or no output");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("%s, address : %s", entry, address);
    Variant reply(co_await call(method, g_variant_new("(s)", address), "(ii)"));
    if (!reply) {
        ERR("%s", "result is NULL");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    int result = 0, value = 0;
    g_variant_get(reply.get(), "(ii)", &result, &value);
    T got = static_cast<T>(value);
    *out = got;
    INFO("result :%d, vol : %d", result, int(got));
    co_return result;
}

static Op<int> get_volume_controlable_op(const char *address, bool *controlable)
{
    return by_address_op("halvo_api_get_volume_controlable_internal", "get_volume_controlable_by_address", address,
                         controlable);
}

int halvo_api_get_volume_controlable_internal(const char *address, bool *controlable) noexcept
{
    return run_sync(get_volume_controlable_op(address, controlable));
}

void halvo_api_get_volume_controlable_async(const char *address, GCancellable *cancellable,
                                            GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_api_get_volume_controlable_async, cancellable, callback, user_data,
                     [&](Held &held) { return get_volume_controlable_op(address, &held.flag); });
}

int halvo_api_get_volume_controlable_finish(GAsyncResult *result, bool *controlable) noexcept
{
    if (controlable == nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    return finish_output(result, (void *)halvo_api_get_volume_controlable_async,
                         [&](Held &held) { *controlable = held.flag; });
}

int halvo_api_get_volume_controlable(const char *address, bool *controlable) noexcept
{
    return halvo_api_get_volume_controlable_internal(address, controlable);
}

static Op<int> set_volume_op(const char *address, int volume)
{
    if (!valid_text(address)) {
        ERR("address is not a valid string");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("halvo_api_set_volume_internal, address : %s", address);
    Variant reply(co_await call("set_volume_by_address", g_variant_new("(si)", address, volume), "(i)"));
    if (!reply) {
        ERR("%s", "result is NULL");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    int result = 0;
    g_variant_get(reply.get(), "(i)", &result);
    INFO("result :%d, vol : %d", result, volume);
    co_return result;
}

int halvo_api_set_volume_internal(const char *address, int volume) noexcept
{
    return run_sync(set_volume_op(address, volume));
}

void halvo_api_set_volume_async(const char *address, int volume, GCancellable *cancellable,
                                GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_api_set_volume_async, cancellable, callback, user_data,
                     [&](Held &) { return set_volume_op(address, volume); });
}

int halvo_api_set_volume_finish(GAsyncResult *result) noexcept
{
    return finish_result(result, (void *)halvo_api_set_volume_async);
}

int halvo_api_set_volume(const char *address, int volume) noexcept
{
    return halvo_api_set_volume_internal(address, volume);
}

static Op<int> get_volume_op(const char *address, int *volume)
{
    return by_address_op("halvo_api_get_volume_internal", "get_volume_by_address", address, volume);
}

int halvo_api_get_volume_internal(const char *address, int *volume) noexcept
{
    return run_sync(get_volume_op(address, volume));
}

void halvo_api_get_volume_async(const char *address, GCancellable *cancellable, GAsyncReadyCallback callback,
                                gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_api_get_volume_async, cancellable, callback, user_data,
                     [&](Held &held) { return get_volume_op(address, &held.ints[0]); });
}

int halvo_api_get_volume_finish(GAsyncResult *result, int *volume) noexcept
{
    if (volume == nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    return finish_output(result, (void *)halvo_api_get_volume_async, [&](Held &held) { *volume = held.ints[0]; });
}

int halvo_api_get_volume(const char *address, int *volume) noexcept
{
    return halvo_api_get_volume_internal(address, volume);
}

static Op<int> num_of_speakers_op(int *count)
{
    if (count == nullptr) {
        ERR("count is NULL");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("halvo_api_get_num_of_connected_spaker_internal");
    Variant reply(co_await call("get_num_of_speaker", nullptr, "(ii)"));
    if (!reply) {
        ERR("%s", "result is NULL");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    int result = 0, value = 0;
    g_variant_get(reply.get(), "(ii)", &result, &value);
    *count = value;
    INFO("result :%d, num_of_connected_spk : %d", result, value);
    co_return result;
}

int halvo_api_get_num_of_connected_spaker_internal(int *count) noexcept
{
    return run_sync(num_of_speakers_op(count));
}

void halvo_api_get_num_of_connected_spaker_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                                 gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_api_get_num_of_connected_spaker_async, cancellable, callback, user_data,
                     [](Held &held) { return num_of_speakers_op(&held.ints[0]); });
}

int halvo_api_get_num_of_connected_spaker_finish(GAsyncResult *result, int *count) noexcept
{
    if (count == nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    return finish_output(result, (void *)halvo_api_get_num_of_connected_spaker_async,
                         [&](Held &held) { *count = held.ints[0]; });
}

int halvo_api_get_num_of_connected_spaker(int *count) noexcept
{
    return halvo_api_get_num_of_connected_spaker_internal(count);
}

int halvo_api_mute_unmute_internal(void) noexcept
{
    return run_sync(command_op("toggle mute", "spk_mute_unmute"));
}

void halvo_api_mute_unmute_async(GCancellable *cancellable, GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_api_mute_unmute_async, cancellable, callback, user_data,
                     [](Held &) { return command_op("toggle mute", "spk_mute_unmute"); });
}

int halvo_api_mute_unmute_finish(GAsyncResult *result) noexcept
{
    return finish_result(result, (void *)halvo_api_mute_unmute_async);
}

int halvo_api_mute_unmute(void) noexcept
{
    return halvo_api_mute_unmute_internal();
}

int halvo_api_volume_down_internal(void) noexcept
{
    return run_sync(command_op("volume down", "spk_vol_down"));
}

void halvo_api_volume_down_async(GCancellable *cancellable, GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_api_volume_down_async, cancellable, callback, user_data,
                     [](Held &) { return command_op("volume down", "spk_vol_down"); });
}

int halvo_api_volume_down_finish(GAsyncResult *result) noexcept
{
    return finish_result(result, (void *)halvo_api_volume_down_async);
}

int halvo_api_volume_down(void) noexcept
{
    return halvo_api_volume_down_internal();
}

int halvo_api_volume_up_internal(void) noexcept
{
    return run_sync(command_op("volume up", "spk_vol_up"));
}

void halvo_api_volume_up_async(GCancellable *cancellable, GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_api_volume_up_async, cancellable, callback, user_data,
                     [](Held &) { return command_op("volume up", "spk_vol_up"); });
}

int halvo_api_volume_up_finish(GAsyncResult *result) noexcept
{
    return finish_result(result, (void *)halvo_api_volume_up_async);
}

int halvo_api_volume_up(void) noexcept
{
    return halvo_api_volume_up_internal();
}

/* The stored mute flag (any non-zero value is muted); false, logged, when
 * the key is unreadable. */
static bool read_mute(bool *muted) noexcept
{
    int value = 0;
    if (valko_get_int(KEY_BT_MUTE, &value) != 0) {
        ERR("fail to get mute state");
        note_failure(HALVO_FAILURE_STORE);
        return false;
    }
    *muted = value != 0;
    return true;
}

static Op<int> get_mute_state_op(bool *muted)
{
    if (muted == nullptr) {
        ERR("muted is NULL");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("get mute");
    co_await on_worker();
    bool stored = false;
    if (!read_mute(&stored))
        co_return HALVO_ERROR_OPERATION_FAILED;
    *muted = stored;
    co_return HALVO_ERROR_NONE;
}

int halvo_api_get_mute_state_internal(bool *muted) noexcept
{
    return run_sync(get_mute_state_op(muted));
}

void halvo_api_get_mute_state_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                    gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_api_get_mute_state_async, cancellable, callback, user_data,
                     [](Held &held) { return get_mute_state_op(&held.flag); });
}

int halvo_api_get_mute_state_finish(GAsyncResult *result, bool *muted) noexcept
{
    if (muted == nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    return finish_output(result, (void *)halvo_api_get_mute_state_async, [&](Held &held) { *muted = held.flag; });
}

int halvo_api_get_mute_state(bool *muted) noexcept
{
    return halvo_api_get_mute_state_internal(muted);
}

static Op<int> set_mute_op(bool muted)
{
    INFO("set mute : %d", muted);
    /* Calls take turns in the order they were made: each reads the state
     * the one before made (the service writes the new flag to the store
     * before it answers the toggle). */
    DocTurn turn(KEY_BT_MUTE);
    if (!co_await turn.take())
        co_return HALVO_ERROR_OPERATION_FAILED;
    co_await on_worker();
    bool stored = false;
    if (!read_mute(&stored))
        co_return HALVO_ERROR_OPERATION_FAILED;
    if (stored == muted) {
        INFO("mute is %d already", muted);
        co_return HALVO_ERROR_NONE;
    }
    RETURN_SERVICE_RESULT("spk_mute_unmute", nullptr);
}

int halvo_api_set_mute(bool muted) noexcept
{
    return run_sync(set_mute_op(muted));
}

void halvo_api_set_mute_async(bool muted, GCancellable *cancellable, GAsyncReadyCallback callback,
                              gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_api_set_mute_async, cancellable, callback, user_data,
                     [&](Held &) { return set_mute_op(muted); });
}

int halvo_api_set_mute_finish(GAsyncResult *result) noexcept
{
    return finish_result(result, (void *)halvo_api_set_mute_async);
}

/* Runs where the store delivers its notification. */
static void mute_changed(valko_keynode_t *, void *) noexcept
{
    bool muted = false;
    /* The store's own reading of the flag, as halvo_api_get_mute_state()'s;
     * a key that is gone or holds no integer is no state to report. */
    if (!listeners::any(HALVO_EVENT_MUTE_CHANGED) || !read_mute(&muted))
        return;
    INFO("mute changed : %d", muted);
    listeners::post(HALVO_EVENT_MUTE_CHANGED, [muted](listeners::any_cb cb, void *user_data) {
        reinterpret_cast<halvo_api_mute_changed_cb>(cb)(muted, user_data);
    });
}

int halvo_api_set_mute_changed_callback(halvo_api_mute_changed_cb callback, void *user_data) noexcept
{
    if (callback == nullptr) {
        ERR("cb is NULL!!");
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    }
    return speaker::set(HALVO_EVENT_MUTE_CHANGED, reinterpret_cast<listeners::any_cb>(callback), user_data, false);
}

int halvo_api_unset_mute_changed_callback(void) noexcept
{
    return speaker::unset(HALVO_EVENT_MUTE_CHANGED);
}

/* Steps shared by the two "(si)" handlers: the row's name, a callback in
 * the slot (taken into @taken), and the payload.  Returns the address
 * (owned) or NULL when the signal is to be dropped. */
static char *take_address_and_value(int row, int slot, const char *signal_name, GVariant *parameters,
                                    int *value) noexcept
{
    if (!is_row_signal(row, signal_name))
        return nullptr;
    if (!listeners::any(slot)) {
        ERR("callback is NULL");
        return nullptr;
    }
    if (parameters == nullptr) {
        ERR("parameter is NULL");
        return nullptr;
    }
    char *address = nullptr;
    *value = 0;
    /* A payload of another type carries no values. */
    if (has_type(parameters, "(si)"))
        g_variant_get(parameters, "(si)", &address, value);
    if (address == nullptr)
        ERR("address is NULL");
    return address;
}

/* Runs in the main context of the thread that set the callback. */
void _halvo_bt_spk_volume_changed_by_address(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                             const gchar *signal_name, GVariant *parameters, gpointer) noexcept
{
    int volume = 0;
    std::shared_ptr<char> address(
        take_address_and_value(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED, HALVO_EVENT_VOLUME_CHANGED, signal_name, parameters, &volume),
        g_free);
    if (!address)
        return;
    INFO("address : %s, vol : %d", address.get(), volume);
    listeners::post(HALVO_EVENT_VOLUME_CHANGED, [address, volume](listeners::any_cb cb, void *user_data) {
        reinterpret_cast<halvo_api_volume_changed_cb>(cb)(address.get(), volume, user_data);
    });
}

/* Runs in the main context of the thread that set the callback. */
void _halvo_bt_spk_volume_controlable_changed_by_address(GDBusConnection *, const gchar *, const gchar *,
                                                         const gchar *, const gchar *signal_name,
                                                         GVariant *parameters, gpointer) noexcept
{
    int controlable = 0;
    std::shared_ptr<char> address(take_address_and_value(HALVO_SIGNAL_BT_SPK_VOLUME_CONTROLABLE_CHANGED,
                                                         HALVO_EVENT_VOLUME_CONTROLABLE_CHANGED, signal_name, parameters,
                                                         &controlable),
                                  g_free);
    if (!address)
        return;
    INFO("address : %s, controlable : %d", address.get(), controlable);
    bool on = controlable != 0;
    listeners::post(HALVO_EVENT_VOLUME_CONTROLABLE_CHANGED, [address, on](listeners::any_cb cb, void *user_data) {
        reinterpret_cast<halvo_api_volume_controlable_changed_cb>(cb)(address.get(), on, user_data);
    });
}

int halvo_api_set_volume_changed_callback_internal(halvo_api_volume_changed_cb callback, void *user_data) noexcept
{
    INFO("halvo_api_set_volume_changed_callback_internal");
    return speaker::set(HALVO_EVENT_VOLUME_CHANGED, reinterpret_cast<listeners::any_cb>(callback), user_data, true);
}

int halvo_api_set_volume_changed_callback(halvo_api_volume_changed_cb callback, void *user_data) noexcept
{
    return halvo_api_set_volume_changed_callback_internal(callback, user_data);
}

int halvo_api_set_volume_controlable_changed_callback_internal(halvo_api_volume_controlable_changed_cb callback,
                                                               void *user_data) noexcept
{
    INFO("halvo_api_set_volume_controlable_changed_callback_internal");
    return speaker::set(HALVO_EVENT_VOLUME_CONTROLABLE_CHANGED, reinterpret_cast<listeners::any_cb>(callback), user_data, true);
}

int halvo_api_set_volume_controlable_changed_callback(halvo_api_volume_controlable_changed_cb callback,
                                                      void *user_data) noexcept
{
    return halvo_api_set_volume_controlable_changed_callback_internal(callback, user_data);
}

int halvo_api_unset_volume_changed_callback_internal(void) noexcept
{
    INFO("halvo_api_unset_volume_changed_callback_internal");
    return speaker::unset(HALVO_EVENT_VOLUME_CHANGED);
}

int halvo_api_unset_volume_changed_callback(void) noexcept
{
    return halvo_api_unset_volume_changed_callback_internal();
}

int halvo_api_unset_volume_controlable_changed_callback_internal(void) noexcept
{
    INFO("halvo_api_unset_volume_controlable_changed_callback_internal");
    return speaker::unset(HALVO_EVENT_VOLUME_CONTROLABLE_CHANGED);
}

int halvo_api_unset_volume_controlable_changed_callback(void) noexcept
{
    return halvo_api_unset_volume_controlable_changed_callback_internal();
}

/* ------------------------------------------------------------------ */
/* Icons and speaker replacement                                       */
/* ------------------------------------------------------------------ */

/* Icon of each icon-type code, searched in order.  Row 0, the generic
 * speaker, also stands for every code that no row carries. */
struct icon_row {
    char code[3];
    char name[40];
};
static_assert(sizeof(icon_row) == 43, "3-byte codes, 40-byte names");

static const icon_row speaker_icons[11] = {
    {"SP", "i_icon_device_m_bt_speaker"},
    {"SB", "i_icon_device_m_soundbar"},
    {"SW", "i_icon_device_m_soundbar_subwoofer"},
    {"PS", "i_icon_device_m_portable_speaker"},
    {"PT", "i_icon_device_m_party_speaker"},
    {"SS", "i_icon_device_m_smart_speaker"},
    {"BK", "i_icon_device_m_bookshelf_speaker"},
    {"TW", "i_icon_device_m_tower_speaker"},
    {"RS", "i_icon_device_m_rear_speaker"},
    {"WM", "i_icon_device_m_wall_mount_soundbar"},
    {"S3", "i_icon_device_m_3d_surround_soundbar"},
};

int halvo_api_get_common_icon_path_internal(const char *icon_type, char **path) noexcept
{
    if (path == nullptr) {
        ERR("path is NULL");
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    }
    const icon_row *row = &speaker_icons[0];
    for (const icon_row &candidate : speaker_icons) {
        if (icon_type != nullptr && strcmp(icon_type, candidate.code) == 0) {
            row = &candidate;
            break;
        }
    }
    char *resource = getCommonResourcePath(row->name, 0);
    if (resource == nullptr) {
        ERR("no resource path for %s", row->name);
        return plain_result(HALVO_ERROR_OPERATION_FAILED, HALVO_FAILURE_STORE);
    }
    char *copy = strdup(resource);
    freeResourcePath(resource);
    if (copy == nullptr)
        return plain_result(HALVO_ERROR_OPERATION_FAILED, HALVO_FAILURE_STORE);
    INFO("icon path : %s", copy);
    *path = copy;
    return plain_result(HALVO_ERROR_NONE);
}

/* The code is copied before the call: the local table looks it up after. */
static Op<int> icon_path_op(const char *icon_type, char **path)
{
    /* No code is a code no row carries: the local table answers it. */
    if (path == nullptr || (icon_type != nullptr && !valid_text(icon_type))) {
        ERR("no path, or icon type is not UTF-8");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("icon type = %s", STR(icon_type));
    GString_ code(g_strdup(icon_type));
    Variant reply;
    if (code)
        reply.reset(co_await call("get_last_bluetooth_speaker_icon_path", g_variant_new("(s)", code.get()), "(s)"));
    if (reply) {
        const char *result = nullptr;
        g_variant_get(reply.get(), "(&s)", &result);
        INFO("result = [%s]", result);
        char *copy = strdup(result);
        if (copy == nullptr)
            co_return HALVO_ERROR_OPERATION_FAILED;
        INFO("path is %s", copy);
        *path = copy;
        co_return HALVO_ERROR_NONE;
    }
    if (halvo_api_get_common_icon_path_internal(code.get(), path) != HALVO_ERROR_NONE) {
        note_failure(HALVO_FAILURE_STORE);
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    INFO("path is %s", *path);
    co_return HALVO_ERROR_NONE;
}

int halvo_api_get_last_bluetooth_speaker_icon_path_internal(const char *icon_type, char **path) noexcept
{
    return run_sync(icon_path_op(icon_type, path));
}

void halvo_api_get_last_bluetooth_speaker_icon_path_async(const char *icon_type, GCancellable *cancellable,
                                                          GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_api_get_last_bluetooth_speaker_icon_path_async, cancellable, callback, user_data,
                     [&](Held &held) { return icon_path_op(icon_type, &held.text); });
}

int halvo_api_get_last_bluetooth_speaker_icon_path_finish(GAsyncResult *result, char **path) noexcept
{
    if (path == nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    return finish_async<int>(result, (void *)halvo_api_get_last_bluetooth_speaker_icon_path_async,
                             HALVO_ERROR_INVALID_PARAMETER, HALVO_ERROR_CANCELLED, [&](Held &held) {
                                 if (held.text != nullptr)
                                     *path = std::exchange(held.text, nullptr);
                             });
}

static Op<int> replace_speaker_op(const char *address)
{
    if (!valid_text(address)) {
        ERR("address is not a valid string");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("replace address = %s", address);
    RETURN_SERVICE_RESULT("replace_current_bluetooth_speaker", g_variant_new("(s)", address));
}

int halvo_api_replace_current_speaker_internal(const char *address) noexcept
{
    return run_sync(replace_speaker_op(address));
}

void halvo_api_replace_current_speaker_async(const char *address, GCancellable *cancellable,
                                             GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_api_replace_current_speaker_async, cancellable, callback, user_data,
                     [&](Held &) { return replace_speaker_op(address); });
}

int halvo_api_replace_current_speaker_finish(GAsyncResult *result) noexcept
{
    return finish_result(result, (void *)halvo_api_replace_current_speaker_async);
}

/* ------------------------------------------------------------------ */
/* Speakers with their volumes                                         */
/* ------------------------------------------------------------------ */

/* A refresh composes the public non-blocking calls: the connected
 * speakers, then both reads of every speaker at once.  Everything runs in
 * the main context of the thread that started it.  The records wait in
 * the task's Held until _finish takes them. */
namespace {

struct Refresh : AsyncState<int> {
    int pending = 0; /* reads still out */
};

struct RefreshRead {
    GTask *task;
    halvo_speaker_volume_t *record;
    bool controlable; /* which of the two reads */
};

void free_speaker_volume(gpointer record) noexcept
{
    free_speaker(static_cast<halvo_speaker_volume_t *>(record)->speaker);
    g_free(record);
}

void free_speaker_volumes(gpointer list) noexcept
{
    g_slist_free_full(static_cast<GSList *>(list), free_speaker_volume);
}

void on_refresh_read(GObject *, GAsyncResult *result, gpointer data) noexcept
{
    auto *read = static_cast<RefreshRead *>(data);
    halvo_speaker_volume_t *r = read->record;
    if (read->controlable) {
        r->controlable_result = halvo_api_get_volume_controlable_finish(result, &r->controlable);
        r->controlable_failure = halvo_api_last_failure();
    } else {
        r->volume_result = halvo_api_get_volume_finish(result, &r->volume);
        r->volume_failure = halvo_api_last_failure();
    }
    auto *refresh = static_cast<Refresh *>(g_task_get_task_data(read->task));
    if (--refresh->pending == 0)
        complete_task(read->task);
    delete read;
}

void on_refresh_list(GObject *, GAsyncResult *result, gpointer data) noexcept
{
    auto *task = static_cast<GTask *>(data);
    auto *refresh = static_cast<Refresh *>(g_task_get_task_data(task));
    GSList *speakers = nullptr;
    refresh->result = halvo_get_connected_bt_speaker_infos_finish(result, &speakers);
    refresh->failure = halvo_api_last_failure();
    ListAppender records(reinterpret_cast<GSList **>(&refresh->held.owned));
    for (GSList *l = speakers; l != nullptr; l = l->next) {
        auto *record = g_new0(halvo_speaker_volume_t, 1);
        record->speaker = static_cast<speaker_t *>(l->data);
        records.append(record);
        refresh->pending += 2;
    }
    g_slist_free(speakers);
    if (refresh->pending == 0) {
        complete_task(task);
        return;
    }
    GCancellable *cancellable = g_task_get_cancellable(task);
    for (GSList *l = static_cast<GSList *>(refresh->held.owned); l != nullptr; l = l->next) {
        auto *record = static_cast<halvo_speaker_volume_t *>(l->data);
        const char *address = record->speaker->address;
        halvo_api_get_volume_async(address, cancellable, on_refresh_read, new RefreshRead{task, record, false});
        halvo_api_get_volume_controlable_async(address, cancellable, on_refresh_read,
                                               new RefreshRead{task, record, true});
    }
}

} // namespace

void halvo_api_speakers_with_volumes_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                           gpointer user_data) noexcept
{
    GTask *task = g_task_new(nullptr, cancellable, callback, user_data);
    g_task_set_source_tag(task, (void *)halvo_api_speakers_with_volumes_async);
    auto *refresh = new Refresh;
    refresh->held.release = free_speaker_volumes;
    g_task_set_task_data(task, refresh, [](gpointer d) { delete static_cast<AsyncStateBase *>(d); });
    halvo_get_connected_bt_speaker_infos_async(cancellable, on_refresh_list, task);
}

int halvo_api_speakers_with_volumes_finish(GAsyncResult *result, GSList **list) noexcept
{
    return finish_list(result, (void *)halvo_api_speakers_with_volumes_async, list);
}

int halvo_free_speakers_with_volumes(GSList **list) noexcept
{
    return free_list(list, free_speaker_volume);
}

/* ------------------------------------------------------------------ */
/* Following the speaker events                                        */
/* ------------------------------------------------------------------ */

static bool follow_row(int row, GDBusSignalCallback handler, bool on) noexcept
{
    if (on)
        return want_internal_signal(row, handler);
    _halvo_api_unsubscribe_internal_signal(row);
    return true;
}

static bool follow_key(const char *key, valko_key_changed_cb handler, bool on) noexcept
{
    if (on)
        return speaker::store_watch(key, handler);
    speaker::store_ignore(key, handler);
    return true;
}

bool halvo_core::follow_speaker_event(int event, bool on) noexcept
{
    switch (event) {
    case HALVO_EVENT_SPEAKER_INFO_CHANGED:
        return follow_row(HALVO_SIGNAL_BT_SPK_INFO_CHANGED, _halvo_bt_spk_info_changed, on);
    case HALVO_EVENT_CONNECTING_STATUS_CHANGED:
        return follow_row(HALVO_SIGNAL_LAST_CONNECTING_STATUS_CHANGED, _halvo_last_connecting_status_changed, on);
    case HALVO_EVENT_VOLUME_CHANGED:
        return follow_row(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED, _halvo_bt_spk_volume_changed_by_address, on);
    case HALVO_EVENT_VOLUME_CONTROLABLE_CHANGED:
        return follow_row(HALVO_SIGNAL_BT_SPK_VOLUME_CONTROLABLE_CHANGED,
                          _halvo_bt_spk_volume_controlable_changed_by_address, on);
    case HALVO_EVENT_LAST_SPEAKERS_CHANGED:
        return follow_key(KEY_LAST_SPEAKERS, _halvo_last_bluetooth_speakers_changed, on);
    case HALVO_EVENT_MUTE_CHANGED:
        return follow_key(KEY_BT_MUTE, mute_changed, on);
    case HALVO_EVENT_CONNECTED_SPEAKERS_CHANGED:
        return follow_key(KEY_CONNECTED_SPEAKERS, connected_speakers_changed, on);
    default:
        return false;
    }
}
