/* halvo-api.cpp - lifecycle, paired devices, device policy, manufacturer
 * data, the device-under-test mode and the firmware-update entry point. */
#include "halvo-api-private.h"

#include <cstdlib>
#include <cstring>

using namespace halvo_core;

/* True from a successful halvo_initialize() to the next halvo_deinitialzie(). */
static bool initialized = false;

int halvo_initialize(void) noexcept
{
    /* Initialising twice is a misuse, counted as a refused argument. */
    if (initialized)
        return plain_result(HALVO_ERROR_ALREADY_INITIALIZED, HALVO_FAILURE_INVALID_ARGUMENT);
    /* A failed subscription is logged where it happens; the library still
     * counts as initialised. */
    _halvo_api_init_gdbus();
    initialized = true;
    return plain_result(HALVO_ERROR_NONE);
}

int halvo_deinitialzie(void) noexcept
{
    if (!initialized)
        return plain_result(HALVO_ERROR_NOT_INITIALIZED, HALVO_FAILURE_INVALID_ARGUMENT);
    initialized = false;
    _halvo_api_deinit_gdbus();
    return plain_result(HALVO_ERROR_NONE);
}

/* ------------------------------------------------------------------ */
/* Shared by the calls below                                           */
/* ------------------------------------------------------------------ */

namespace {

/* "(s)" around @text, or NULL when @text cannot travel as a string. */
GVariant *text_tuple(const char *text) noexcept
{
    if (!valid_text(text)) {
        ERR("no valid text to send");
        return nullptr;
    }
    return g_variant_new("(s)", text);
}

/* The integer of an "(i)" reply, logged as "result = [%d]" at @priority;
 * @failed when there is none. */
int read_answer(GVariant *reply, int failed, int priority) noexcept
{
    if (!has_type(reply, "(i)"))
        return failed;
    int answer = failed;
    g_variant_get(reply, "(i)", &answer);
    HALVO_LOG(priority, "result = [%d]", answer);
    return answer;
}

/* The builder's document, logged, as the "(s)" arguments of a call; NULL
 * when it cannot travel. */
GVariant *document_args(JsonBuilder *builder) noexcept
{
    char *text = nullptr;
    _halvo_api_convert_json_node_to_string(builder, &text);
    GString_ owned_text(text);
    INFO("%s", text ? text : "(null)");
    return text_tuple(text);
}

/* A string member, or JSON null for no string (json-glib's generator
 * cannot write a NULL string). */
void add_string_member(JsonBuilder *builder, const char *name, const char *value) noexcept
{
    json_builder_set_member_name(builder, name);
    if (value != nullptr)
        json_builder_add_string_value(builder, value);
    else
        json_builder_add_null_value(builder);
}

/* A JSON document that came as the text of an "(s)" reply. */
struct ReplyDocument {
    Object<JsonParser> parser{json_parser_new()};
    Object<JsonReader> reader;
};

/* Parses the text of @reply, logged at @priority.  False when the reply
 * carries no text; text that is no JSON gives an empty document, on
 * which every read finds nothing, and is noted as a bad reply (it counts
 * only when the operation fails). */
bool read_reply_text(GVariant *reply, int priority, ReplyDocument &doc) noexcept
{
    if (!has_type(reply, "(s)"))
        return false;
    const char *text = nullptr;
    g_variant_get(reply, "(&s)", &text);
    HALVO_LOG(priority, "%s", text);
    if (!halvo_json_parse(doc.parser.get(), text, -1))
        note_failure(HALVO_FAILURE_BAD_REPLY);
    doc.reader.reset(halvo_json_reader_new(doc.parser.get()));
    return true;
}

} // namespace

/* ------------------------------------------------------------------ */
/* Paired devices                                                      */
/* ------------------------------------------------------------------ */

/* Fills a new record from the device object the reader stands on and
 * stores it in *dev_info at once.  Anything but an object (a string, a
 * number, a member that was not there) gives a record whose members all
 * read as absent.  The type is left 0 for the caller to ask. */
static void __halvo_fill_device_info(halvo_device_info_s **dev_info, JsonReader *reader) noexcept
{
    ENTER();
    /* Cleared: every field has a value whatever the reply holds. */
    auto *info = static_cast<halvo_device_info_s *>(calloc(1, sizeof(halvo_device_info_s)));
    *dev_info = info;
    if (info == nullptr) {
        ERR("Failed memory allocation");
        EXIT();
        return;
    }
    /* Asked once, up front: after a failed entry json-glib holds an error,
     * and the first reader would clear it and read from the parent. */
    if (json_reader_is_object(reader)) {
        info->address = _bt_json_read_string_member(reader, "address");
        info->name = _bt_json_read_string_member(reader, "name");
        info->service_name = _bt_json_read_string_member(reader, "serviceName");
        info->provider_name = _bt_json_read_string_member(reader, "providerName");
        info->connected = _bt_json_read_boolean_member(reader, "connect");
        info->usedontuse = _bt_json_read_boolean_member(reader, "usedontuse");
        info->pid = _bt_json_read_int_member(reader, "pid");
        info->vid = _bt_json_read_int_member(reader, "vid");
        info->profile = _bt_json_read_int_member(reader, "profile");
    } else {
        info->pid = info->vid = info->profile = -1;
    }
    EXIT();
}

