/* halvo-api-internal.cpp - speaker internals: connected and last speakers,
 * reconnection, volume and mute, icons, and the speaker callback slots.
 *
 * Signal handlers run in the main context of the thread that set their
 * callback; the last-speakers handler runs where the store delivers its
 * notification (the registering thread's main context).  A slot is read
 * and written whole under the library's lock, and called outside it, so a
 * callback may call the library and unset itself.
 *
 * Store documents and signal payloads come from other processes: a
 * document of another shape gives the documented defaults, and a payload
 * of another type is treated as carrying no values. */
#include "halvo-api-private.h"
#include "uiconf.h"
#include "valko.h"

#include <cstdlib>
#include <cstring>

using namespace halvo;

#define KEY_CONNECTED_SPEAKERS "memory/org.velmo.pellix/soundoutput_info"
#define KEY_LAST_SPEAKERS "db/pellix/last_btspk_list"
#define KEY_CONNECTED_ADDRESSES "memory/pellix/connected_btspk_addr_list"
#define KEY_BT_MUTE "memory/menu/network/screenmirroring/get_volume_mute_bt"

/* printf's %s wants a string, also for fields that were absent. */
#define STR(s) ((s) ? (s) : "(null)")

/* ------------------------------------------------------------------ */
/* The speaker callback slots                                          */
/* ------------------------------------------------------------------ */

/* A namespace of its own: the earphone record of the public header is
 * also called `callbacks`. */
