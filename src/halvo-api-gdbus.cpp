/* halvo-api-gdbus.cpp - the system-bus connection, the method-call
 * transport, the signal tables and their subscriptions, emission, and the
 * update-manager request.
 *
 * Nothing here takes a lock: the connection cache and the subscription ids
 * are plain globals, set up and torn down on the application's thread. */
#include "halvo-api-private.h"

#include <cstring>

using namespace halvo;

/* The shared connection: one reference owned by the library, or NULL. */
static GDBusConnection *g_system_con = nullptr;

halvo_signal_info_s inter_signal_info[HALVO_INTERNAL_SIGNAL_COUNT] = {
    {0, HALVO_SIGNAL_INTERFACE, HALVO_SIGNAL_PATH, "bt_spk_info_changed"},
    {0, HALVO_SIGNAL_INTERFACE, HALVO_SIGNAL_PATH, "last_connecting_status_changed"},
    {0, HALVO_SIGNAL_INTERFACE, HALVO_SIGNAL_PATH, "bt_spk_volume_changed_by_address"},
    {0, HALVO_SIGNAL_INTERFACE, HALVO_SIGNAL_PATH, "bt_spk_volume_controlable_changed_by_address"},
    {0, HALVO_SIGNAL_INTERFACE, HALVO_SIGNAL_PATH, "tuvo_swtiching_connection_state_changed"},
};

halvo_signal_info_s signal_info[HALVO_PUBLIC_SIGNAL_COUNT] = {
    {0, HALVO_SIGNAL_INTERFACE, HALVO_SIGNAL_PATH, "zemo_fw_update_result"},
};

/* Where the library's own signal comes from. */
#define HALVO_EMIT_PATH "/org/velmo/halvo-api"
#define HALVO_EMIT_INTERFACE "org.velmo.halvo-api.signal"

GDBusConnection *__halvo_api_get_system_connection(void) noexcept
{
    /* A connection the bus daemon has dropped is of no more use: forget it
     * (GIO forgets its singleton too) and get a new one. */
    if (g_system_con != nullptr && g_dbus_connection_is_closed(g_system_con))
        g_clear_object(&g_system_con);
    if (g_system_con != nullptr)
        return g_system_con;

    Error error;
    g_system_con = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, out(error));
    if (g_system_con == nullptr) {
        if (error)
            ERR("g_bus_get_sync fail, reason: %s", error->message);
        return nullptr;
    }
    /* GIO hands out its dead shared connection again until the main
     * context has run the connection's close notification; subscribing on
     * it would raise a critical.  It is no connection. */
    if (g_dbus_connection_is_closed(g_system_con)) {
        ERR("g_bus_get_sync fail, reason: %s", "the connection is closed");
        g_clear_object(&g_system_con);
        return nullptr;
    }
    /* A library must not end the application when the bus goes away. */
    g_dbus_connection_set_exit_on_close(g_system_con, FALSE);
    return g_system_con;
}

int _halvo_api_init_gdbus(void) noexcept
{
    _halvo_api_subscribe_signal(HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT, nullptr);
    return HALVO_ERROR_NONE;
}

int _halvo_api_deinit_gdbus(void) noexcept
{
    _halvo_api_unsubscribe_signal(HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT);
    /* The internal rows belong to their set and unset operations, not to
     * initialisation, and a subscription dies with its connection: while
     * one is subscribed, the connection stays. */
    for (const halvo_signal_info_s &row : inter_signal_info)
        if (row.subscription_id != 0)
            return HALVO_ERROR_NONE;
    g_clear_object(&g_system_con);
    return HALVO_ERROR_NONE;
}

/* Sends @message and waits for its reply.  An error reply, from the service
 * or from the bus daemon, counts as a failed call: logged, NULL. */
static GDBusMessage *send_with_reply(GDBusConnection *connection, GDBusMessage *message, int timeout_ms) noexcept
{
    Error error;
    GDBusMessage *reply = g_dbus_connection_send_message_with_reply_sync(
        connection, message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, timeout_ms, nullptr, nullptr, out(error));
    if (reply == nullptr) {
        ERR("GDbus error : %s", error ? error->message : "no reply");
        return nullptr;
    }
    if (g_dbus_message_get_message_type(reply) == G_DBUS_MESSAGE_TYPE_ERROR) {
        Error reply_error;
        g_dbus_message_to_gerror(reply, out(reply_error));
        ERR("GDbus error : %s", reply_error ? reply_error->message : "error reply");
        g_object_unref(reply);
        return nullptr;
    }
    return reply;
}