static void __halvo_free_paired_dev_info(halvo_device_info_s *dev_info) noexcept
{
    if (dev_info == nullptr) {
        ERR("dev_info is NULL");
        return;
    }
    ENTER();
    free(dev_info->address);
    dev_info->address = nullptr;
    free(dev_info->name);
    free(dev_info->service_name);
    free(dev_info->provider_name);
    free(dev_info);
    EXIT();
}

/* Held's release of a record, and of a list of them. */
static void free_device_record(gpointer dev_info) noexcept
{
    __halvo_free_paired_dev_info(static_cast<halvo_device_info_s *>(dev_info));
}

static void free_device_list(gpointer list) noexcept
{
    g_slist_free_full(static_cast<GSList *>(list), free_device_record);
}

/* Parses a device reply; false when it carries no text or "result" is not
 * true. */
static bool open_device_reply(GVariant *reply, ReplyDocument &doc) noexcept
{
    return read_reply_text(reply, HALVO_LOG_INFO, doc) && _bt_json_read_boolean_member(doc.reader.get(), "result");
}

/* The two halves of a type look-up, shared by halvo_get_device_type and
 * the device records.  The arguments that ask @address's type, or NULL
 * (logged) when the address or the output is missing or cannot travel. */
static GVariant *device_type_args(const char *address, const int *device_type) noexcept
{
    if (address == nullptr) {
        ERR("remote_address is NULL");
        return nullptr;
    }
    if (device_type == nullptr || !valid_text(address)) {
        ERR("no device_type, or remote_address is not UTF-8");
        return nullptr;
    }
    ENTER();
    return g_variant_new("(s)", address);
}

/* Reads the type reply into *@device_type; false, with nothing written,
 * when none came. */
static bool read_device_type(GVariant *reply, int *device_type) noexcept
{
    bool typed = has_type(reply, "(i)");
    if (typed) {
        int type = 0;
        g_variant_get(reply, "(i)", &type);
        DBG("result = [%d]", type);
        *device_type = type;
    }
    EXIT();
    return typed;
}

