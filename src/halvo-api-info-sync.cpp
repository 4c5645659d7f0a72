/* halvo-api-info-sync.cpp - the info-sync device list.
 *
 * Another component keeps the synchronised devices in the store as one
 * JSON object, a member per device.  Deleting a device on the television
 * only marks it: the member stays in the document with "deleted_on_tv"
 * true and is left out of every list read afterwards.
 *
 * The blocking calls run on the caller's thread; the store work of the
 * non-blocking ones on the library's store workers. */
#include "halvo-api-private.h"
#include "valko.h"

#include <cstring>

using namespace halvo_core;

#define INFO_SYNC_DEVICES_KEY "db/com.marlox.tv.bt-rilomanager/btinfosync/devices"

static void __halvo_free_info_sync_device(gpointer data) noexcept
{
    auto *device = static_cast<info_sync_device_t *>(data);
    if (device == nullptr)
        return;
    free(device->address);
    free(device->name);
    free(device);
}

static void free_devices(gpointer list) noexcept
{
    g_slist_free_full(static_cast<GSList *>(list), __halvo_free_info_sync_device);
}

/* A record for the device the reader stands on, or NULL to leave it out.
 * The address is the device's identity: without a string "address" the
 * device is skipped.  The name only labels it: without a string "name" the
 * device is kept with an empty name, so no field of a record is ever NULL. */
static info_sync_device_t *new_device(JsonReader *reader) noexcept
{
    CString address(_bt_json_read_string_member(reader, "address"));
    if (!address) {
        WARN("device without an address is skipped");
        return nullptr;
    }
    CString name(_bt_json_read_string_member(reader, "name"));
    if (!name)
        name.reset(strdup(""));
    auto *device = static_cast<info_sync_device_t *>(calloc(1, sizeof(info_sync_device_t)));
    if (device == nullptr || !name) {
        ERR("out of memory: device %s is skipped", address.get());
        free(device);
        return nullptr;
    }
    device->address = address.release();
    device->name = name.release();
    return device;
}

/* Appends the devices of @text that are not deleted to *list. */
static void __halvo_convert_valko_to_list(const char *text, GSList **list) noexcept
{
    ENTER();
    Object<JsonParser> parser(json_parser_new());
    halvo_json_parse(parser.get(), text, -1);
    Object<JsonReader> reader(halvo_json_reader_new(parser.get()));

    /* Text that does not parse, or a root that is not an object, holds no
     * devices. */
    Strv members(json_reader_is_object(reader.get()) ? json_reader_list_members(reader.get()) : nullptr);
    ListAppender appender(list);
    for (gchar **member = members.get(); member != nullptr && *member != nullptr; member++) {
        /* The name comes from the object itself, so entering cannot fail;
         * the readers below leave the reader on the device on every path. */
        if (!json_reader_read_member(reader.get(), *member)) {
            json_reader_end_member(reader.get());
            continue;
        }
        if (!_bt_json_read_boolean_member(reader.get(), "deleted_on_tv")) {
            info_sync_device_t *device = new_device(reader.get());
            if (device != nullptr) {
                appender.append(device);
                INFO("added %s(%s)", device->address, device->name);
            }
        }
        json_reader_end_member(reader.get());
    }
    INFO("added done");
    EXIT();
}

