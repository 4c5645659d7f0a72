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

/* Calls @method with @args (NULL: no arguments) and returns the integer
 * of its "(i)" reply, logged as "result = [%d]" at @priority; @failed
 * when no reply or one of another type comes back. */
int call_for_answer(const char *method, GVariant *args, int failed, int priority) noexcept
{
    Variant reply(call_for(method, args, "(i)"));
    if (!reply)
        return failed;
    int answer = failed;
    g_variant_get(reply.get(), "(i)", &answer);
    HALVO_LOG(priority, "result = [%d]", answer);
    return answer;
}

/* Sends the builder's document as the text of "(s)" to @method: the
 * answer, or @answer when nothing came back. */
int send_document(const char *method, JsonBuilder *builder, int answer) noexcept
{
    char *text = nullptr;
    _halvo_api_convert_json_node_to_string(builder, &text);
    GString_ owned_text(text);
    INFO("%s", text ? text : "(null)");
    GVariant *args = text_tuple(text);
    return args ? call_for_answer(method, args, answer, HALVO_LOG_INFO) : answer;
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
 * which every read finds nothing. */
bool read_reply_text(GVariant *reply, int priority, ReplyDocument &doc) noexcept
{
    if (!has_type(reply, "(s)"))
        return false;
    const char *text = nullptr;
    g_variant_get(reply, "(&s)", &text);
    HALVO_LOG(priority, "%s", text);
    halvo_json_parse(doc.parser.get(), text, -1);
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
 * read as absent. */
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
    int device_type = 0;
    halvo_get_device_type(info->address, &device_type);
    info->device_type = device_type;
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

/* Parses a device reply; false when it carries no text or "result" is not
 * true. */
static bool open_device_reply(GVariant *reply, ReplyDocument &doc) noexcept
{
    return read_reply_text(reply, HALVO_LOG_INFO, doc) && _bt_json_read_boolean_member(doc.reader.get(), "result");
}

int halvo_get_paired_dev_info(const char *remote_address, halvo_device_info_s **dev_info) noexcept
{
    if (remote_address == nullptr) {
        ERR("remote_address is NULL");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    if (dev_info == nullptr) {
        ERR("dev_info is NULL");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    if (*dev_info != nullptr) {
        ERR("dev_info is not NULL, parameter should be NULL");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    if (!valid_text(remote_address)) {
        ERR("remote_address is not UTF-8");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    ENTER();
    /* The device's record and its type share one bound. */
    OperationTime time(HALVO_METHOD_TIMEOUT_MS);
    Variant reply(_halvo_api_send_method_call_sync("get_device_info", g_variant_new("(s)", remote_address)));
    if (!reply) {
        ERR("Dbus failed");
        EXIT();
        return HALVO_ERROR_OPERATION_FAILED;
    }
    ReplyDocument doc;
    if (!open_device_reply(reply.get(), doc)) {
        ERR("no Paired device");
        EXIT();
        return HALVO_ERROR_OPERATION_FAILED;
    }
    halvo_device_info_s *info = nullptr;
    {
        /* "result" true without a device object carries no device. */
        MemberScope data(doc.reader.get(), "data");
        if (!data.entered() || !json_reader_is_object(doc.reader.get())) {
            ERR("no device data");
            EXIT();
            return HALVO_ERROR_OPERATION_FAILED;
        }
        __halvo_fill_device_info(&info, doc.reader.get());
    }
    *dev_info = info;
    EXIT();
    return HALVO_ERROR_NONE;
}

int halvo_get_paired_dev_info_list(GSList **list) noexcept
{
    if (list == nullptr) {
        ERR("list is NULL");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    if (*list != nullptr) {
        ERR("list is not NULL, parameter should be NULL");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    ENTER();
    /* The list and every device's type share one bound: once it has passed,
     * the remaining types are not asked for and read 0. */
    OperationTime time(HALVO_METHOD_TIMEOUT_MS);
    Variant reply(_halvo_api_send_method_call_sync("get_devices_info", nullptr));
    if (!reply) {
        ERR("Dbus failed or no Paired device");
        EXIT();
        return HALVO_ERROR_OPERATION_FAILED;
    }
    ReplyDocument doc;
    if (!open_device_reply(reply.get(), doc)) {
        ERR("no Paired device");
        EXIT();
        return HALVO_ERROR_OPERATION_FAILED;
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
        appender.append(info);
    }
    EXIT();
    return HALVO_ERROR_NONE;
}

int halvo_get_device_type(const char *remote_address, int *device_type) noexcept
{
    if (remote_address == nullptr) {
        ERR("remote_address is NULL");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    if (device_type == nullptr || !valid_text(remote_address)) {
        ERR("no device_type, or remote_address is not UTF-8");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    ENTER();
    int result = HALVO_ERROR_OPERATION_FAILED;
    Variant reply(call_for("get_device_type", g_variant_new("(s)", remote_address), "(i)"));
    if (reply) {
        int type = 0;
        g_variant_get(reply.get(), "(i)", &type);
        DBG("result = [%d]", type);
        *device_type = type;
        result = HALVO_ERROR_NONE;
    }
    EXIT();
    return result;
}

int halvo_free_paired_dev_info(halvo_device_info_s *dev_info) noexcept
{
    if (dev_info == nullptr) {
        ERR("dev_info is NULL");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    ENTER();
    __halvo_free_paired_dev_info(dev_info);
    EXIT();
    return HALVO_ERROR_NONE;
}

int halvo_free_paired_dev_info_list(GSList *list) noexcept
{
    if (list == nullptr) {
        ERR("List is NULL!!");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    ENTER();
    g_slist_free_full(list, [](gpointer data) {
        __halvo_free_paired_dev_info(static_cast<halvo_device_info_s *>(data));
    });
    EXIT();
    return HALVO_ERROR_NONE;
}

int get_size_of_halvo_device_info_s(void) noexcept
{
    return int(sizeof(halvo_device_info_s));
}

/* ------------------------------------------------------------------ */
/* Use / don't-use mark                                                */
/* ------------------------------------------------------------------ */

bool halvo_set_use_dontuse_status(const char *name, const char *address, bool usedontuse) noexcept
{
    /* NULL travels as JSON null; text that is not UTF-8 cannot travel. */
    if ((name != nullptr && !valid_text(name)) || (address != nullptr && !valid_text(address)))
        return false;
    Object<JsonBuilder> builder(json_builder_new());
    json_builder_begin_object(builder.get());
    add_string_member(builder.get(), "address", address);
    add_string_member(builder.get(), "name", name);
    /* The service keeps "may be used", the opposite sense. */
    json_builder_set_member_name(builder.get(), "status");
    json_builder_add_boolean_value(builder.get(), !usedontuse);
    json_builder_end_object(builder.get());
    return send_document("set_use_dontuse", builder.get(), 0) == 1;
}

/* The service's own status value, or -1 when the call fails. */
int halvo_get_use_dontuse_status(const char *address) noexcept
{
    GVariant *args = text_tuple(address);
    return args ? call_for_answer("get_use_dontuse", args, -1, HALVO_LOG_INFO) : -1;
}

bool halvo_remove_use_dontuse_status(const char *address) noexcept
{
    GVariant *args = text_tuple(address);
    return args != nullptr && call_for_answer("remove_use_donuse_info", args, 0, HALVO_LOG_DEBUG) == 1;
}

/* Appends to whatever *list already holds. */
bool halvo_get_dontuse_device_list(GSList **list) noexcept
{
    if (list == nullptr)
        return false;
    Variant reply(_halvo_api_send_method_call_sync("get_dontuse_dev_list", nullptr));
    ReplyDocument doc;
    if (!read_reply_text(reply.get(), HALVO_LOG_DEBUG, doc))
        return false;
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
    return true;
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

int halvo_parse_manufacturer_data(int link_type, const char *data, int length, int option, char **out_data,
                                  int *out_length) noexcept
{
    if (data == nullptr || length < 1 || out_data == nullptr || out_length == nullptr ||
        !valid_method(halvo_parse_manufacturer))
        return HALVO_ERROR_INVALID_PARAMETER;
    INFO("length = %d link_type = %d", length, link_type);
    Variant reply(_halvo_api_send_method_call_sync(
        halvo_parse_manufacturer, g_variant_new("(iii@ay)", length, link_type, option, byte_array(data, length))));
    int result = 0;
    if (!take_manufacturer_reply(reply.get(), &result, nullptr, out_data, out_length)) {
        ERR("fail halvo_parse_manufacturer_data");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    return result;
}

int halvo_read_specific_manufacturer_data(const char *address, int option, char **out_data,
                                          int *out_length) noexcept
{
    if (!valid_text(address) || out_data == nullptr || out_length == nullptr ||
        !valid_method(halvo_read_specific_manufacturer))
        return HALVO_ERROR_INVALID_PARAMETER;
    Variant reply(
        _halvo_api_send_method_call_sync(halvo_read_specific_manufacturer, g_variant_new("(si)", address, option)));
    int result = 0;
    if (!take_manufacturer_reply(reply.get(), &result, nullptr, out_data, out_length)) {
        ERR("fail halvo_read_specific_manufacturer_data");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    return result;
}

int halvo_read_manufacturer_data(const char *address, int *option, char **out_data, int *out_length) noexcept
{
    if (!valid_text(address) || option == nullptr || out_data == nullptr || out_length == nullptr ||
        !valid_method(halvo_read_manufacturer))
        return HALVO_ERROR_INVALID_PARAMETER;
    Variant reply(_halvo_api_send_method_call_sync(halvo_read_manufacturer, g_variant_new("(s)", address)));
    int result = 0;
    if (!take_manufacturer_reply(reply.get(), &result, option, out_data, out_length)) {
        ERR("fail halvo_read_manufacturer_data");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    return result;
}

int halvo_write_manufacturer_data(const char *address, int link_type, const char *data, int length) noexcept
{
    if (data == nullptr || length < 1 || !valid_text(address) || !valid_method(halvo_write_manufacturer))
        return HALVO_ERROR_INVALID_PARAMETER;
    INFO("address = %s length = %d link_type = %d", address, length, link_type);
    Variant reply(call_for(halvo_write_manufacturer,
                           g_variant_new("(iis@ay)", length, link_type, address, byte_array(data, length)), "(i)"));
    if (!reply) {
        ERR("fail halvo_write_manufacturer_data");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    int result = 0;
    g_variant_get(reply.get(), "(i)", &result);
    return result;
}

int halvo_send_custom_command(const char *command, char **response) noexcept
{
    ENTER();
    if (!valid_text(command) || response == nullptr || !valid_method(halvo_custom_command))
        return HALVO_ERROR_INVALID_PARAMETER;
    INFO("%s, %s", halvo_custom_command, command);
    Variant reply(call_for(halvo_custom_command, g_variant_new("(s)", command), "(is)"));
    if (!reply) {
        ERR("fail halvo_send_custom_command");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    int result = 0;
    char *text = nullptr;
    g_variant_get(reply.get(), "(is)", &result, &text);
    *response = text;
    INFO("response : %s", text);
    EXIT();
    return result;
}

/* ------------------------------------------------------------------ */
/* Device-under-test mode                                              */
/* ------------------------------------------------------------------ */

bool halvo_enter_bt_dut_mode(void) noexcept
{
    return call_for_answer("enter_bt_dut_mode", nullptr, -1, HALVO_LOG_DEBUG) == 1;
}

bool halvo_enter_bt_dut_mode_new(const char *test_side, const char *test_mode, int test_channel,
                                 int test_power) noexcept
{
    ENTER();
    if ((test_side != nullptr && !valid_text(test_side)) || (test_mode != nullptr && !valid_text(test_mode)))
        return false;
    Object<JsonBuilder> builder(json_builder_new());
    json_builder_begin_object(builder.get());
    add_string_member(builder.get(), "test_side", test_side);
    add_string_member(builder.get(), "test_mode", test_mode);
    json_builder_set_member_name(builder.get(), "test_channel");
    json_builder_add_int_value(builder.get(), gint64(test_channel));
    json_builder_set_member_name(builder.get(), "test_power");
    json_builder_add_int_value(builder.get(), gint64(test_power));
    json_builder_end_object(builder.get());
    return send_document("enter_bt_dut_mode_with_ui", builder.get(), -1) == 1;
}

bool halvo_stop_bt_dut_mode_new(void) noexcept
{
    ENTER();
    return call_for_answer("stop_bt_dut_mode", nullptr, -1, HALVO_LOG_INFO) == 1;
}

/* ------------------------------------------------------------------ */
/* Remote-control firmware update                                      */
/* ------------------------------------------------------------------ */

/* Blocks for up to a minute.  The outcome of the update itself arrives
 * later, in g_zemo_update_result, while the library is initialised. */
const char *halvo_update_zemo_fw(void) noexcept
{
    Variant reply(_halvo_api_request_zemo_update());
    if (!reply)
        return "NG";
    /* The update manager reports acceptance as 0; any other reply is "NG". */
    int result = 1;
    if (has_type(reply.get(), "(i)"))
        g_variant_get(reply.get(), "(i)", &result);
    DBG("result = [%d]", result);
    return result == 0 ? "OK" : "NG";
}