/* The record and its type share the operation's bound. */
static Op<int> get_paired_dev_info_op(const char *remote_address, halvo_device_info_s **dev_info)
{
    if (remote_address == nullptr) {
        ERR("remote_address is NULL");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    if (dev_info == nullptr) {
        ERR("dev_info is NULL");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    if (*dev_info != nullptr) {
        ERR("dev_info is not NULL, parameter should be NULL");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    if (!valid_text(remote_address)) {
        ERR("remote_address is not UTF-8");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    ENTER();
    Variant reply(co_await call("get_device_info", g_variant_new("(s)", remote_address), "(s)"));
    if (!reply) {
        ERR("Dbus failed");
        EXIT();
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    ReplyDocument doc;
    if (!open_device_reply(reply.get(), doc)) {
        ERR("no Paired device");
        EXIT();
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    halvo_device_info_s *info = nullptr;
    {
        /* "result" true without a device object carries no device. */
        MemberScope data(doc.reader.get(), "data");
        if (!data.entered() || !json_reader_is_object(doc.reader.get())) {
            ERR("no device data");
            note_failure(HALVO_FAILURE_BAD_REPLY);
            EXIT();
            co_return HALVO_ERROR_OPERATION_FAILED;
        }
        __halvo_fill_device_info(&info, doc.reader.get());
    }
    /* Owned by *dev_info before the type is asked. */
    *dev_info = info;
    if (GVariant *args = info ? device_type_args(info->address, &info->device_type) : nullptr) {
        Variant type_reply(co_await call("get_device_type", args, "(i)"));
        read_device_type(type_reply.get(), &info->device_type);
    }
    EXIT();
    co_return HALVO_ERROR_NONE;
}

int halvo_get_paired_dev_info(const char *remote_address, halvo_device_info_s **dev_info) noexcept
{
    return run_sync(get_paired_dev_info_op(remote_address, dev_info));
}

void halvo_get_paired_dev_info_async(const char *remote_address, GCancellable *cancellable,
                                     GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_get_paired_dev_info_async, cancellable, callback, user_data, [&](Held &held) {
        held.release = free_device_record;
        return get_paired_dev_info_op(remote_address, reinterpret_cast<halvo_device_info_s **>(&held.owned));
    });
}

int halvo_get_paired_dev_info_finish(GAsyncResult *result, halvo_device_info_s **dev_info) noexcept
{
    if (dev_info == nullptr || *dev_info != nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    return finish_async<int>(result, (void *)halvo_get_paired_dev_info_async, HALVO_ERROR_INVALID_PARAMETER,
                             HALVO_ERROR_CANCELLED, [&](Held &held) {
                                 *dev_info = static_cast<halvo_device_info_s *>(std::exchange(held.owned, nullptr));
                             });
}

/* The list and every device's type share one bound: once it has passed,
 * the remaining types are not asked for and read 0. */
static Op<int> get_paired_dev_info_list_op(GSList **list)
{
    if (list == nullptr) {
        ERR("list is NULL");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    if (*list != nullptr) {
        ERR("list is not NULL, parameter should be NULL");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    ENTER();
    Variant reply(co_await call("get_devices_info", nullptr, "(s)"));
    if (!reply) {
        ERR("Dbus failed or no Paired device");
        EXIT();
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    ReplyDocument doc;
    if (!open_device_reply(reply.get(), doc)) {
        ERR("no Paired device");
        EXIT();
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    JsonReader *reader = doc.reader.get();
    MemberScope data(reader, "data");
    MemberScope devices(reader, "Devices");
    /* Anything but an array of devices counts as none. */
    int count = devices.entered() && json_reader_is_array(reader) ? json_reader_count_elements(reader) : 0;
    ListAppender appender(list);
    for (int i = 0; i < count; i++) {
        halvo_device_info_s *info = nullptr;
        {
            MemberScope element(reader, guint(i));
            __halvo_fill_device_info(&info, reader);
        }
        /* In the list before its type is asked, so that it is freed with it. */
        appender.append(info);
        if (GVariant *args = info ? device_type_args(info->address, &info->device_type) : nullptr) {
            Variant type_reply(co_await call("get_device_type", args, "(i)"));
            read_device_type(type_reply.get(), &info->device_type);
        }
    }
    EXIT();
    co_return HALVO_ERROR_NONE;
}

int halvo_get_paired_dev_info_list(GSList **list) noexcept
{
    return run_sync(get_paired_dev_info_list_op(list));
}

void halvo_get_paired_dev_info_list_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                          gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_get_paired_dev_info_list_async, cancellable, callback, user_data,
                     [&](Held &held) {
                         held.release = free_device_list;
                         return get_paired_dev_info_list_op(reinterpret_cast<GSList **>(&held.owned));
                     });
}

int halvo_get_paired_dev_info_list_finish(GAsyncResult *result, GSList **list) noexcept
{
    if (list == nullptr || *list != nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    return finish_async<int>(result, (void *)halvo_get_paired_dev_info_list_async, HALVO_ERROR_INVALID_PARAMETER,
                             HALVO_ERROR_CANCELLED, [&](Held &held) {
                                 *list = static_cast<GSList *>(std::exchange(held.owned, nullptr));
                             });
}

static Op<int> get_device_type_op(const char *remote_address, int *device_type)
{
    GVariant *args = device_type_args(remote_address, device_type);
    if (args == nullptr)
        co_return HALVO_ERROR_INVALID_PARAMETER;
    Variant reply(co_await call("get_device_type", args, "(i)"));
    co_return read_device_type(reply.get(), device_type) ? HALVO_ERROR_NONE : HALVO_ERROR_OPERATION_FAILED;
}

int halvo_get_device_type(const char *remote_address, int *device_type) noexcept
{
    return run_sync(get_device_type_op(remote_address, device_type));
}

void halvo_get_device_type_async(const char *remote_address, GCancellable *cancellable,
                                 GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_get_device_type_async, cancellable, callback, user_data,
                     [&](Held &held) { return get_device_type_op(remote_address, &held.ints[0]); });
}

int halvo_get_device_type_finish(GAsyncResult *result, int *device_type) noexcept
{
    if (device_type == nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    int type = 0;
    int rc = finish_async<int>(result, (void *)halvo_get_device_type_async, HALVO_ERROR_INVALID_PARAMETER,
                               HALVO_ERROR_CANCELLED, [&](Held &held) { type = held.ints[0]; });
    /* Written only on success, as the blocking call does. */
    if (rc == HALVO_ERROR_NONE)
        *device_type = type;
    return rc;
}

int halvo_free_paired_dev_info(halvo_device_info_s *dev_info) noexcept
{
    if (dev_info == nullptr) {
        ERR("dev_info is NULL");
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    }
    ENTER();
    __halvo_free_paired_dev_info(dev_info);
    EXIT();
    return plain_result(HALVO_ERROR_NONE);
}

int halvo_free_paired_dev_info_list(GSList *list) noexcept
{
    if (list == nullptr) {
        ERR("List is NULL!!");
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    }
    ENTER();
    free_device_list(list);
    EXIT();
    return plain_result(HALVO_ERROR_NONE);
}

int get_size_of_halvo_device_info_s(void) noexcept
{
    return int(sizeof(halvo_device_info_s));
}

/* ------------------------------------------------------------------ */
/* Use / don't-use mark                                                */
/* ------------------------------------------------------------------ */

/* The document is built before the call, while the strings are at hand. */
static Op<bool> set_use_dontuse_status_op(const char *name, const char *address, bool usedontuse)
{
    /* NULL travels as JSON null; text that is not UTF-8 cannot travel. */
    if ((name != nullptr && !valid_text(name)) || (address != nullptr && !valid_text(address)))
        co_return false;
    Object<JsonBuilder> builder(json_builder_new());
    json_builder_begin_object(builder.get());
    add_string_member(builder.get(), "address", address);
    add_string_member(builder.get(), "name", name);
    /* The service keeps "may be used", the opposite sense. */
    json_builder_set_member_name(builder.get(), "status");
    json_builder_add_boolean_value(builder.get(), !usedontuse);
    json_builder_end_object(builder.get());
    GVariant *args = document_args(builder.get());
    if (args == nullptr)
        co_return false;
    Variant reply(co_await call("set_use_dontuse", args, "(i)"));
    co_return read_answer(reply.get(), 0, HALVO_LOG_INFO) == 1;
}

bool halvo_set_use_dontuse_status(const char *name, const char *address, bool usedontuse) noexcept
{
    return run_sync(set_use_dontuse_status_op(name, address, usedontuse));
}

void halvo_set_use_dontuse_status_async(const char *name, const char *address, bool usedontuse,
                                        GCancellable *cancellable, GAsyncReadyCallback callback,
                                        gpointer user_data) noexcept
{
    start_async<bool>((void *)halvo_set_use_dontuse_status_async, cancellable, callback, user_data,
                      [&](Held &) { return set_use_dontuse_status_op(name, address, usedontuse); });
}

bool halvo_set_use_dontuse_status_finish(GAsyncResult *result) noexcept
{
    return finish_async<bool>(result, (void *)halvo_set_use_dontuse_status_async, false, false);
}

/* The service's own status value, or -1 when the call fails. */
static Op<int> get_use_dontuse_status_op(const char *address)
{
    GVariant *args = text_tuple(address);
    if (args == nullptr) {
        note_failure(HALVO_FAILURE_INVALID_ARGUMENT);
        co_return -1;
    }
    Variant reply(co_await call("get_use_dontuse", args, "(i)"));
    int status = read_answer(reply.get(), -1, HALVO_LOG_INFO);
    if (status != -1)
        note_success();
    co_return status;
}

int halvo_get_use_dontuse_status(const char *address) noexcept
{
    return run_sync(get_use_dontuse_status_op(address));
}

void halvo_get_use_dontuse_status_async(const char *address, GCancellable *cancellable,
                                        GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_get_use_dontuse_status_async, cancellable, callback, user_data,
                     [&](Held &) { return get_use_dontuse_status_op(address); });
}

int halvo_get_use_dontuse_status_finish(GAsyncResult *result) noexcept
{
    return finish_async<int>(result, (void *)halvo_get_use_dontuse_status_async, -1, -1);
}

static Op<bool> remove_use_dontuse_status_op(const char *address)
{
    GVariant *args = text_tuple(address);
    if (args == nullptr)
        co_return false;
    Variant reply(co_await call("remove_use_donuse_info", args, "(i)"));
    co_return read_answer(reply.get(), 0, HALVO_LOG_DEBUG) == 1;
}

bool halvo_remove_use_dontuse_status(const char *address) noexcept
{
    return run_sync(remove_use_dontuse_status_op(address));
}

void halvo_remove_use_dontuse_status_async(const char *address, GCancellable *cancellable,
                                           GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<bool>((void *)halvo_remove_use_dontuse_status_async, cancellable, callback, user_data,
                      [&](Held &) { return remove_use_dontuse_status_op(address); });
}

bool halvo_remove_use_dontuse_status_finish(GAsyncResult *result) noexcept
{
    return finish_async<bool>(result, (void *)halvo_remove_use_dontuse_status_async, false, false);
}

/* Appends to whatever *list already holds. */
static Op<bool> get_dontuse_device_list_op(GSList **list)
{
    if (list == nullptr)
        co_return false;
    Variant reply(co_await call("get_dontuse_dev_list", nullptr, "(s)"));
    ReplyDocument doc;
    if (!read_reply_text(reply.get(), HALVO_LOG_DEBUG, doc))
        co_return false;
    JsonReader *reader = doc.reader.get();
    MemberScope devices(reader, "DontUseDevices");
    int count = devices.entered() && json_reader_is_array(reader) ? json_reader_count_elements(reader) : -1;
    INFO("# of devices : %d", count);
    ListAppender appender(list);
    for (int i = 0; i < count; i++) {
        /* Cleared: the fields the list does not carry stay zero or NULL. */
        auto *info = static_cast<halvo_device_info_s *>(calloc(1, sizeof(halvo_device_info_s)));
        if (info == nullptr)
            continue;
        {
            /* A member that is absent or no string stays NULL. */
            MemberScope element(reader, guint(i));
            info->name = _bt_json_read_string_member(reader, "name");
            INFO("name : %s", info->name ? info->name : "(null)");
            info->address = _bt_json_read_string_member(reader, "address");
            INFO("address : %s", info->address ? info->address : "(null)");
        }
        info->device_type = 0;
        info->usedontuse = true;
        appender.append(info);
    }
    co_return true;
}

bool halvo_get_dontuse_device_list(GSList **list) noexcept
{
    return run_sync(get_dontuse_device_list_op(list));
}

/* The devices gather in a list of their own, appended to the caller's by
 * _finish. */
void halvo_get_dontuse_device_list_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                         gpointer user_data) noexcept
{
    start_async<bool>((void *)halvo_get_dontuse_device_list_async, cancellable, callback, user_data,
                      [&](Held &held) {
                          held.release = free_device_list;
                          return get_dontuse_device_list_op(reinterpret_cast<GSList **>(&held.owned));
                      });
}

bool halvo_get_dontuse_device_list_finish(GAsyncResult *result, GSList **list) noexcept
{
    if (list == nullptr) {
        set_last_failure(HALVO_FAILURE_INVALID_ARGUMENT);
        return false;
    }
    return finish_async<bool>(result, (void *)halvo_get_dontuse_device_list_async, false, false,
                              [&](Held &held) { append_held_list(held, list); });
}

/* ------------------------------------------------------------------ */
/* Manufacturer data and custom commands                               */
/* ------------------------------------------------------------------ */

/* Method names: an application may point them elsewhere; each call reads
 * its name anew. */
const char *halvo_custom_command = "custom_command";
const char *halvo_write_manufacturer = "write_manufacturer_data";
const char *halvo_read_manufacturer = "read_manufacturer_data";
const char *halvo_read_specific_manufacturer = "read_specific_manufacturer_data";
const char *halvo_parse_manufacturer = "parse_manufacturer_data";

/* A copy of a method name the operation keeps: the application may point
 * the name elsewhere, and free the old one, while the call is out. */
static GString_ method_copy(const char *name) noexcept
{
    return GString_(g_strdup(name));
}

/* Exactly @length bytes of @data as "ay", bytes unchanged. */
static GVariant *byte_array(const char *data, int length) noexcept
{
    return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, data, gsize(length), 1);
}

/* Unpacks "(iiay)", or "(iiiay)" when @option is given, into the caller's
 * out-parameters.  The buffer holds the reported length plus a zero byte;
 * a negative length counts as 0, and a length beyond the bytes the reply
 * carries is cut to them.  False, with nothing written, when the reply has
 * another shape. */
static bool take_manufacturer_reply(GVariant *reply, int *result, int *option, char **out_data,
                                    int *out_length) noexcept
{
    if (!has_type(reply, option ? "(iiiay)" : "(iiay)"))
        return false;
    int ret = 0, reported = 0, value = 0;
    GVariant *bytes = nullptr;
    if (option != nullptr)
        g_variant_get(reply, "(iii@ay)", &ret, &reported, &value, &bytes);
    else
        g_variant_get(reply, "(ii@ay)", &ret, &reported, &bytes);
    Variant owned_bytes(bytes);
    INFO("ret = %d, length = %d", ret, reported);

    gsize length = reported > 0 ? gsize(reported) : 0;
    gsize carried = 0;
    const void *source = g_variant_get_fixed_array(bytes, &carried, 1);
    /* A length beyond the bytes that came would only hand out zeros, and a
     * service that claims two gigabytes would make us abort in g_malloc:
     * hand out what came. */
    if (length > carried) {
        WARN("reported length %d, but %zu bytes came", reported, carried);
        length = carried;
    }
    auto *buffer = static_cast<char *>(g_malloc(length + 1));
    if (source != nullptr)
        memcpy(buffer, source, length);
    buffer[length] = '\0';

    *result = ret;
    if (option != nullptr)
        *option = value;
    *out_data = buffer;
    *out_length = int(length);
    return true;
}

/* Hands over the buffer an _async read left in @held (ints: length, then
 * option), when the reply gave one; otherwise writes nothing. */
static void hand_over_bytes(Held &held, char **out_data, int *out_length, int *option = nullptr) noexcept
{
    if (held.text == nullptr)
        return;
    *out_data = std::exchange(held.text, nullptr);
    *out_length = held.ints[0];
    if (option != nullptr)
        *option = held.ints[1];
}

static Op<int> parse_manufacturer_data_op(int link_type, const char *data, int length, int option,
                                          char **out_data, int *out_length)
{
    GString_ method = method_copy(halvo_parse_manufacturer);
    if (data == nullptr || length < 1 || out_data == nullptr || out_length == nullptr || !valid_method(method.get()))
        co_return HALVO_ERROR_INVALID_PARAMETER;
    INFO("length = %d link_type = %d", length, link_type);
    Variant reply(co_await call(
        method.get(), g_variant_new("(iii@ay)", length, link_type, option, byte_array(data, length)), "(iiay)"));
    int result = 0;
    if (!take_manufacturer_reply(reply.get(), &result, nullptr, out_data, out_length)) {
        ERR("fail halvo_parse_manufacturer_data");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    co_return result;
}

int halvo_parse_manufacturer_data(int link_type, const char *data, int length, int option, char **out_data,
                                  int *out_length) noexcept
{
    return run_sync(parse_manufacturer_data_op(link_type, data, length, option, out_data, out_length));
}

void halvo_parse_manufacturer_data_async(int link_type, const char *data, int length, int option,
                                         GCancellable *cancellable, GAsyncReadyCallback callback,
                                         gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_parse_manufacturer_data_async, cancellable, callback, user_data,
                     [&](Held &held) {
                         return parse_manufacturer_data_op(link_type, data, length, option, &held.text,
                                                           &held.ints[0]);
                     });
}

int halvo_parse_manufacturer_data_finish(GAsyncResult *result, char **out_data, int *out_length) noexcept
{
    if (out_data == nullptr || out_length == nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    return finish_async<int>(result, (void *)halvo_parse_manufacturer_data_async, HALVO_ERROR_INVALID_PARAMETER,
                             HALVO_ERROR_CANCELLED,
                             [&](Held &held) { hand_over_bytes(held, out_data, out_length); });
}

static Op<int> read_specific_manufacturer_data_op(const char *address, int option, char **out_data,
                                                  int *out_length)
{
    GString_ method = method_copy(halvo_read_specific_manufacturer);
    if (!valid_text(address) || out_data == nullptr || out_length == nullptr || !valid_method(method.get()))
        co_return HALVO_ERROR_INVALID_PARAMETER;
    Variant reply(co_await call(method.get(), g_variant_new("(si)", address, option), "(iiay)"));
    int result = 0;
    if (!take_manufacturer_reply(reply.get(), &result, nullptr, out_data, out_length)) {
        ERR("fail halvo_read_specific_manufacturer_data");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    co_return result;
}

int halvo_read_specific_manufacturer_data(const char *address, int option, char **out_data,
                                          int *out_length) noexcept
{
    return run_sync(read_specific_manufacturer_data_op(address, option, out_data, out_length));
}

void halvo_read_specific_manufacturer_data_async(const char *address, int option, GCancellable *cancellable,
                                                 GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_read_specific_manufacturer_data_async, cancellable, callback, user_data,
                     [&](Held &held) {
                         return read_specific_manufacturer_data_op(address, option, &held.text, &held.ints[0]);
                     });
}

int halvo_read_specific_manufacturer_data_finish(GAsyncResult *result, char **out_data, int *out_length) noexcept
{
    if (out_data == nullptr || out_length == nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    return finish_async<int>(result, (void *)halvo_read_specific_manufacturer_data_async,
                             HALVO_ERROR_INVALID_PARAMETER, HALVO_ERROR_CANCELLED,
                             [&](Held &held) { hand_over_bytes(held, out_data, out_length); });
}

static Op<int> read_manufacturer_data_op(const char *address, int *option, char **out_data, int *out_length)
{
    GString_ method = method_copy(halvo_read_manufacturer);
    if (!valid_text(address) || option == nullptr || out_data == nullptr || out_length == nullptr ||
        !valid_method(method.get()))
        co_return HALVO_ERROR_INVALID_PARAMETER;
    Variant reply(co_await call(method.get(), g_variant_new("(s)", address), "(iiiay)"));
    int result = 0;
    if (!take_manufacturer_reply(reply.get(), &result, option, out_data, out_length)) {
        ERR("fail halvo_read_manufacturer_data");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    co_return result;
}

int halvo_read_manufacturer_data(const char *address, int *option, char **out_data, int *out_length) noexcept
{
    return run_sync(read_manufacturer_data_op(address, option, out_data, out_length));
}

void halvo_read_manufacturer_data_async(const char *address, GCancellable *cancellable,
                                        GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_read_manufacturer_data_async, cancellable, callback, user_data,
                     [&](Held &held) {
                         return read_manufacturer_data_op(address, &held.ints[1], &held.text, &held.ints[0]);
                     });
}

int halvo_read_manufacturer_data_finish(GAsyncResult *result, int *option, char **out_data,
                                        int *out_length) noexcept
{
    if (option == nullptr || out_data == nullptr || out_length == nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    return finish_async<int>(result, (void *)halvo_read_manufacturer_data_async, HALVO_ERROR_INVALID_PARAMETER,
                             HALVO_ERROR_CANCELLED,
                             [&](Held &held) { hand_over_bytes(held, out_data, out_length, option); });
}

static Op<int> write_manufacturer_data_op(const char *address, int link_type, const char *data, int length)
{
    GString_ method = method_copy(halvo_write_manufacturer);
    if (data == nullptr || length < 1 || !valid_text(address) || !valid_method(method.get()))
        co_return HALVO_ERROR_INVALID_PARAMETER;
    INFO("address = %s length = %d link_type = %d", address, length, link_type);
    Variant reply(co_await call(
        method.get(), g_variant_new("(iis@ay)", length, link_type, address, byte_array(data, length)), "(i)"));
    if (!reply) {
        ERR("fail halvo_write_manufacturer_data");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    int result = 0;
    g_variant_get(reply.get(), "(i)", &result);
    co_return result;
}

int halvo_write_manufacturer_data(const char *address, int link_type, const char *data, int length) noexcept
{
    return run_sync(write_manufacturer_data_op(address, link_type, data, length));
}

void halvo_write_manufacturer_data_async(const char *address, int link_type, const char *data, int length,
                                         GCancellable *cancellable, GAsyncReadyCallback callback,
                                         gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_write_manufacturer_data_async, cancellable, callback, user_data,
                     [&](Held &) { return write_manufacturer_data_op(address, link_type, data, length); });
}

int halvo_write_manufacturer_data_finish(GAsyncResult *result) noexcept
{
    return finish_async<int>(result, (void *)halvo_write_manufacturer_data_async, HALVO_ERROR_INVALID_PARAMETER,
                             HALVO_ERROR_CANCELLED);
}

static Op<int> send_custom_command_op(const char *command, char **response)
{
    ENTER();
    GString_ method = method_copy(halvo_custom_command);
    if (!valid_text(command) || response == nullptr || !valid_method(method.get()))
        co_return HALVO_ERROR_INVALID_PARAMETER;
    INFO("%s, %s", method.get(), command);
    Variant reply(co_await call(method.get(), g_variant_new("(s)", command), "(is)"));
    if (!reply) {
        ERR("fail halvo_send_custom_command");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    int result = 0;
    char *text = nullptr;
    g_variant_get(reply.get(), "(is)", &result, &text);
    *response = text;
    INFO("response : %s", text);
    EXIT();
    co_return result;
}

int halvo_send_custom_command(const char *command, char **response) noexcept
{
    return run_sync(send_custom_command_op(command, response));
}

void halvo_send_custom_command_async(const char *command, GCancellable *cancellable, GAsyncReadyCallback callback,
                                     gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_send_custom_command_async, cancellable, callback, user_data,
                     [&](Held &held) { return send_custom_command_op(command, &held.text); });
}

int halvo_send_custom_command_finish(GAsyncResult *result, char **response) noexcept
{
    if (response == nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    return finish_async<int>(result, (void *)halvo_send_custom_command_async, HALVO_ERROR_INVALID_PARAMETER,
                             HALVO_ERROR_CANCELLED, [&](Held &held) {
                                 /* Untouched when no response came, as the blocking call. */
                                 if (held.text != nullptr)
                                     *response = std::exchange(held.text, nullptr);
                             });
}

/* ------------------------------------------------------------------ */
/* Device-under-test mode                                              */
/* ------------------------------------------------------------------ */

static Op<bool> enter_bt_dut_mode_op()
{
    Variant reply(co_await call("enter_bt_dut_mode", nullptr, "(i)"));
    co_return read_answer(reply.get(), -1, HALVO_LOG_DEBUG) == 1;
}

bool halvo_enter_bt_dut_mode(void) noexcept
{
    return run_sync(enter_bt_dut_mode_op());
}

void halvo_enter_bt_dut_mode_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                   gpointer user_data) noexcept
{
    start_async<bool>((void *)halvo_enter_bt_dut_mode_async, cancellable, callback, user_data,
                      [&](Held &) { return enter_bt_dut_mode_op(); });
}

bool halvo_enter_bt_dut_mode_finish(GAsyncResult *result) noexcept
{
    return finish_async<bool>(result, (void *)halvo_enter_bt_dut_mode_async, false, false);
}

/* The document is built before the call, while the strings are at hand. */
static Op<bool> enter_bt_dut_mode_new_op(const char *test_side, const char *test_mode, int test_channel,
                                         int test_power)
{
    ENTER();
    if ((test_side != nullptr && !valid_text(test_side)) || (test_mode != nullptr && !valid_text(test_mode)))
        co_return false;
    Object<JsonBuilder> builder(json_builder_new());
    json_builder_begin_object(builder.get());
    add_string_member(builder.get(), "test_side", test_side);
    add_string_member(builder.get(), "test_mode", test_mode);
    json_builder_set_member_name(builder.get(), "test_channel");
    json_builder_add_int_value(builder.get(), gint64(test_channel));
    json_builder_set_member_name(builder.get(), "test_power");
    json_builder_add_int_value(builder.get(), gint64(test_power));
    json_builder_end_object(builder.get());
    GVariant *args = document_args(builder.get());
    if (args == nullptr)
        co_return false;
    Variant reply(co_await call("enter_bt_dut_mode_with_ui", args, "(i)"));
    co_return read_answer(reply.get(), -1, HALVO_LOG_INFO) == 1;
}

bool halvo_enter_bt_dut_mode_new(const char *test_side, const char *test_mode, int test_channel,
                                 int test_power) noexcept
{
    return run_sync(enter_bt_dut_mode_new_op(test_side, test_mode, test_channel, test_power));
}

void halvo_enter_bt_dut_mode_new_async(const char *test_side, const char *test_mode, int test_channel,
                                       int test_power, GCancellable *cancellable, GAsyncReadyCallback callback,
                                       gpointer user_data) noexcept
{
    start_async<bool>((void *)halvo_enter_bt_dut_mode_new_async, cancellable, callback, user_data, [&](Held &) {
        return enter_bt_dut_mode_new_op(test_side, test_mode, test_channel, test_power);
    });
}

bool halvo_enter_bt_dut_mode_new_finish(GAsyncResult *result) noexcept
{
    return finish_async<bool>(result, (void *)halvo_enter_bt_dut_mode_new_async, false, false);
}

static Op<bool> stop_bt_dut_mode_new_op()
{
    ENTER();
    Variant reply(co_await call("stop_bt_dut_mode", nullptr, "(i)"));
    co_return read_answer(reply.get(), -1, HALVO_LOG_INFO) == 1;
}

bool halvo_stop_bt_dut_mode_new(void) noexcept
{
    return run_sync(stop_bt_dut_mode_new_op());
}

void halvo_stop_bt_dut_mode_new_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                      gpointer user_data) noexcept
{
    start_async<bool>((void *)halvo_stop_bt_dut_mode_new_async, cancellable, callback, user_data,
                      [&](Held &) { return stop_bt_dut_mode_new_op(); });
}

bool halvo_stop_bt_dut_mode_new_finish(GAsyncResult *result) noexcept
{
    return finish_async<bool>(result, (void *)halvo_stop_bt_dut_mode_new_async, false, false);
}

/* ------------------------------------------------------------------ */
/* Remote-control firmware update                                      */
/* ------------------------------------------------------------------ */

/* Up to a minute.  The outcome of the update itself arrives later, in
 * g_zemo_update_result, while the library is initialised. */
static Op<const char *> update_zemo_fw_op()
{
    Variant reply(co_await update_call());
    if (!reply)
        co_return "NG";
    /* The update manager reports acceptance as 0; any other reply is "NG". */
    int result = 1;
    if (has_type(reply.get(), "(i)"))
        g_variant_get(reply.get(), "(i)", &result);
    else
        note_failure(HALVO_FAILURE_BAD_REPLY);
    DBG("result = [%d]", result);
    co_return result == 0 ? "OK" : "NG";
}

const char *halvo_update_zemo_fw(void) noexcept
{
    return run_sync(update_zemo_fw_op(), HALVO_UPDATE_TIMEOUT_MS);
}

void halvo_update_zemo_fw_async(GCancellable *cancellable, GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<const char *>(
        (void *)halvo_update_zemo_fw_async, cancellable, callback, user_data,
        [&](Held &) { return update_zemo_fw_op(); }, HALVO_UPDATE_TIMEOUT_MS);
}

const char *halvo_update_zemo_fw_finish(GAsyncResult *result) noexcept
{
    return finish_async<const char *>(result, (void *)halvo_update_zemo_fw_async, "NG", "NG");
}
