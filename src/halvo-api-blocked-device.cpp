/* halvo-api-blocked-device.cpp - the pairing-blocked device list.
 *
 * The service keeps the devices whose pairing is blocked in the store as
 * one JSON object, a member per device named after its address; an empty
 * text means none.  Unblocking removes the device's member.
 *
 * The walk's callback runs on the thread that walks: the caller's, or the
 * one that calls the non-blocking walk's _finish.  The store work of the
 * non-blocking calls runs on the library's store workers. */
#include "halvo-api-private.h"
#include "valko.h"

#include <cstring>

using namespace halvo_core;

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

/* Reads the stored document for a walk into *@text, left NULL when there
 * is nothing to walk. */
static Op<int> read_blocked_devices_op(halvo_blocked_device_cb callback, char **text)
{
    ENTER();
    if (callback == nullptr) {
        ERR("iteration callback is null");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    co_await on_worker();
    CString stored(valko_get_str(BLOCKED_DEVICES_KEY));
    if (!stored) {
        ERR("fail to get db/pellix/pairing_blocked_devices fail");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    if (stored.get()[0] == '\0') {
        INFO("no blocked devices");
        co_return HALVO_ERROR_NONE;
    }
    *text = stored.release();
    co_return HALVO_ERROR_NONE;
}

/* Walks @text (taken over; NULL walks nothing) after a successful read. */
static void walk_blocked_devices(char *text, halvo_blocked_device_cb callback, void *user_data) noexcept
{
    CString owned(text);
    if (!owned)
        return;
    __halvo_convert_valko_to_blocked_device_list(owned.get(), callback, user_data);
    /* The callback may have called the library: the walk, which
     * succeeded, is still this thread's last operation. */
    set_last_failure(HALVO_FAILURE_NONE);
}

int halvo_foreach_blocked_devices(halvo_blocked_device_cb callback, void *user_data) noexcept
{
    char *text = nullptr;
    int ret = run_sync(read_blocked_devices_op(callback, &text));
    walk_blocked_devices(text, callback, user_data);
    return ret;
}

/* What the walk in _finish calls, kept in the call's Held. */
struct Walker {
    halvo_blocked_device_cb callback;
    void *user_data;
};

void halvo_foreach_blocked_devices_async(halvo_blocked_device_cb device_callback, void *device_user_data,
                                         GCancellable *cancellable, GAsyncReadyCallback callback,
                                         gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_foreach_blocked_devices_async, cancellable, callback, user_data, [&](Held &held) {
        auto *walker = g_new(Walker, 1);
        *walker = {device_callback, device_user_data};
        held.owned = walker;
        held.release = g_free;
        return read_blocked_devices_op(device_callback, &held.text);
    });
}

int halvo_foreach_blocked_devices_finish(GAsyncResult *result) noexcept
{
    return finish_async<int>(result, (void *)halvo_foreach_blocked_devices_async, HALVO_ERROR_INVALID_PARAMETER,
                             HALVO_ERROR_CANCELLED, [](Held &held) {
                                 auto *walker = static_cast<Walker *>(held.owned);
                                 walk_blocked_devices(std::exchange(held.text, nullptr), walker->callback,
                                                      walker->user_data);
                             });
}

/* Unblocks one device.  Only the device's member (and one comma) leaves
 * the stored text, every other byte stays: json-glib would write other
 * members back altered.  When the address is not there the store is not
 * written. */
static Op<int> remove_pairing_blocked_devices_op(const char *address_arg)
{
    ENTER();
    if (address_arg == nullptr) {
        ERR("address is NULL");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    /* The caller's text may be gone once the rest runs on the worker. */
    GString_ address_copy(g_strdup(address_arg));
    const char *address = address_copy.get();
    /* Edits of the document take turns: two at once would both read the
     * same text, and the later write would undo the earlier. */
    DocTurn turn(BLOCKED_DEVICES_KEY);
    if (!co_await turn.take())
        co_return HALVO_ERROR_OPERATION_FAILED;
    co_await on_worker();
    CString text(valko_get_str(BLOCKED_DEVICES_KEY));
    if (!text) {
        ERR("fail to read valko");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    if (text.get()[0] == '\0') {
        INFO("no blocked devices");
        co_return HALVO_ERROR_NONE;
    }
    Object<JsonParser> parser(json_parser_new());
    halvo_json_parse(parser.get(), text.get(), -1);
    JsonNode *root = json_parser_get_root(parser.get());
    JsonObject *devices = (root != nullptr && JSON_NODE_HOLDS_OBJECT(root)) ? json_node_get_object(root) : nullptr;
    if (devices == nullptr || !json_object_has_member(devices, address)) {
        INFO("No members in device list");
        co_return HALVO_ERROR_NONE;
    }

    GString_ updated(halvo_json_splice(text.get(), &address, 1, nullptr));
    if (!updated) {
        ERR("cannot remove %s in place: the document is left as it is", address);
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    if (op_cancelled()) /* a cancelled call leaves the store as it was */
        co_return HALVO_ERROR_CANCELLED;
    /* Atomic in the store: a reader sees the old text or the new. */
    if (valko_set_str(BLOCKED_DEVICES_KEY, updated.get()) != 0) {
        ERR("fail to write valko");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    EXIT();
    co_return HALVO_ERROR_NONE;
}

int halvo_remove_pairing_blocked_devices(const char *address) noexcept
{
    return run_sync(remove_pairing_blocked_devices_op(address));
}

void halvo_remove_pairing_blocked_devices_async(const char *address, GCancellable *cancellable,
                                                GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_remove_pairing_blocked_devices_async, cancellable, callback, user_data,
                     [&](Held &) { return remove_pairing_blocked_devices_op(address); });
}

int halvo_remove_pairing_blocked_devices_finish(GAsyncResult *result) noexcept
{
    return finish_async<int>(result, (void *)halvo_remove_pairing_blocked_devices_async,
                             HALVO_ERROR_INVALID_PARAMETER, HALVO_ERROR_CANCELLED);
}
