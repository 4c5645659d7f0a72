/* halvo-api-tuvo-switching.cpp - wireless earphone switching.
 *
 * Connect and disconnect are calls on the service; the connection state
 * comes back through one internal signal, relayed to the one callback in
 * `callbacks`, which is read and written whole under the library's lock. */
#include "halvo-api-private.h"

using namespace halvo_core;

/* Writable: an application may point them at other method names; every
 * call reads them anew. */
const char *tuvo_switching_connect = "tuvo_switching_connect";
const char *tuvo_switching_disconnect = "tuvo_switching_disconnect";

halvo_tuvo_switching_cb_s callbacks = {nullptr, nullptr};

/* The service's result, or 5 without a reply of type "(i)".  Each call
 * reads the method's name anew; connect and disconnect differ only in it. */
static Op<int> switching_op(const char *method_arg, const char *address)
{
    if (!valid_text(address) || !valid_method(method_arg))
        co_return HALVO_ERROR_INVALID_PARAMETER;
    ERR("%s(%s)", method_arg, address);
    ENTER();
    /* The name may be repointed (and its text freed) while the call waits. */
    GString_ method(g_strdup(method_arg));
    Variant reply(co_await call(method.get(), g_variant_new("(s)", address), "(i)"));
    if (!reply) {
        ERR("fail %s", method.get());
        co_return HALVO_ERROR_OPERATION_FAILED;
    }
    int result = HALVO_ERROR_NONE;
    g_variant_get(reply.get(), "(i)", &result);
    co_return result;
}

int halvo_tuvo_switching_connect(const char *address) noexcept
{
    return run_sync(switching_op(tuvo_switching_connect, address));
}

void halvo_tuvo_switching_connect_async(const char *address, GCancellable *cancellable, GAsyncReadyCallback callback,
                                        gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_tuvo_switching_connect_async, cancellable, callback, user_data,
                     [&](Held &) { return switching_op(tuvo_switching_connect, address); });
}

int halvo_tuvo_switching_connect_finish(GAsyncResult *result) noexcept
{
    return finish_async<int>(result, (void *)halvo_tuvo_switching_connect_async, HALVO_ERROR_INVALID_PARAMETER,
                             HALVO_ERROR_CANCELLED);
}

int halvo_tuvo_switching_disconnect(const char *address) noexcept
{
    return run_sync(switching_op(tuvo_switching_disconnect, address));
}

void halvo_tuvo_switching_disconnect_async(const char *address, GCancellable *cancellable,
                                           GAsyncReadyCallback callback, gpointer user_data) noexcept
{
    start_async<int>((void *)halvo_tuvo_switching_disconnect_async, cancellable, callback, user_data,
                     [&](Held &) { return switching_op(tuvo_switching_disconnect, address); });
}

int halvo_tuvo_switching_disconnect_finish(GAsyncResult *result) noexcept
{
    return finish_async<int>(result, (void *)halvo_tuvo_switching_disconnect_async, HALVO_ERROR_INVALID_PARAMETER,
                             HALVO_ERROR_CANCELLED);
}

/* Runs in the main context of the thread that set the callback.  The
 * subscription filters on the signal's name and path; the payload is
 * checked here. */
static void __invoke_tuvo_switching_connnection_changed_cb(GDBusConnection *, const gchar *, const gchar *,
                                                           const gchar *, const gchar *, GVariant *parameters,
                                                           gpointer) noexcept
{
    if (parameters == nullptr) {
        WARN("parameters is null");
        return;
    }
    if (!listeners::any(HALVO_EVENT_EARPHONES_CHANGED)) {
        WARN("no callback");
        return;
    }
    if (!has_type(parameters, "(isi)")) {
        WARN("unexpected parameters %s", g_variant_get_type_string(parameters));
        return;
    }
    int result = 0, connected = 0;
    const char *address = nullptr; /* the payload's: the delivery keeps a reference */
    g_variant_get(parameters, "(i&si)", &result, &address, &connected);
    ERR("result : %d, address : %s, connected : %d", result, address, connected);
    std::shared_ptr<GVariant> payload(g_variant_ref(parameters), g_variant_unref);
    listeners::post(HALVO_EVENT_EARPHONES_CHANGED,
                    [payload, result, address, connected](listeners::any_cb cb, void *user_data) {
        reinterpret_cast<halvo_tuvo_switching_connection_state_cb>(cb)(result, address, connected, user_data);
    });
}

int halvo_tuvo_switching_set_connection_state_cb(halvo_tuvo_switching_connection_state_cb callback,
                                                 void *user_data) noexcept
{
    ENTER();
    if (callback == nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    ERR("halvo_tuvo_switching_set_connection_state_cb");
    /* A set that cannot reach the bus would never be called back: it
     * fails and changes nothing. */
    Object<GDBusConnection> bus(__halvo_api_get_system_connection());
    gulong id = bus ? listeners::connect(HALVO_EVENT_EARPHONES_CHANGED, reinterpret_cast<listeners::any_cb>(callback),
                                         user_data, nullptr)
                    : 0;
    if (id == 0)
        return plain_result(HALVO_ERROR_OPERATION_FAILED);
    {
        Locked hold(state_lock);
        callbacks = {callback, user_data};
    }
    if (listeners::replace_slot(HALVO_EVENT_EARPHONES_CHANGED, id))
        INFO("same signal is already subscribed");
    EXIT();
    return plain_result(HALVO_ERROR_NONE);
}

int halvo_tuvo_switching_unset_connection_state_cb(void) noexcept
{
    ENTER();
    ERR("halvo_tuvo_switching_unset_connection_state_cb");
    if (!listeners::replace_slot(HALVO_EVENT_EARPHONES_CHANGED, 0))
        ERR("this signal was not subcribed.");
    {
        Locked hold(state_lock);
        callbacks = {nullptr, nullptr};
    }
    EXIT();
    return plain_result(HALVO_ERROR_NONE);
}

bool halvo_core::follow_earphones(bool on) noexcept
{
    if (on)
        return want_internal_signal(HALVO_SIGNAL_TUVO_SWITCHING_STATE_CHANGED,
                                    __invoke_tuvo_switching_connnection_changed_cb);
    _halvo_api_unsubscribe_internal_signal(HALVO_SIGNAL_TUVO_SWITCHING_STATE_CHANGED);
    return true;
}
