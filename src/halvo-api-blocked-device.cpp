/* halvo-api-blocked-device.cpp - the pairing-blocked device list.
 *
 * The service keeps the devices whose pairing is blocked in the store as
 * one JSON object, a member per device named after its address; an empty
 * text means none.  Unblocking removes the device's member.
 *
 * Everything runs on the caller's thread, the walk's callback included. */
#include "halvo-api-private.h"
#include "valko.h"

#include <cstring>

using namespace halvo;

/* The key is spelled as the service writes it. */
#define BLOCKED_DEVICES_KEY "db/pellix/pairing_blocekd_devices"

/* Calls @callback for each blocked device of @text until it returns false.
 * The address is the member's name and is always there; a blocked device
 * without a string "name" is still reported, with an empty name, so that
 * the user can see it and unblock it. */
static void __halvo_convert_valko_to_blocked_device_list(const char *text, halvo_blocked_device_cb callback,
                                                         void *user_data) noexcept
{
    Object<JsonParser> parser(json_parser_new());
    halvo_json_parse(parser.get(), text, -1);
    Object<JsonReader> reader(halvo_json_reader_new(parser.get()));

    /* Text that does not parse, or a root that is not an object, blocks
     * nothing. */
    Strv members(json_reader_is_object(reader.get()) ? json_reader_list_members(reader.get()) : nullptr);
    for (gchar **member = members.get(); member != nullptr && *member != nullptr; member++) {
        INFO("%s", *member);
        /* The name comes from the object itself, so entering cannot fail;
         * the readers below leave the reader on the device on every path. */
        if (!json_reader_read_member(reader.get(), *member)) {
            json_reader_end_member(reader.get());
            continue;
        }
        bool go_on = true;
        if (_bt_json_read_boolean_member(reader.get(), "isBlocked")) {
            CString name(_bt_json_read_string_member(reader.get(), "name"));
            if (!name)
                name.reset(strdup(""));
            if (name)
                go_on = callback(*member, name.get(), user_data);
            else
                ERR("out of memory: %s is not reported", *member);
        }
        json_reader_end_member(reader.get());
        if (!go_on)
            break;
    }
    INFO("callback done");
    EXIT();
}

int halvo_foreach_blocked_devices(halvo_blocked_device_cb callback, void *user_data) noexcept
{
    ENTER();
    if (callback == nullptr) {
        ERR("iteration callback is null");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    CString text(valko_get_str(BLOCKED_DEVICES_KEY));
    if (!text) {
        ERR("fail to get db/pellix/pairing_blocked_devices fail");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    if (text.get()[0] == '\0') {
        INFO("no blocked devices");
        return HALVO_ERROR_NONE;
    }
    __halvo_convert_valko_to_blocked_device_list(text.get(), callback, user_data);
    return HALVO_ERROR_NONE;
}

/* Unblocks one device.  Only the device's member (and one comma) leaves
 * the stored text, every other byte stays: json-glib would write other
 * members back altered.  When the address is not there the store is not
 * written. */
int halvo_remove_pairing_blocked_devices(const char *address) noexcept
{
    ENTER();
    if (address == nullptr) {
        ERR("address is NULL");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    CString text(valko_get_str(BLOCKED_DEVICES_KEY));
    if (!text) {
        ERR("fail to read valko");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    if (text.get()[0] == '\0') {
        INFO("no blocked devices");
        return HALVO_ERROR_NONE;
    }
    Object<JsonParser> parser(json_parser_new());
    halvo_json_parse(parser.get(), text.get(), -1);
    JsonNode *root = json_parser_get_root(parser.get());
    JsonObject *devices = (root != nullptr && JSON_NODE_HOLDS_OBJECT(root)) ? json_node_get_object(root) : nullptr;
    if (devices == nullptr || !json_object_has_member(devices, address)) {
        INFO("No members in device list");
        return HALVO_ERROR_NONE;
    }

    GString_ updated(halvo_json_splice(text.get(), &address, 1, nullptr));
    if (!updated) {
        ERR("cannot remove %s in place: the document is left as it is", address);
        return HALVO_ERROR_OPERATION_FAILED;
    }
    /* Atomic in the store: a reader sees the old text or the new. */
    if (valko_set_str(BLOCKED_DEVICES_KEY, updated.get()) != 0) {
        ERR("fail to write valko");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    EXIT();
    return HALVO_ERROR_NONE;
}