static Op<int> get_info_sync_devices_op(GSList **list)
{
    ENTER();
    if (list == nullptr) {
        ERR("List is NULL!!");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    co_await on_worker();
    /* On failure the caller's list stays as it was: it may already hold
     * records, which must not be lost. */
    CString text(valko_get_str(INFO_SYNC_DEVICES_KEY));
    if (!text) {
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    __halvo_convert_valko_to_list(text.get(), list);
    co_return HALVO_ERROR_NONE;
}

int halvo_get_info_sync_devices(GSList **list) noexcept
{
    return run_sync(get_info_sync_devices_op(list));
}

void halvo_get_info_sync_devices_async(GCancellable *cancellable, GAsyncReadyCallback callback,
                                       gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_get_info_sync_devices_async, cancellable, callback, user_data, [&](Held &held) {
        held.release = free_devices;
        return get_info_sync_devices_op((GSList **)&held.owned);
    });
}

/* Appends, as the blocking call does. */
int halvo_get_info_sync_devices_finish(GAsyncResult *result, GSList **list) noexcept
{
    return finish_list(result, (void *)halvo_get_info_sync_devices_async, list);
}

int halvo_free_info_sync_devices(GSList **list) noexcept
{
    if (list == nullptr || *list == nullptr) {
        ERR("List is NULL!!");
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    }
    ENTER();
    free_devices(*list);
    *list = nullptr;
    EXIT();
    return plain_result(HALVO_ERROR_NONE);
}

/* Marks one device deleted.  Only the mark's bytes change in the stored
 * text: json-glib would write other members back altered (integers past
 * 64 bits, 1e400), so the document is edited in place or not at all.  When
 * nothing would change the store is not written. */
static Op<int> remove_info_sync_device_op(const char *key_arg)
{
    ENTER();
    if (key_arg == nullptr) {
        ERR("key is NULL");
        co_return HALVO_ERROR_INVALID_PARAMETER;
    }
    /* The caller's text may be gone once the rest runs on the worker. */
    GString_ key_copy(g_strdup(key_arg));
    const char *key = key_copy.get();
    /* Edits of the document take turns: two at once would both read the
     * same text, and the later write would undo the earlier. */
    DocTurn turn(INFO_SYNC_DEVICES_KEY);
    if (!co_await turn.take())
        co_return HALVO_ERROR_OPERATION_FAILED;
    co_await on_worker();
    CString text(valko_get_str(INFO_SYNC_DEVICES_KEY));
    if (!text) {
        ERR("fail to read valko");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    Object<JsonParser> parser(json_parser_new());
    halvo_json_parse(parser.get(), text.get(), -1);
    JsonNode *root = json_parser_get_root(parser.get());
    JsonObject *devices = (root != nullptr && JSON_NODE_HOLDS_OBJECT(root)) ? json_node_get_object(root) : nullptr;
    JsonNode *device = devices ? json_object_get_member(devices, key) : nullptr;
    if (device == nullptr) {
        INFO("No members in device list");
        co_return HALVO_ERROR_NONE;
    }
    if (!JSON_NODE_HOLDS_OBJECT(device)) {
        WARN("device %s is not an object: left as it is", key);
        co_return HALVO_ERROR_NONE;
    }
    JsonNode *mark = json_object_get_member(json_node_get_object(device), "deleted_on_tv");
    if (mark != nullptr && JSON_NODE_HOLDS_VALUE(mark) && json_node_get_value_type(mark) == G_TYPE_BOOLEAN &&
        json_node_get_boolean(mark)) {
        INFO("%s is already deleted on tv", key);
        co_return HALVO_ERROR_NONE;
    }

    INFO("mark %s as deleted on tv", key);
    const char *const path[] = {key, "deleted_on_tv"};
    GString_ updated(halvo_json_splice(text.get(), path, 2, "true"));
    if (!updated) {
        ERR("cannot mark %s in place: the document is left as it is", key);
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    if (op_cancelled()) /* a cancelled call leaves the store as it was */
        co_return HALVO_ERROR_CANCELLED;
    /* Atomic in the store: a reader sees the old text or the new. */
    if (valko_set_str(INFO_SYNC_DEVICES_KEY, updated.get()) != 0) {
        ERR("fail to write valko");
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    EXIT();
    co_return HALVO_ERROR_NONE;
}

int halvo_remove_info_sync_device(const char *key) noexcept
{
    return run_sync(remove_info_sync_device_op(key));
}

void halvo_remove_info_sync_device_async(const char *key, GCancellable *cancellable, GAsyncReadyCallback callback,
                                         gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_remove_info_sync_device_async, cancellable, callback, user_data,
                     [&](Held &) { return remove_info_sync_device_op(key); });
}

int halvo_remove_info_sync_device_finish(GAsyncResult *result) noexcept
{
    return finish_async<int>(result, (void *)halvo_remove_info_sync_device_async, HALVO_ERROR_INVALID_PARAMETER,
                             HALVO_ERROR_CANCELLED);
}

int get_size_of_info_sync_device_t(void) noexcept
{
    return int(sizeof(info_sync_device_t));
}