/* The reply body outlives the message: it is immutable, so a reference is
 * as good as a copy and costs nothing. */
static GVariant *take_body(GDBusMessage *reply) noexcept
{
    GVariant *body = g_dbus_message_get_body(reply);
    /* Every method of the service answers with values: a reply without any
     * carries no answer, and reads as a failed call rather than as the
     * preset (often 0, success) of a reply of another shape. */
    if (body != nullptr)
        g_variant_ref(body);
    else
        ERR("GDbus error : %s", "the reply carries no values");
    g_object_unref(reply);
    return body;
}

GVariant *_halvo_api_send_method_call_sync(const char *method, GVariant *args) noexcept
{
    /* The argument is ours from here on, whatever happens. */
    Variant owned_args(args ? g_variant_ref_sink(args) : nullptr);
    if (method == nullptr || !g_dbus_is_member_name(method)) {
        ERR("GDbus error : invalid method name %s", method ? method : "(null)");
        return nullptr;
    }
    Object<GDBusMessage> message(
        g_dbus_message_new_method_call(HALVO_SERVICE_NAME, HALVO_SERVICE_PATH, HALVO_SERVICE_INTERFACE, method));
    if (owned_args) {
        if (!g_variant_is_of_type(owned_args.get(), G_VARIANT_TYPE_TUPLE)) {
            ERR("GDbus error : arguments of %s are not a tuple", method);
            return nullptr;
        }
        g_dbus_message_set_body(message.get(), owned_args.get());
    }

    GDBusConnection *connection = __halvo_api_get_system_connection();
    if (connection == nullptr)
        return nullptr;

    GDBusMessage *reply = send_with_reply(connection, message.get(), HALVO_METHOD_TIMEOUT_MS);
    return reply ? take_body(reply) : nullptr;
}