namespace speaker {

/* Any callback fits a slot; each user casts it back to its own type. */
typedef void (*any_cb)(void);

struct slot {
    any_cb callback;
    void *user_data;
};

enum {
    SLOT_INFO_CHANGED = 0,
    SLOT_LAST_SPEAKERS = 1,
    SLOT_CONNECTING_STATUS = 2,
    SLOT_VOLUME = 3,
    SLOT_VOLUME_CONTROLABLE = 4,
    SLOT_COUNT
};

static slot callbacks[SLOT_COUNT];

template <typename Cb> struct taken {
    Cb callback;
    void *user_data;
};

static void fill_locked(int index, any_cb callback, void *user_data) noexcept
{
    callbacks[index].callback = callback;
    callbacks[index].user_data = user_data;
}

static void clear(int index) noexcept
{
    Locked hold(state_lock);
    fill_locked(index, nullptr, nullptr);
}

/* The callback and its user data, read together. */
template <typename Cb> static taken<Cb> take(int index) noexcept
{
    Locked hold(state_lock);
    return {reinterpret_cast<Cb>(callbacks[index].callback), callbacks[index].user_data};
}

/* Fills slot @index and subscribes signal @row for it.  A set that cannot
 * subscribe leaves the slot as it found it, unless another set came in
 * meanwhile. */
template <typename Cb>
static int set(int index, Cb callback, void *user_data, int row, GDBusSignalCallback handler) noexcept
{
    any_cb cb = reinterpret_cast<any_cb>(callback);
    slot before;
    {
        Locked hold(state_lock);
        before = callbacks[index];
        fill_locked(index, cb, user_data);
    }
    int ret = _halvo_api_subscribe_internal_signal(row, handler, nullptr);
    if (ret != HALVO_ERROR_NONE) {
        Locked hold(state_lock);
        if (callbacks[index].callback == cb && callbacks[index].user_data == user_data)
            callbacks[index] = before;
    }
    return ret;
}

/* Empties slot @index and drops the subscription of signal @row. */
static int unset(int index, int row) noexcept
{
    clear(index);
    return _halvo_api_unsubscribe_internal_signal(row);
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

/* The service's integer of a "(i)" reply; false, with *result untouched,
 * when no reply or one of another type came. */
static bool call_for_int(const char *method, GVariant *args, int *result) noexcept
{
    Variant reply(call_for(method, args, "(i)"));
    if (!reply)
        return false;
    g_variant_get(reply.get(), "(i)", result);
    return true;
}

/* The two integers of a "(ii)" reply; false, with nothing written, when no
 * reply or one of another type came. */
static bool call_for_two_ints(const char *method, GVariant *args, int *result, int *value) noexcept
{
    Variant reply(call_for(method, args, "(ii)"));
    if (!reply)
        return false;
    g_variant_get(reply.get(), "(ii)", result, value);
    return true;
}

/* Operations that return the service's "(i)" integer; a macro so that the
 * log lines carry the operation's own name. */
#define RETURN_SERVICE_RESULT(method, args)                                                                  \
    do {                                                                                                     \
        int result_ = 0;                                                                                     \
        if (!call_for_int((method), (args), &result_)) {                                                     \
            ERR("%s", "result is NULL");                                                                     \
            return HALVO_ERROR_OPERATION_FAILED;                                                             \
        }                                                                                                    \
        INFO("result = [%d]", result_);                                                                      \
        return result_;                                                                                      \
    } while (0)

/* True when @signal_name is the name of internal row @row. */
static bool is_row_signal(int row, const char *signal_name) noexcept
{
    if (signal_name == nullptr || strcmp(signal_name, inter_signal_info[row].signal_name) != 0) {
        WARN("Different signal name");
        return false;
    }
    return true;
}

/* Leaves the array element the reader stands in.  With an error set, an
 * end only clears the error and stays put. */
static void leave_element(JsonReader *reader) noexcept
{
    if (json_reader_get_error(reader) != nullptr)
        json_reader_end_element(reader);
    json_reader_end_element(reader);
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
    bool parsed = halvo_json_parse(parser.get(), text, -1);
    Object<JsonReader> reader(halvo_json_reader_new(parser.get()));
    int count = (parsed && json_reader_is_array(reader.get())) ? json_reader_count_elements(reader.get()) : -1;
    INFO("count : %d", count);

    ListAppender appender(list);
    for (int i = 0; i < count; i++) {
        json_reader_read_element(reader.get(), guint(i));
        Record *record = nullptr;
        int ret = convert(reader.get(), &record);
        leave_element(reader.get());
        if (ret != HALVO_ERROR_NONE) {
            ERR("speaker_t malloc fail");
            return HALVO_ERROR_OPERATION_FAILED;
        }
        appender.append(record);
        describe(record);
    }
    return HALVO_ERROR_NONE;
}

/* Reads the document under @key and appends its records to @list with
 * @convert; when that fails, @release frees the whole list (what the
 * caller held included) and leaves it NULL. */
static int read_stored_list(const char *key, GSList **list, int (*convert)(const char *, GSList **) noexcept,
                            int (*release)(GSList **) noexcept) noexcept
{
    if (list == nullptr) {
        ERR("list is NULL");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    CString text(valko_get_str(key));
    if (!text) {
        ERR("info_str is NULL");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    INFO("info_str = [%s]", text.get());
    int ret = convert(text.get(), list);
    if (ret != HALVO_ERROR_NONE) {
        ERR("fail to conver json to  data");
        release(list);
    }
    return ret;
}

/* Frees every record with @free_record, and the cells; the head becomes NULL. */
static int free_list(GSList **list, GDestroyNotify free_record) noexcept
{
    if (list == nullptr || *list == nullptr) {
        ERR("List is NULL!!");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    ENTER();
    g_slist_free_full(*list, free_record);
    *list = nullptr;
    EXIT();
    return HALVO_ERROR_NONE;
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

int halvo_get_connected_bt_speaker_infos(GSList **list) noexcept
{
    INFO("");
    return read_stored_list(KEY_CONNECTED_SPEAKERS, list, __halvo_api_convert_to_data_get_connected_bt_speaker_info,
                            halvo_free_connected_bt_spaekr_infos);
}

int halvo_free_connected_bt_spaekr_infos(GSList **list) noexcept
{
    return free_list(list, [](gpointer s) { __halvo_free_connected_bt_speaker_info(static_cast<speaker_t *>(s)); });
}

int halvo_set_connected_bt_speaker_info(const char *vsid, bt_spk_info_t *info) noexcept
{
    if (vsid == nullptr) {
        ERR("vsid is NULL");
        return HALVO_ERROR_INVALID_SPEAKER_INFO;
    }
    if (info == nullptr) {
        ERR("info is NULL");
        return HALVO_ERROR_INVALID_SPEAKER_INFO;
    }
    if (info->address == nullptr) {
        ERR("addres is NULL");
        return HALVO_ERROR_INVALID_SPEAKER_INFO;
    }
    if (info->name == nullptr) {
        ERR("name is NULL");
        return HALVO_ERROR_INVALID_SPEAKER_INFO;
    }
    if (info->icon_type == nullptr) {
        ERR("iconType is NULL");
        return HALVO_ERROR_INVALID_SPEAKER_INFO;
    }
    /* The text goes out as a D-Bus string, which must be UTF-8. */
    if (!valid_text(vsid) || !valid_text(info->address) || !valid_text(info->name) || !valid_text(info->icon_type)) {
        ERR("speaker info is not valid UTF-8");
        return HALVO_ERROR_INVALID_SPEAKER_INFO;
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
        return HALVO_ERROR_OPERATION_FAILED;
    }
    RETURN_SERVICE_RESULT("set_connected_bt_speaker_info", g_variant_new("(s)", text.get()));
}

int halvo_set_connected_bt_speaker_info_with_serialization(const char *data) noexcept
{
    if (data == nullptr) {
        ERR("data is NULL");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    if (!valid_text(data)) {
        ERR("data is not valid UTF-8");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("%s", data);
    RETURN_SERVICE_RESULT("set_connected_bt_speaker_info", g_variant_new("(s)", data));
}

/* Runs in the main context of the thread that registered the callback. */
void _halvo_bt_spk_info_changed(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                const gchar *signal_name, GVariant *parameters, gpointer) noexcept
{
    if (!is_row_signal(HALVO_SIGNAL_BT_SPK_INFO_CHANGED, signal_name))
        return;
    auto slot = speaker::take<halvo_bt_spk_info_changed_cb>(speaker::SLOT_INFO_CHANGED);
    if (slot.callback == nullptr) {
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
    if (strcmp(text.get(), "null") == 0) {
        slot.callback(nullptr, slot.user_data);
        return;
    }
    Object<JsonParser> parser(json_parser_new());
    if (!halvo_json_parse(parser.get(), text.get(), -1)) {
        ERR("fail to json_parser_load_from_data ");
        return;
    }
    Object<JsonReader> reader(halvo_json_reader_new(parser.get()));
    speaker_t *record = nullptr;
    if (__halvo_api_convert_json_to_struct(reader.get(), &record) != HALVO_ERROR_NONE)
        return;
    slot.callback(record, slot.user_data);
    __halvo_free_connected_bt_speaker_info(record);
}

int halvo_register_bt_spaeker_info_changed_cb(halvo_bt_spk_info_changed_cb callback, void *user_data) noexcept
{
    return speaker::set(speaker::SLOT_INFO_CHANGED, callback, user_data, HALVO_SIGNAL_BT_SPK_INFO_CHANGED,
                        _halvo_bt_spk_info_changed);
}

int halvo_unregister_bt_spaeker_info_changed_cb(void) noexcept
{
    return speaker::unset(speaker::SLOT_INFO_CHANGED, HALVO_SIGNAL_BT_SPK_INFO_CHANGED);
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

static int _halvo_free_last_bluetooth_audio_list(GSList **list) noexcept
{
    return free_list(list, [](gpointer s) { __halvo_free_last_bluetooth_audio(static_cast<last_spk_info_t *>(s)); });
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

int halvo_get_last_bluetooth_speakers_internal(GSList **list) noexcept
{
    INFO("");
    return read_stored_list(KEY_LAST_SPEAKERS, list, _halvo_api_convert_to_data_last_bluetooth_speakers,
                            _halvo_free_last_bluetooth_audio_list);
}

int halvo_free_last_bluetooth_speakers_internal(GSList **list) noexcept
{
    if (list == nullptr || *list == nullptr) {
        ERR("List is NULL!!");
        return HALVO_ERROR_INVALID_PARAMETER;
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
    auto slot = speaker::take<halvo_last_bluetooth_speakers_changed_cb>(speaker::SLOT_LAST_SPEAKERS);
    if (slot.callback == nullptr) {
        ERR("callback is NULL");
        return;
    }
    /* Borrowed from the store. */
    const char *text = valko_keynode_get_str(node);
    if (text == nullptr) {
        INFO("info str is null");
        slot.callback(nullptr, slot.user_data);
        return;
    }
    GSList *list = nullptr;
    if (_halvo_api_convert_to_data_last_bluetooth_speakers(text, &list) != HALVO_ERROR_NONE) {
        ERR("fail to conver json to  data");
        if (list != nullptr)
            _halvo_free_last_bluetooth_audio_list(&list);
    }
    INFO("call callbacks");
    slot.callback(list, slot.user_data);
}

int halvo_set_last_bluetooth_speakers_key_changed_cb(void *user_data) noexcept
{
    int ret = valko_notify_key_changed(KEY_LAST_SPEAKERS, _halvo_last_bluetooth_speakers_changed, user_data);
    INFO("set valko key changed callback  = %d", ret);
    return ret == 0 ? HALVO_ERROR_NONE : HALVO_ERROR_OPERATION_FAILED;
}

int halvo_unset_last_bluetooth_speakers_key_changed_cb(void) noexcept
{
    int ret = valko_ignore_key_changed(KEY_LAST_SPEAKERS, _halvo_last_bluetooth_speakers_changed);
    INFO("unset valko key changed callback  = %d", ret);
    return ret == 0 ? HALVO_ERROR_NONE : HALVO_ERROR_OPERATION_FAILED;
}

int halvo_set_last_bluetooth_speakers_changed_cb_internal(halvo_last_bluetooth_speakers_changed_cb callback,
                                                          void *user_data) noexcept
{
    INFO("+");
    /* The store keeps one registration per key and callback: slot and
     * registration change together under the lock. */
    Locked hold(state_lock);
    speaker::fill_locked(speaker::SLOT_LAST_SPEAKERS, reinterpret_cast<speaker::any_cb>(callback), user_data);
    int ret = halvo_set_last_bluetooth_speakers_key_changed_cb(user_data);
    if (ret != HALVO_ERROR_NONE)
        speaker::fill_locked(speaker::SLOT_LAST_SPEAKERS, nullptr, nullptr);
    return ret;
}

int halvo_unset_last_bluetooth_speakers_changed_cb_internal(void) noexcept
{
    INFO("+");
    Locked hold(state_lock);
    speaker::fill_locked(speaker::SLOT_LAST_SPEAKERS, nullptr, nullptr);
    return halvo_unset_last_bluetooth_speakers_key_changed_cb();
}

int get_size_of_last_spk_info_t(void) noexcept
{
    return int(sizeof(last_spk_info_t));
}

/* ------------------------------------------------------------------ */
/* Reconnection of the last speakers                                   */
/* ------------------------------------------------------------------ */

int halvo_connect_to_last_bluetooth_speakers_internal(bool show_connecting_ui) noexcept
{
    INFO("show_connecting_ui = %d", show_connecting_ui);
    RETURN_SERVICE_RESULT("connect_last_btspk_list", g_variant_new("(b)", gboolean(show_connecting_ui)));
}

int halvo_disconnect_to_last_bluetooth_speakers_internal(void) noexcept
{
    RETURN_SERVICE_RESULT("disconnect_last_btspk_list", nullptr);
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
    auto slot = speaker::take<halvo_last_bluetooth_speakers_connecting_status_changed_cb>(
        speaker::SLOT_CONNECTING_STATUS);
    if (slot.callback == nullptr) {
        ERR("%s", "callback is NULL");
        return;
    }
    slot.callback(status, slot.user_data);
}

int halvo_set_last_bluetooth_speakers_connecting_status_changed_cb_internal(
    halvo_last_bluetooth_speakers_connecting_status_changed_cb callback, void *user_data) noexcept
{
    INFO("+");
    return speaker::set(speaker::SLOT_CONNECTING_STATUS, callback, user_data,
                        HALVO_SIGNAL_LAST_CONNECTING_STATUS_CHANGED, _halvo_last_connecting_status_changed);
}

int halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb_internal(void) noexcept
{
    return speaker::unset(speaker::SLOT_CONNECTING_STATUS, HALVO_SIGNAL_LAST_CONNECTING_STATUS_CHANGED);
}

/* ------------------------------------------------------------------ */
/* Volume and mute                                                     */
/* ------------------------------------------------------------------ */

int halvo_api_get_volume_controlable_internal(const char *address, bool *controlable) noexcept
{
    if (!valid_text(address) || controlable == nullptr) {
        ERR("address is not a valid string, or no output");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("halvo_api_get_volume_controlable_internal, address : %s", address);
    int result = 0, flag = 0;
    if (!call_for_two_ints("get_volume_controlable_by_address", g_variant_new("(s)", address), &result, &flag)) {
        ERR("%s", "result is NULL");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    *controlable = flag != 0;
    INFO("result :%d, vol : %d", result, flag != 0 ? 1 : 0);
    return result;
}

int halvo_api_get_volume_controlable(const char *address, bool *controlable) noexcept
{
    return halvo_api_get_volume_controlable_internal(address, controlable);
}

int halvo_api_set_volume_internal(const char *address, int volume) noexcept
{
    if (!valid_text(address)) {
        ERR("address is not a valid string");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("halvo_api_set_volume_internal, address : %s", address);
    int result = 0;
    if (!call_for_int("set_volume_by_address", g_variant_new("(si)", address, volume), &result)) {
        ERR("%s", "result is NULL");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    INFO("result :%d, vol : %d", result, volume);
    return result;
}

int halvo_api_set_volume(const char *address, int volume) noexcept
{
    return halvo_api_set_volume_internal(address, volume);
}

/* Also the blocking twin's body: the address is read before the call. */
static Op<int> get_volume_op(const char *address, int *volume)
{
    if (!valid_text(address) || volume == nullptr) {
        ERR("address is not a valid string, or no output");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("halvo_api_get_volume_internal, address : %s", address);
    Variant reply(co_await call("get_volume_by_address", g_variant_new("(s)", address), "(ii)"));
    if (!reply) {
        ERR("%s", "result is NULL");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    int result = 0, value = 0;
    g_variant_get(reply.get(), "(ii)", &result, &value);
    *volume = value;
    INFO("result :%d, vol : %d", result, value);
    co_return result;
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
    return finish_async<int>(result, (void *)halvo_api_get_volume_async, HALVO_ERROR_INVALID_PARAMETER,
                             HALVO_ERROR_CANCELLED, [&](Held &held) { *volume = held.ints[0]; });
}

int halvo_api_get_volume(const char *address, int *volume) noexcept
{
    return halvo_api_get_volume_internal(address, volume);
}

int halvo_api_get_num_of_connected_spaker_internal(int *count) noexcept
{
    if (count == nullptr) {
        ERR("count is NULL");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("halvo_api_get_num_of_connected_spaker_internal");
    int result = 0, value = 0;
    if (!call_for_two_ints("get_num_of_speaker", nullptr, &result, &value)) {
        ERR("%s", "result is NULL");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    *count = value;
    INFO("result :%d, num_of_connected_spk : %d", result, value);
    return result;
}

int halvo_api_get_num_of_connected_spaker(int *count) noexcept
{
    return halvo_api_get_num_of_connected_spaker_internal(count);
}

int halvo_api_mute_unmute_internal(void) noexcept
{
    INFO("toggle mute");
    RETURN_SERVICE_RESULT("spk_mute_unmute", nullptr);
}

int halvo_api_mute_unmute(void) noexcept
{
    return halvo_api_mute_unmute_internal();
}

int halvo_api_volume_down_internal(void) noexcept
{
    INFO("volume down");
    RETURN_SERVICE_RESULT("spk_vol_down", nullptr);
}

int halvo_api_volume_down(void) noexcept
{
    return halvo_api_volume_down_internal();
}

int halvo_api_volume_up_internal(void) noexcept
{
    INFO("volume up");
    RETURN_SERVICE_RESULT("spk_vol_up", nullptr);
}

int halvo_api_volume_up(void) noexcept
{
    return halvo_api_volume_up_internal();
}

int halvo_api_get_mute_state_internal(bool *muted) noexcept
{
    if (muted == nullptr) {
        ERR("muted is NULL");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("get mute");
    int value = 0;
    if (valko_get_int(KEY_BT_MUTE, &value) != 0) {
        ERR("fail to get mute state");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    *muted = value != 0;
    return HALVO_ERROR_NONE;
}

int halvo_api_get_mute_state(bool *muted) noexcept
{
    return halvo_api_get_mute_state_internal(muted);
}

/* Steps shared by the two "(si)" handlers: the row's name, a callback in
 * the slot (taken into @taken), and the payload.  Returns the address
 * (owned) or NULL when the signal is to be dropped. */
template <typename Cb>
static char *take_address_and_value(int row, int slot, const char *signal_name, GVariant *parameters, int *value,
                                    speaker::taken<Cb> *taken) noexcept
{
    if (!is_row_signal(row, signal_name))
        return nullptr;
    *taken = speaker::take<Cb>(slot);
    if (taken->callback == nullptr) {
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
    speaker::taken<halvo_api_volume_changed_cb> slot;
    GString_ address(take_address_and_value(HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED, speaker::SLOT_VOLUME, signal_name,
                                            parameters, &volume, &slot));
    if (!address)
        return;
    INFO("address : %s, vol : %d", address.get(), volume);
    slot.callback(address.get(), volume, slot.user_data);
}

/* Runs in the main context of the thread that set the callback. */
void _halvo_bt_spk_volume_controlable_changed_by_address(GDBusConnection *, const gchar *, const gchar *,
                                                         const gchar *, const gchar *signal_name,
                                                         GVariant *parameters, gpointer) noexcept
{
    int controlable = 0;
    speaker::taken<halvo_api_volume_controlable_changed_cb> slot;
    GString_ address(take_address_and_value(HALVO_SIGNAL_BT_SPK_VOLUME_CONTROLABLE_CHANGED,
                                            speaker::SLOT_VOLUME_CONTROLABLE, signal_name, parameters,
                                            &controlable, &slot));
    if (!address)
        return;
    INFO("address : %s, controlable : %d", address.get(), controlable);
    slot.callback(address.get(), controlable != 0, slot.user_data);
}

int halvo_api_set_volume_changed_callback_internal(halvo_api_volume_changed_cb callback, void *user_data) noexcept
{
    INFO("halvo_api_set_volume_changed_callback_internal");
    return speaker::set(speaker::SLOT_VOLUME, callback, user_data, HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED,
                        _halvo_bt_spk_volume_changed_by_address);
}

int halvo_api_set_volume_changed_callback(halvo_api_volume_changed_cb callback, void *user_data) noexcept
{
    return halvo_api_set_volume_changed_callback_internal(callback, user_data);
}

int halvo_api_set_volume_controlable_changed_callback_internal(halvo_api_volume_controlable_changed_cb callback,
                                                               void *user_data) noexcept
{
    INFO("halvo_api_set_volume_controlable_changed_callback_internal");
    return speaker::set(speaker::SLOT_VOLUME_CONTROLABLE, callback, user_data,
                        HALVO_SIGNAL_BT_SPK_VOLUME_CONTROLABLE_CHANGED,
                        _halvo_bt_spk_volume_controlable_changed_by_address);
}

int halvo_api_set_volume_controlable_changed_callback(halvo_api_volume_controlable_changed_cb callback,
                                                      void *user_data) noexcept
{
    return halvo_api_set_volume_controlable_changed_callback_internal(callback, user_data);
}

int halvo_api_unset_volume_changed_callback_internal(void) noexcept
{
    INFO("halvo_api_unset_volume_changed_callback_internal");
    return speaker::unset(speaker::SLOT_VOLUME, HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED);
}

int halvo_api_unset_volume_changed_callback(void) noexcept
{
    return halvo_api_unset_volume_changed_callback_internal();
}

int halvo_api_unset_volume_controlable_changed_callback_internal(void) noexcept
{
    INFO("halvo_api_unset_volume_controlable_changed_callback_internal");
    return speaker::unset(speaker::SLOT_VOLUME_CONTROLABLE, HALVO_SIGNAL_BT_SPK_VOLUME_CONTROLABLE_CHANGED);
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
        return HALVO_ERROR_INVALID_PARAMETER;
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
        return HALVO_ERROR_OPERATION_FAILED;
    }
    char *copy = strdup(resource);
    freeResourcePath(resource);
    if (copy == nullptr)
        return HALVO_ERROR_OPERATION_FAILED;
    INFO("icon path : %s", copy);
    *path = copy;
    return HALVO_ERROR_NONE;
}

int halvo_api_get_last_bluetooth_speaker_icon_path_internal(const char *icon_type, char **path) noexcept
{
    /* No code is a code no row carries: the local table answers it. */
    if (path == nullptr || (icon_type != nullptr && !valid_text(icon_type))) {
        ERR("no path, or icon type is not UTF-8");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("icon type = %s", STR(icon_type));
    Variant reply(icon_type ? call_for("get_last_bluetooth_speaker_icon_path", g_variant_new("(s)", icon_type), "(s)")
                            : nullptr);
    if (reply) {
        const char *result = nullptr;
        g_variant_get(reply.get(), "(&s)", &result);
        INFO("result = [%s]", result);
        char *copy = strdup(result);
        if (copy == nullptr)
            return HALVO_ERROR_OPERATION_FAILED;
        INFO("path is %s", copy);
        *path = copy;
        return HALVO_ERROR_NONE;
    }
    if (halvo_api_get_common_icon_path_internal(icon_type, path) != HALVO_ERROR_NONE)
        return HALVO_ERROR_OPERATION_FAILED;
    INFO("path is %s", *path);
    return HALVO_ERROR_NONE;
}

int halvo_api_replace_current_speaker_internal(const char *address) noexcept
{
    if (!valid_text(address)) {
        ERR("address is not a valid string");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    INFO("replace address = %s", address);
    RETURN_SERVICE_RESULT("replace_current_bluetooth_speaker", g_variant_new("(s)", address));
}