GVariant *_halvo_api_request_zemo_update(void) noexcept
{
    Object<GDBusMessage> message(
        g_dbus_message_new_method_call(HALVO_UPDATE_NAME, HALVO_UPDATE_PATH, HALVO_UPDATE_INTERFACE, "ZEMOFW"));
    GDBusConnection *connection = __halvo_api_get_system_connection();
    if (connection == nullptr)
        return nullptr;

    GDBusMessage *reply = send_with_reply(connection, message.get(), HALVO_UPDATE_TIMEOUT_MS);
    if (reply == nullptr)
        return nullptr;
    GVariant *body = take_body(reply);

    /* The update manager is told we are done with it; nobody waits for that. */
    Object<GDBusMessage> bye(
        g_dbus_message_new_method_call(HALVO_UPDATE_NAME, HALVO_UPDATE_PATH, HALVO_UPDATE_INTERFACE, "EXIT"));
    g_dbus_message_set_flags(bye.get(), G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    g_dbus_connection_send_message(connection, bye.get(), G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
    return body;
}

/* Subscribes row @row with @handler; @interface_name filters when set. */
static int subscribe_row(halvo_signal_info_s &row, const char *interface_name, GDBusSignalCallback handler,
                         void *user_data) noexcept
{
    if (row.subscription_id != 0) {
        INFO("same signal is already subscribed");
        return HALVO_ERROR_NONE;
    }
    GDBusConnection *connection = __halvo_api_get_system_connection();
    if (connection == nullptr) {
        ERR("fail to get dbus connection for signal");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    row.subscription_id = g_dbus_connection_signal_subscribe(connection, nullptr, interface_name, row.signal_name,
                                                             row.object_path, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                             handler, user_data, nullptr);
    if (row.subscription_id == 0) {
        ERR("fail to subscribe signal");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    EXIT();
    return HALVO_ERROR_NONE;
}

static int unsubscribe_row(halvo_signal_info_s &row) noexcept
{
    if (row.subscription_id == 0) {
        ERR("this signal was not subcribed.");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    GDBusConnection *connection = __halvo_api_get_system_connection();
    if (connection == nullptr) {
        ERR("fail to get dbus connection for signal");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    g_dbus_connection_signal_unsubscribe(connection, row.subscription_id);
    row.subscription_id = 0;
    return HALVO_ERROR_NONE;
}

int _halvo_api_subscribe_signal(int index, void *user_data) noexcept
{
    ENTER();
    if (index < 0 || index >= HALVO_PUBLIC_SIGNAL_COUNT) {
        ERR("no such signal: %d", index);
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    halvo_signal_info_s &row = signal_info[index];
    DBG("signal : %d, signal_info : %d, signal : %s", index, row.subscription_id, row.signal_name);
    return subscribe_row(row, row.interface_name, __halvo_api_handle_recieved_signal_cb, user_data);
}

int _halvo_api_unsubscribe_signal(int index) noexcept
{
    if (index < 0 || index >= HALVO_PUBLIC_SIGNAL_COUNT) {
        ERR("no such signal: %d", index);
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    return unsubscribe_row(signal_info[index]);
}

int _halvo_api_subscribe_internal_signal(int index, GDBusSignalCallback handler, void *user_data) noexcept
{
    ENTER();
    if (index < 0 || index >= HALVO_INTERNAL_SIGNAL_COUNT || handler == nullptr) {
        ERR("no such signal or no handler: %d", index);
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    /* Internal rows filter on member and path only. */
    return subscribe_row(inter_signal_info[index], nullptr, handler, user_data);
}

int _halvo_api_unsubscribe_internal_signal(int index) noexcept
{
    if (index < 0 || index >= HALVO_INTERNAL_SIGNAL_COUNT) {
        ERR("no such signal: %d", index);
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    return unsubscribe_row(inter_signal_info[index]);
}

/* Runs in the main context of the thread that called halvo_initialize(). */
void __halvo_api_handle_recieved_signal_cb(GDBusConnection *, const gchar *, const gchar *, const gchar *,
                                           const gchar *signal_name, GVariant *parameters, gpointer) noexcept
{
    INFO("signal %s recieved", signal_name ? signal_name : "(null)");
    int event = HALVO_EVENT_NONE;
    if (signal_name != nullptr &&
        strcmp(signal_name, signal_info[HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT].signal_name) == 0)
        event = HALVO_EVENT_ZEMO_FW_UPDATE_RESULT;
    _halvo_event_handler(event, parameters);
}

int _halvo_api_emit_signal(const char *destination, const char *signal_name, GVariant *params) noexcept
{
    ENTER();
    /* The parameters are ours to release on every path, as GDBus would. */
    Variant owned(params ? g_variant_ref_sink(params) : nullptr);

    GDBusConnection *connection = __halvo_api_get_system_connection();
    if (connection == nullptr) {
        ERR("fail to get dbus connection for signal");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    /* GDBus refuses invalid names with a critical and no error; say why here
     * instead.  The library's own path and interface carry hyphens, which
     * D-Bus does not allow, so this refuses every emission on them. */
    const char *invalid = nullptr;
    if (!g_variant_is_object_path(HALVO_EMIT_PATH))
        invalid = "object path " HALVO_EMIT_PATH;
    else if (!g_dbus_is_interface_name(HALVO_EMIT_INTERFACE))
        invalid = "interface " HALVO_EMIT_INTERFACE;
    else if (signal_name == nullptr || !g_dbus_is_member_name(signal_name))
        invalid = "signal name";
    else if (destination != nullptr && !g_dbus_is_name(destination))
        invalid = "destination";
    else if (owned && !g_variant_is_of_type(owned.get(), G_VARIANT_TYPE_TUPLE))
        invalid = "parameters (not a tuple)";
    if (invalid != nullptr) {
        ERR("g_dbus_connection_emit_signal, reson : invalid %s", invalid);
        return HALVO_ERROR_OPERATION_FAILED;
    }

    Error error;
    if (!g_dbus_connection_emit_signal(connection, destination, HALVO_EMIT_PATH, HALVO_EMIT_INTERFACE, signal_name,
                                       owned.get(), out(error))) {
        ERR("g_dbus_connection_emit_signal, reson : %s", error ? error->message : "refused");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    EXIT();
    return HALVO_ERROR_NONE;
}
