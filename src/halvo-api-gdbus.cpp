/* halvo-api-gdbus.cpp - the system-bus connection, the method-call
 * transport, the signal tables and their subscriptions, emission, and the
 * update-manager request.
 *
 * The library keeps a bus connection of its own rather than GIO's shared
 * one: it may then bound the time a connect takes, keep the application's
 * exit-on-close as it was, and notice a closed connection in a main
 * context of its own.  That context runs on a small thread ("halvo-bus"),
 * started on first use, which makes every connection, hears when one
 * closes and connects again while callbacks are set.  Each subscription
 * is made (and made again after a reconnection) in the thread-default main
 * context of the thread that set it. */
#include "halvo-api-private.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <string>
#include <vector>

using namespace halvo_core;

std::mutex halvo_core::state_lock;

/* The library's connection: one reference, or NULL. */
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

/* Where the library's own signal comes from: its name with '_' for '-',
 * which D-Bus does not allow in a path or an interface. */
#define HALVO_EMIT_PATH "/org/velmo/halvo_api"
#define HALVO_EMIT_INTERFACE "org.velmo.halvo_api.signal"

/* How often the bus thread tries again while a wanted row has no
 * subscription. */
#define HALVO_RETRY_MS 250

/* ------------------------------------------------------------------ */
/* Operation time                                                      */
/* ------------------------------------------------------------------ */

/* Monotonic microseconds by which the operation in hand must be done; 0
 * outside any operation. */
static thread_local gint64 t_deadline = 0;

OperationTime::OperationTime(int bound_ms) noexcept : saved_(t_deadline)
{
    if (t_deadline == 0)
        t_deadline = g_get_monotonic_time() + gint64(bound_ms) * 1000;
}

OperationTime::~OperationTime()
{
    t_deadline = saved_;
}

int halvo_core::remaining_ms(int bound_ms) noexcept
{
    if (t_deadline == 0)
        return bound_ms;
    gint64 left = (t_deadline - g_get_monotonic_time() + 999) / 1000;
    return int(CLAMP(left, 0, gint64(bound_ms)));
}

/* What a failed call or connect of this thread came to, for the
 * operation that made it. */
static thread_local halvo_failure_e t_transport_failure = HALVO_FAILURE_NONE;

static void note_transport(halvo_failure_e failure) noexcept
{
    t_transport_failure = failure;
}

/* ------------------------------------------------------------------ */
/* Rows: what the tables do not hold                                   */
/* ------------------------------------------------------------------ */

namespace {

struct row_state {
    bool wanted;                 /* set (or initialised): subscribe whenever a bus is there */
    bool post_pending;           /* a subscription is on its way to the row's context */
    GDBusSignalCallback handler;
    void *user_data;
    GMainContext *context;       /* where the setter's thread iterates; a reference */
};

struct row_ref {
    halvo_signal_info_s *info;
    row_state *state;
    const char *filter; /* interface filter: public rows only */
};

row_state inter_state[HALVO_INTERNAL_SIGNAL_COUNT];
row_state public_state[HALVO_PUBLIC_SIGNAL_COUNT];

constexpr int ROW_COUNT = int(HALVO_INTERNAL_SIGNAL_COUNT) + int(HALVO_PUBLIC_SIGNAL_COUNT);

row_ref row_at(int i) noexcept
{
    if (i < HALVO_INTERNAL_SIGNAL_COUNT)
        return {&inter_signal_info[i], &inter_state[i], nullptr};
    i -= HALVO_INTERNAL_SIGNAL_COUNT;
    return {&signal_info[i], &public_state[i], signal_info[i].interface_name};
}

/* ------------------------------------------------------------------ */
/* The bus thread and the connection                                   */
/* ------------------------------------------------------------------ */

GMainContext *bus_context = nullptr;
std::condition_variable connected_cv;
bool connecting = false;     /* an attempt is under way on the bus thread */
unsigned attempts_done = 0;  /* counts finished attempts, for waiters */
std::string last_error;      /* why the last attempt failed */
/* What a call that waited for the last attempt fails with: a bus daemon
 * that did not answer within the attempt's bound is a time-out, whichever
 * of the call's bound and the attempt's ends first. */
halvo_failure_e attempt_failure = HALVO_FAILURE_NO_BUS;
gulong closed_handler = 0;
GSource *retry_source = nullptr;

/* Non-blocking calls waiting for a connection attempt to end; each is told
 * in its own main context (halvo-api-gdbus.cpp, "Waiting"). */
struct Waiting;
std::vector<Waiting *> waiters;
void tell_waiters_locked() noexcept;

gpointer bus_thread(gpointer) noexcept
{
    g_main_context_push_thread_default(bus_context);
    GMainLoop *loop = g_main_loop_new(bus_context, FALSE);
    g_main_loop_run(loop); /* for the life of the process */
    g_main_loop_unref(loop);
    return nullptr;
}

void ensure_bus_thread() noexcept
{
    static std::once_flag once;
    std::call_once(once, [] {
        bus_context = g_main_context_new();
        g_thread_unref(g_thread_new("halvo-bus", bus_thread, nullptr));
    });
}

/* Runs @fn on the bus thread. */
void on_bus_thread(GSourceFunc fn, gpointer data) noexcept
{
    ensure_bus_thread();
    GSource *source = g_idle_source_new();
    g_source_set_callback(source, fn, data, nullptr);
    g_source_attach(source, bus_context);
    g_source_unref(source);
}

gboolean resubscribe_in_context(gpointer data) noexcept;
bool subscribe_locked(row_ref row, GDBusConnection *connection) noexcept;

/* The service's presence: its name watched on every live connection. */
std::atomic<bool> service_here{false};
guint presence_watch = 0;      /* with the lock */
bool presence_wanted = false;  /* with the lock: a listener follows it */

void set_present(bool present) noexcept
{
    if (service_here.exchange(present) == present)
        return;
    INFO("service %s", present ? "appeared" : "vanished");
    listeners::post(HALVO_EVENT_SERVICE_CHANGED, [present](listeners::any_cb cb, void *user_data) {
        reinterpret_cast<halvo_service_changed_cb>(cb)(present, user_data);
    });
}

void on_name_appeared(GDBusConnection *, const gchar *, const gchar *, gpointer) noexcept
{
    set_present(true);
}

void on_name_vanished(GDBusConnection *, const gchar *, gpointer) noexcept
{
    set_present(false);
}

/* Bus thread, with the lock: watches the service's name on @connection. */
void watch_presence_locked(GDBusConnection *connection) noexcept
{
    presence_watch = g_bus_watch_name_on_connection(connection, HALVO_SERVICE_NAME, G_BUS_NAME_WATCHER_FLAGS_NONE,
                                                    on_name_appeared, on_name_vanished, nullptr, nullptr);
}

void unwatch_presence_locked() noexcept
{
    if (presence_watch != 0)
        g_bus_unwatch_name(presence_watch);
    presence_watch = 0;
    set_present(false);
}

/* Sends a subscription of every wanted row that has none to the row's own
 * context.  Called with the lock held. */
void post_resubscriptions_locked() noexcept
{
    if (g_system_con == nullptr)
        return;
    for (int i = 0; i < ROW_COUNT; i++) {
        row_ref row = row_at(i);
        if (!row.state->wanted || row.info->subscription_id != 0 || row.state->post_pending)
            continue;
        /* Rows of the bus thread are subscribed at once, before any call
         * waiting for this connection goes out on it: an event that call
         * causes then finds the match in place. */
        if (row.state->context == bus_context && g_main_context_is_owner(bus_context)) {
            subscribe_locked(row, g_system_con);
            continue;
        }
        row.state->post_pending = true;
        GSource *source = g_idle_source_new();
        g_source_set_callback(source, resubscribe_in_context, GINT_TO_POINTER(i), nullptr);
        g_source_attach(source, row.state->context);
        g_source_unref(source);
    }
}

bool any_row_waiting_locked() noexcept
{
    if (presence_wanted && g_system_con == nullptr)
        return true;
    for (int i = 0; i < ROW_COUNT; i++) {
        row_ref row = row_at(i);
        if (row.state->wanted && row.info->subscription_id == 0)
            return true;
    }
    return false;
}

void arm_retry_locked() noexcept;

/* The connection closed (the bus went away): its subscriptions died with
 * it, so their ids go too.  Called with the lock held. */
void drop_connection_locked() noexcept
{
    if (g_system_con == nullptr)
        return;
    for (int i = 0; i < ROW_COUNT; i++) {
        row_ref row = row_at(i);
        if (row.info->subscription_id != 0) {
            g_dbus_connection_signal_unsubscribe(g_system_con, row.info->subscription_id);
            row.info->subscription_id = 0;
        }
    }
    if (closed_handler != 0)
        g_signal_handler_disconnect(g_system_con, closed_handler);
    closed_handler = 0;
    unwatch_presence_locked();
    g_clear_object(&g_system_con);
    arm_retry_locked();
}

/* Bus thread: GIO closed the connection. */
void on_closed(GDBusConnection *connection, gboolean, GError *, gpointer) noexcept
{
    Locked hold(state_lock);
    if (connection == g_system_con)
        drop_connection_locked();
}

void start_attempt_locked() noexcept;

/* Bus thread: the attempt ended with @connection (a reference) or @error. */
void attempt_done(GDBusConnection *connection, GError *error) noexcept
{
    Locked hold(state_lock);
    connecting = false;
    attempts_done++;
    /* Only the attempt's own bound cancels it. */
    attempt_failure = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED) ? HALVO_FAILURE_TIMEOUT
                                                                               : HALVO_FAILURE_NO_BUS;
    if (connection != nullptr && g_system_con != nullptr && !g_dbus_connection_is_closed(g_system_con)) {
        /* Never replace a live connection: every subscription is on it. */
        g_dbus_connection_close(connection, nullptr, nullptr, nullptr);
        g_object_unref(connection);
    } else if (connection != nullptr) {
        drop_connection_locked();
        g_system_con = connection;
        closed_handler = g_signal_connect(connection, "closed", G_CALLBACK(on_closed), nullptr);
        /* It may have closed before the handler was there. */
        if (g_dbus_connection_is_closed(connection)) {
            drop_connection_locked();
        } else {
            watch_presence_locked(connection);
            post_resubscriptions_locked();
        }
    } else {
        last_error = error ? error->message : "no connection";
        arm_retry_locked();
    }
    connected_cv.notify_all();
    tell_waiters_locked();
}

struct attempt {
    GCancellable *cancellable;
    GSource *timeout;
};

void on_new_connection(GObject *, GAsyncResult *result, gpointer data) noexcept
{
    attempt *a = static_cast<attempt *>(data);
    g_source_destroy(a->timeout);
    g_source_unref(a->timeout);
    g_object_unref(a->cancellable);
    delete a;
    Error error;
    GDBusConnection *connection = g_dbus_connection_new_for_address_finish(result, out(error));
    attempt_done(connection, error.get());
}

gboolean cancel_attempt(gpointer data) noexcept
{
    g_cancellable_cancel(static_cast<GCancellable *>(data));
    return G_SOURCE_REMOVE;
}

/* Bus thread: connects to the system bus without blocking the thread; a
 * hung bus daemon gets HALVO_METHOD_TIMEOUT_MS. */
gboolean begin_attempt(gpointer) noexcept
{
    Error error;
    GString_ address(g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, out(error)));
    if (!address) {
        attempt_done(nullptr, error.get());
        return G_SOURCE_REMOVE;
    }
    attempt *a = new attempt;
    a->cancellable = g_cancellable_new();
    a->timeout = g_timeout_source_new(HALVO_METHOD_TIMEOUT_MS);
    g_source_set_callback(a->timeout, cancel_attempt, a->cancellable, nullptr);
    g_source_attach(a->timeout, bus_context);
    g_dbus_connection_new_for_address(
        address.get(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, a->cancellable, on_new_connection, a);
    return G_SOURCE_REMOVE;
}

void start_attempt_locked() noexcept
{
    /* One connection at a time: its subscriptions follow it. */
    if (connecting || (g_system_con != nullptr && !g_dbus_connection_is_closed(g_system_con)))
        return;
    connecting = true;
    on_bus_thread(begin_attempt, nullptr);
}

/* Bus thread, while a wanted row has no subscription: connect, or hand the
 * subscriptions to their contexts. */
gboolean retry(gpointer) noexcept
{
    Locked hold(state_lock);
    if (!any_row_waiting_locked()) {
        g_clear_pointer(&retry_source, g_source_unref);
        return G_SOURCE_REMOVE;
    }
    /* With a connection, the rows' subscriptions are on their way to
     * their contexts already (attempt_done). */
    start_attempt_locked();
    return G_SOURCE_CONTINUE;
}

void arm_retry_locked() noexcept
{
    if (retry_source != nullptr || !any_row_waiting_locked())
        return;
    ensure_bus_thread();
    retry_source = g_timeout_source_new(HALVO_RETRY_MS);
    g_source_set_callback(retry_source, retry, nullptr, nullptr);
    g_source_attach(retry_source, bus_context);
}

/* A new reference to a live connection, or NULL; with the lock held. */
GDBusConnection *live_connection_locked() noexcept
{
    if (g_system_con != nullptr && g_dbus_connection_is_closed(g_system_con))
        drop_connection_locked();
    return g_system_con ? static_cast<GDBusConnection *>(g_object_ref(g_system_con)) : nullptr;
}

} // namespace

namespace {
struct HandOver {
    std::function<void()> fn;
    std::atomic<bool> sent{}; /* orders the hand-over for a thread checker; its value is never read */
};
} // namespace

void halvo_core::hand_over(GMainContext *context, std::function<void()> fn, int priority) noexcept
{
    auto *h = new HandOver{std::move(fn)};
    h->sent.store(true, std::memory_order_release);
    GSource *idle = g_idle_source_new();
    g_source_set_priority(idle, priority);
    g_source_set_callback(
        idle,
        [](gpointer data) noexcept -> gboolean {
            auto *h = static_cast<HandOver *>(data);
            h->sent.load(std::memory_order_acquire);
            h->fn();
            return G_SOURCE_REMOVE;
        },
        h,
        [](gpointer data) noexcept {
            auto *h = static_cast<HandOver *>(data);
            h->sent.load(std::memory_order_acquire);
            delete h;
        });
    g_source_attach(idle, context);
    g_source_unref(idle);
}

void halvo_core::run_on_bus(const std::function<void()> &fn) noexcept
{
    ensure_bus_thread();
    if (g_main_context_is_owner(bus_context)) {
        fn();
        return;
    }
    struct Job {
        const std::function<void()> *fn;
        std::mutex lock;
        std::condition_variable cv;
        bool done = false;
    } job{&fn, {}, {}, false};
    hand_over(bus_context, [&job] {
        (*job.fn)();
        std::lock_guard<std::mutex> hold(job.lock);
        job.done = true;
        job.cv.notify_all();
    });
    std::unique_lock<std::mutex> hold(job.lock);
    job.cv.wait(hold, [&] { return job.done; });
}

bool halvo_core::retry_armed() noexcept
{
    Locked hold(state_lock);
    return retry_source != nullptr;
}

GDBusConnection *__halvo_api_get_system_connection(void) noexcept
{
    std::unique_lock<std::mutex> hold(state_lock);
    if (GDBusConnection *connection = live_connection_locked())
        return connection;

    /* Wait for one attempt (ours, or one already under way) to end, within
     * the time the operation has left. */
    start_attempt_locked();
    unsigned seen = attempts_done;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(remaining_ms(HALVO_METHOD_TIMEOUT_MS));
    bool ended = connected_cv.wait_until(hold, until, [seen] { return attempts_done != seen; });
    if (GDBusConnection *connection = live_connection_locked())
        return connection;
    std::string reason = ended ? last_error : "timed out";
    hold.unlock();
    ERR("g_bus_get_sync fail, reason: %s", reason.c_str());
    note_transport(ended ? attempt_failure : HALVO_FAILURE_TIMEOUT);
    return nullptr;
}

/* A live connection if there is one now, without waiting (a reference). */
static GDBusConnection *connection_at_hand() noexcept
{
    Locked hold(state_lock);
    return live_connection_locked();
}

/* Subscribes @row on @connection in the current thread's context.  With
 * the lock held. */
namespace {
bool subscribe_locked(row_ref row, GDBusConnection *connection) noexcept
{
    row.info->subscription_id = g_dbus_connection_signal_subscribe(
        connection, nullptr, row.filter, row.info->signal_name, row.info->object_path, nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE, row.state->handler, row.state->user_data, nullptr);
    return row.info->subscription_id != 0;
}
} // namespace

static void forget_row_locked(row_ref row) noexcept
{
    row.state->wanted = false;
    g_clear_pointer(&row.state->context, g_main_context_unref);
}

namespace {

/* In the row's context, after a reconnection. */
gboolean resubscribe_in_context(gpointer data) noexcept
{
    row_ref row = row_at(GPOINTER_TO_INT(data));
    Locked hold(state_lock);
    row.state->post_pending = false;
    GDBusConnection *connection = g_system_con;
    /* A row set again from elsewhere meanwhile has a context of its own. */
    if (!row.state->wanted || row.info->subscription_id != 0 || connection == nullptr ||
        g_dbus_connection_is_closed(connection) || !g_main_context_is_owner(row.state->context))
        return G_SOURCE_REMOVE;
    /* The subscription remembers the thread-default context: make it the
     * row's, whatever the application pushed. */
    g_main_context_push_thread_default(row.state->context);
    subscribe_locked(row, connection);
    g_main_context_pop_thread_default(row.state->context);
    return G_SOURCE_REMOVE;
}

} // namespace

/* Subscribes @row with @handler in the calling thread's context.  A row
 * that is wanted stays wanted when @keep_wanted, so that it is subscribed
 * once a bus is there; otherwise a failure leaves it unset. */
static int subscribe_row_on(row_ref row, GDBusSignalCallback handler, void *user_data, bool keep_wanted,
                            GMainContext *context) noexcept;

static int subscribe_row(row_ref row, GDBusSignalCallback handler, void *user_data, bool keep_wanted,
                         GMainContext *context) noexcept
{
    /* Connecting may wait: not under the lock, nor on the bus thread. */
    Object<GDBusConnection> connected(__halvo_api_get_system_connection());
    if (context != bus_context)
        return subscribe_row_on(row, handler, user_data, keep_wanted, context);
    /* A subscription remembers the thread-default context, which only its
     * owner may push: the bus thread makes it. */
    int ret = HALVO_ERROR_OPERATION_FAILED;
    run_on_bus([&] { ret = subscribe_row_on(row, handler, user_data, keep_wanted, context); });
    return ret;
}

/* Subscribes @row on the live connection, the one every subscription is
 * on (whichever attempt made it). */
static int subscribe_row_on(row_ref row, GDBusSignalCallback handler, void *user_data, bool keep_wanted,
                            GMainContext *context) noexcept
{
    std::unique_lock<std::mutex> hold(state_lock);
    if (row.info->subscription_id != 0) {
        hold.unlock();
        INFO("same signal is already subscribed");
        return HALVO_ERROR_NONE;
    }
    g_clear_pointer(&row.state->context, g_main_context_unref);
    row.state->context = g_main_context_ref(context);
    row.state->handler = handler;
    row.state->user_data = user_data;
    row.state->wanted = true;
    GDBusConnection *connection = live_connection_locked();
    if (connection == nullptr) {
        if (keep_wanted) {
            arm_retry_locked();
            hold.unlock();
            INFO("no bus yet: subscribed once one is there");
            return HALVO_ERROR_OPERATION_FAILED;
        }
        forget_row_locked(row);
        hold.unlock();
        ERR("fail to get dbus connection for signal");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    /* The subscription remembers the thread-default context. */
    g_main_context_push_thread_default(context);
    bool subscribed = subscribe_locked(row, connection);
    g_main_context_pop_thread_default(context);
    g_object_unref(connection);
    if (!subscribed) {
        if (!keep_wanted)
            forget_row_locked(row);
        hold.unlock();
        ERR("fail to subscribe signal");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    hold.unlock();
    EXIT();
    return HALVO_ERROR_NONE;
}

static int unsubscribe_row(row_ref row) noexcept
{
    std::unique_lock<std::mutex> hold(state_lock);
    if (!row.state->wanted && row.info->subscription_id == 0) {
        hold.unlock();
        ERR("this signal was not subcribed.");
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    /* An id always belongs to the connection at hand: a closed one takes
     * its ids with it. */
    if (row.info->subscription_id != 0 && g_system_con != nullptr)
        g_dbus_connection_signal_unsubscribe(g_system_con, row.info->subscription_id);
    row.info->subscription_id = 0;
    forget_row_locked(row);
    return HALVO_ERROR_NONE;
}

int _halvo_api_init_gdbus(void) noexcept
{
    /* The firmware result stays wanted while initialised, even when no bus
     * is there yet: it is subscribed once one is. */
    ENTER();
    row_ref row = row_at(int(HALVO_INTERNAL_SIGNAL_COUNT) + int(HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT));
    DBG("signal : %d, signal_info : %d, signal : %s", 0, row.info->subscription_id, row.info->signal_name);
    GMainContext *here = g_main_context_ref_thread_default();
    subscribe_row(row, __halvo_api_handle_recieved_signal_cb, nullptr, true, here);
    g_main_context_unref(here);
    return HALVO_ERROR_NONE;
}

int _halvo_api_deinit_gdbus(void) noexcept
{
    _halvo_api_unsubscribe_signal(HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT);
    /* The internal rows belong to their set and unset operations, not to
     * initialisation: while one is wanted, the connection stays. */
    Locked hold(state_lock);
    for (int i = 0; i < ROW_COUNT; i++)
        if (row_at(i).state->wanted)
            return HALVO_ERROR_NONE;
    if (presence_wanted)
        return HALVO_ERROR_NONE;
    drop_connection_locked();
    return HALVO_ERROR_NONE;
}

/* The kind of failure a GDBus error stands for. */
static halvo_failure_e failure_of(const GError *error) noexcept
{
    if (error == nullptr)
        return HALVO_FAILURE_ERROR_REPLY;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED))
        return HALVO_FAILURE_CANCELLED;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMEOUT) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_TIMED_OUT))
        return HALVO_FAILURE_TIMEOUT;
    /* Our own bound is GIO's time-out: the bus daemon's "no reply" says the
     * service left without answering. */
    if (g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NO_REPLY) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_NAME_HAS_NO_OWNER))
        return HALVO_FAILURE_NO_SERVICE;
    if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CLOSED) ||
        g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_DISCONNECTED))
        return HALVO_FAILURE_NO_BUS;
    return HALVO_FAILURE_ERROR_REPLY;
}

/* The values of @reply (taken over), or NULL with the failure noted: no
 * reply (@error says why), an error reply, from the service or from the
 * bus daemon, or a reply without values.  Both paths read replies here. */
static GVariant *reply_values(GDBusMessage *reply, const GError *error) noexcept
{
    Object<GDBusMessage> owned(reply);
    if (reply == nullptr) {
        ERR("GDbus error : %s", error ? error->message : "no reply");
        note_transport(failure_of(error));
        return nullptr;
    }
    if (g_dbus_message_get_message_type(reply) == G_DBUS_MESSAGE_TYPE_ERROR) {
        Error reply_error;
        g_dbus_message_to_gerror(reply, out(reply_error));
        ERR("GDbus error : %s", reply_error ? reply_error->message : "error reply");
        note_transport(failure_of(reply_error.get()));
        return nullptr;
    }
    /* Every method of the service answers with values: a reply without any
     * carries no answer, and reads as a failed call.  The body is
     * immutable, so a reference is as good as a copy. */
    GVariant *body = g_dbus_message_get_body(reply);
    if (body == nullptr) {
        ERR("GDbus error : %s", "the reply carries no values");
        note_transport(HALVO_FAILURE_BAD_REPLY);
        return nullptr;
    }
    return g_variant_ref(body);
}

/* A call of @method on the service with @args (taken over), or NULL when
 * the request cannot be sent. */
static GDBusMessage *new_service_call(const char *method, GVariant *args) noexcept
{
    Variant owned_args(args ? g_variant_ref_sink(args) : nullptr);
    if (method == nullptr || !g_dbus_is_member_name(method)) {
        ERR("GDbus error : invalid method name %s", method ? method : "(null)");
        note_transport(HALVO_FAILURE_INVALID_ARGUMENT);
        return nullptr;
    }
    if (owned_args && !g_variant_is_of_type(owned_args.get(), G_VARIANT_TYPE_TUPLE)) {
        ERR("GDbus error : arguments of %s are not a tuple", method);
        note_transport(HALVO_FAILURE_INVALID_ARGUMENT);
        return nullptr;
    }
    GDBusMessage *message =
        g_dbus_message_new_method_call(HALVO_SERVICE_NAME, HALVO_SERVICE_PATH, HALVO_SERVICE_INTERFACE, method);
    if (owned_args)
        g_dbus_message_set_body(message, owned_args.get());
    return message;
}

static GDBusMessage *new_update_call(const char *method) noexcept
{
    return g_dbus_message_new_method_call(HALVO_UPDATE_NAME, HALVO_UPDATE_PATH, HALVO_UPDATE_INTERFACE, method);
}

/* The update manager is told we are done with it; nobody waits for that. */
static void send_update_exit(GDBusConnection *connection) noexcept
{
    Object<GDBusMessage> bye(new_update_call("EXIT"));
    g_dbus_message_set_flags(bye.get(), G_DBUS_MESSAGE_FLAGS_NO_REPLY_EXPECTED);
    g_dbus_connection_send_message(connection, bye.get(), G_DBUS_SEND_MESSAGE_FLAGS_NONE, nullptr, nullptr);
}

/* Sends @message and waits for its values within the operation's time. */
static GVariant *send_with_reply(GDBusMessage *message, int bound_ms) noexcept
{
    Object<GDBusConnection> connection(__halvo_api_get_system_connection());
    if (!connection)
        return nullptr;
    int timeout_ms = remaining_ms(bound_ms);
    if (timeout_ms <= 0) {
        ERR("GDbus error : %s", "Timeout was reached");
        note_transport(HALVO_FAILURE_TIMEOUT);
        return nullptr;
    }
    Error error;
    GDBusMessage *reply = g_dbus_connection_send_message_with_reply_sync(
        connection.get(), message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, timeout_ms, nullptr, nullptr, out(error));
    return reply_values(reply, error.get());
}

GVariant *_halvo_api_send_method_call_sync(const char *method, GVariant *args) noexcept
{
    /* Connecting and waiting share the bound. */
    OperationTime time(HALVO_METHOD_TIMEOUT_MS);
    Object<GDBusMessage> message(new_service_call(method, args));
    return message ? send_with_reply(message.get(), HALVO_METHOD_TIMEOUT_MS) : nullptr;
}

GVariant *_halvo_api_request_zemo_update(void) noexcept
{
    OperationTime time(HALVO_UPDATE_TIMEOUT_MS);
    Object<GDBusMessage> message(new_update_call("ZEMOFW"));
    GVariant *body = send_with_reply(message.get(), HALVO_UPDATE_TIMEOUT_MS);
    if (body == nullptr)
        return nullptr;
    Object<GDBusConnection> connection(__halvo_api_get_system_connection());
    if (connection)
        send_update_exit(connection.get());
    return body;
}

/* ------------------------------------------------------------------ */
/* Operations: failure detail and the two ways to run them             */
/* ------------------------------------------------------------------ */

static thread_local halvo_failure_e t_last_failure = HALVO_FAILURE_NONE;
static thread_local OpPromiseBase *t_current_op = nullptr;

OpPromiseBase *&halvo_core::current_op() noexcept
{
    return t_current_op;
}

void halvo_core::resume_op(std::coroutine_handle<> h, OpPromiseBase *promise) noexcept
{
    OpPromiseBase *saved = t_current_op;
    GTask *ended = nullptr;
    promise->done = &ended;
    t_current_op = promise;
    h.resume();
    /* @promise may be gone from here on. */
    t_current_op = saved;
    if (ended != nullptr)
        complete_task(ended);
}

void halvo_core::note_failure(halvo_failure_e failure) noexcept
{
    if (t_current_op == nullptr)
        return;
    t_current_op->outcome.failure = failure;
    t_current_op->outcome.noted = true;
}

void halvo_core::note_success() noexcept
{
    if (t_current_op != nullptr)
        t_current_op->outcome.settled = true;
}

void halvo_core::set_last_failure(halvo_failure_e failure) noexcept
{
    t_last_failure = failure;
}

int halvo_core::plain_result(int rc, halvo_failure_e otherwise) noexcept
{
    t_last_failure = rc == HALVO_ERROR_NONE                ? HALVO_FAILURE_NONE
                     : rc == HALVO_ERROR_INVALID_PARAMETER ? HALVO_FAILURE_INVALID_ARGUMENT
                                                           : otherwise;
    return rc;
}

halvo_failure_e halvo_api_last_failure(void) noexcept
{
    return t_last_failure;
}

const char *halvo_api_failure_name(halvo_failure_e failure) noexcept
{
    switch (failure) {
    case HALVO_FAILURE_NONE: return "no failure";
    case HALVO_FAILURE_INVALID_ARGUMENT: return "invalid argument";
    case HALVO_FAILURE_NO_BUS: return "no bus";
    case HALVO_FAILURE_NO_SERVICE: return "no service";
    case HALVO_FAILURE_TIMEOUT: return "timed out";
    case HALVO_FAILURE_ERROR_REPLY: return "error reply";
    case HALVO_FAILURE_BAD_REPLY: return "bad reply";
    case HALVO_FAILURE_SERVICE_ANSWERED: return "the service answered a failure";
    case HALVO_FAILURE_STORE: return "store";
    case HALVO_FAILURE_CANCELLED: return "cancelled";
    }
    return "unknown failure";
}

/* The reply a request came to, checked against its type; the outcome says
 * how it went. */
static void settle_reply(OpPromiseBase *op, const CallRequest &request, GVariant *&reply,
                         halvo_failure_e failure) noexcept
{
    Outcome &o = op->outcome;
    if (reply != nullptr && request.type != nullptr && !has_type(reply, request.type)) {
        ERR("reply of %s is %s, not %s", request.method, g_variant_get_type_string(reply), request.type);
        g_clear_pointer(&reply, g_variant_unref);
        failure = HALVO_FAILURE_BAD_REPLY;
    }
    if (reply == nullptr) {
        o.failure = failure != HALVO_FAILURE_NONE ? failure : HALVO_FAILURE_ERROR_REPLY;
        o.noted = true;
        o.answered = false;
    } else {
        o.noted = false;
        o.answered = true;
    }
}

namespace {

/* Asynchronous calls: the request and the awaiter that waits for it. */
int left_ms(const OpPromiseBase *op) noexcept
{
    gint64 left = (op->deadline - g_get_monotonic_time() + 999) / 1000;
    return int(CLAMP(left, 0, gint64(op->bound_ms)));
}

struct InFlight {
    CallAwaiter *awaiter;
    GDBusMessage *message;
};

void finish_call(InFlight *f, GVariant *reply, halvo_failure_e failure) noexcept
{
    CallAwaiter *a = f->awaiter;
    g_clear_object(&f->message);
    delete f;
    a->reply = reply;
    settle_reply(a->op, a->request, a->reply, failure);
    resume_op(a->handle, a->op);
}

void on_reply(GObject *source, GAsyncResult *result, gpointer data) noexcept
{
    auto *f = static_cast<InFlight *>(data);
    auto *connection = G_DBUS_CONNECTION(source);
    Error error;
    GDBusMessage *reply = g_dbus_connection_send_message_with_reply_finish(connection, result, out(error));
    t_transport_failure = HALVO_FAILURE_NONE;
    GVariant *values = reply_values(reply, error.get());
    if (values != nullptr && f->awaiter->request.update)
        send_update_exit(connection);
    finish_call(f, values, t_transport_failure);
}

void send_in_flight(InFlight *f, GDBusConnection *connection) noexcept
{
    OpPromiseBase *op = f->awaiter->op;
    int timeout_ms = left_ms(op);
    if (timeout_ms <= 0) {
        ERR("GDbus error : %s", "Timeout was reached");
        finish_call(f, nullptr, HALVO_FAILURE_TIMEOUT);
        return;
    }
    g_dbus_connection_send_message_with_reply(connection, f->message, G_DBUS_SEND_MESSAGE_FLAGS_NONE, timeout_ms,
                                              nullptr, g_task_get_cancellable(op->task), on_reply, f);
}

/* A call waiting for a connection, in its own main context: the attempt's
 * end, its cancellable or its bound, whichever comes first, goes on with it.
 * The attempt's end reaches it through an idle in that context, so all
 * three run on one thread. */
/* Runs @fn in @context once @cancellable is cancelled, unless stopped
 * first; start and stop in that context.  Not a GCancellableSource: one
 * disposed while another thread cancels its cancellable can be left
 * behind, never freed. */
class CancelWatch {
  public:
    void start(GCancellable *cancellable, GMainContext *context, std::function<void()> fn) noexcept
    {
        live_ = std::make_shared<bool>(true);
        cancellable_ = G_CANCELLABLE(g_object_ref(cancellable));
        handler_ = g_cancellable_connect(cancellable, G_CALLBACK(cancelled), new Watch{context, live_, std::move(fn)},
                                         [](gpointer data) noexcept {
                                             auto *w = static_cast<Watch *>(data);
                                             w->ran.load(std::memory_order_acquire);
                                             delete w;
                                         });
    }
    void stop() noexcept
    {
        if (cancellable_ == nullptr)
            return;
        *live_ = false;
        g_cancellable_disconnect(cancellable_, handler_); /* waits for a handler on another thread */
        g_clear_object(&cancellable_);
    }

  private:
    struct Watch {
        GMainContext *context;
        std::shared_ptr<bool> live;
        std::function<void()> fn;
        /* g_cancellable_disconnect() waits for a handler running on another
         * thread before it frees this; the atomic shows a thread checker
         * that order. */
        std::atomic<bool> ran{false};
    };
    /* On the thread that cancels: hand over to the context, where stop()
     * runs too, so `live` is read and written on one thread. */
    static void cancelled(GCancellable *, gpointer data) noexcept
    {
        auto *w = static_cast<Watch *>(data);
        hand_over(w->context, [live = w->live, fn = w->fn] {
            if (*live)
                fn();
        });
        w->ran.store(true, std::memory_order_release);
    }
    GCancellable *cancellable_ = nullptr;
    gulong handler_ = 0;
    std::shared_ptr<bool> live_;
};

struct Waiting {
    InFlight *f;
    GMainContext *context;
    CancelWatch cancelled;
    GSource *bound = nullptr;
    bool posted = false; /* the attempt's end is on its way: it frees this */
    bool done = false;
};

void stop_waiting(Waiting *w) noexcept
{
    w->cancelled.stop();
    if (w->bound != nullptr) {
        g_source_destroy(w->bound);
        g_clear_pointer(&w->bound, g_source_unref);
    }
    w->done = true;
}

/* Cancelled, or out of time, before the attempt ended. */
gboolean give_up(Waiting *w, halvo_failure_e failure) noexcept
{
    bool posted;
    {
        Locked hold(state_lock);
        posted = w->posted;
        if (!posted)
            waiters.erase(std::find(waiters.begin(), waiters.end(), w));
    }
    InFlight *f = w->f;
    stop_waiting(w);
    if (!posted) {
        g_main_context_unref(w->context);
        delete w;
    }
    if (failure == HALVO_FAILURE_TIMEOUT)
        ERR("GDbus error : %s", "Timeout was reached");
    finish_call(f, nullptr, failure);
    return G_SOURCE_REMOVE;
}

gboolean attempt_ended(gpointer data) noexcept
{
    auto *w = static_cast<Waiting *>(data);
    halvo_failure_e failure;
    {
        /* The bus thread let go of it under the lock. */
        Locked hold(state_lock);
        failure = attempt_failure;
    }
    bool done = w->done;
    InFlight *f = w->f;
    if (!done)
        stop_waiting(w);
    g_main_context_unref(w->context);
    delete w;
    if (done)
        return G_SOURCE_REMOVE;
    Object<GDBusConnection> connection(connection_at_hand());
    if (connection)
        send_in_flight(f, connection.get());
    else
        finish_call(f, nullptr, failure);
    return G_SOURCE_REMOVE;
}

void tell_waiters_locked() noexcept
{
    for (Waiting *w : waiters) {
        w->posted = true;
        GSource *idle = g_idle_source_new();
        g_source_set_callback(idle, attempt_ended, w, nullptr);
        g_source_attach(idle, w->context);
        g_source_unref(idle);
    }
    waiters.clear();
}

/* Waits in the calling thread's context for the attempt under way (or a
 * new one) to end, within the call's bound.  The check for a connection
 * and the queueing are one step under the lock, so that an attempt that
 * ends in between cannot be followed by a second one. */
void wait_for_connection(InFlight *f, GCancellable *cancellable, int left) noexcept
{
    auto *w = new Waiting{f, g_main_context_ref_thread_default(), {}};
    GDBusConnection *connection;
    {
        Locked hold(state_lock);
        connection = live_connection_locked();
        if (connection == nullptr) {
            if (cancellable != nullptr)
                w->cancelled.start(cancellable, w->context, [w] { give_up(w, HALVO_FAILURE_CANCELLED); });
            w->bound = g_timeout_source_new(guint(left));
            g_source_set_callback(
                w->bound,
                [](gpointer d) noexcept -> gboolean { return give_up(static_cast<Waiting *>(d), HALVO_FAILURE_TIMEOUT); },
                w, nullptr);
            g_source_attach(w->bound, w->context);
            waiters.push_back(w);
            start_attempt_locked();
            return;
        }
    }
    g_main_context_unref(w->context);
    delete w;
    send_in_flight(f, connection);
    g_object_unref(connection);
}

} // namespace

bool CallAwaiter::await_suspend(std::coroutine_handle<> h) noexcept
{
    op->outcome.called = true;
    if (!op->async) {
        /* Blocking: the caller's own thread. */
        OperationTime time{remaining_ms(op->bound_ms)};
        t_transport_failure = HALVO_FAILURE_NONE;
        reply = request.update ? _halvo_api_request_zemo_update()
                               : _halvo_api_send_method_call_sync(request.method, request.args);
        settle_reply(op, request, reply, t_transport_failure);
        return false;
    }
    handle = h;
    if (op->where != OpPromiseBase::HOME) {
        /* A worker never waits on the service: the request goes out from
         * the bus thread, and the reply is read there. */
        op->where = OpPromiseBase::BUS;
        ensure_bus_thread();
        hand_over(bus_context, [this] {
            if (!send())
                resume_op(handle, op);
        });
        return true;
    }
    return send();
}

bool CallAwaiter::send() noexcept
{
    if (g_cancellable_is_cancelled(g_task_get_cancellable(op->task))) {
        /* Not sent: a cancelled call changes nothing at the service. */
        if (request.args != nullptr)
            g_variant_unref(g_variant_ref_sink(request.args));
        settle_reply(op, request, reply, HALVO_FAILURE_CANCELLED);
        return false;
    }
    GCancellable *cancellable = g_task_get_cancellable(op->task);
    t_transport_failure = HALVO_FAILURE_NONE;
    GDBusMessage *message = request.update ? new_update_call(request.method)
                                           : new_service_call(request.method, request.args);
    if (message == nullptr) {
        settle_reply(op, request, reply, t_transport_failure);
        return false;
    }
    if (left_ms(op) <= 0) {
        g_object_unref(message);
        ERR("GDbus error : %s", "Timeout was reached");
        settle_reply(op, request, reply, HALVO_FAILURE_TIMEOUT);
        return false;
    }
    wait_for_connection(new InFlight{this, message}, cancellable, left_ms(op));
    return true;
}

/* The store workers: a pool of the library's own, so that a store that
 * blocks holds none of GTask's shared threads. */
namespace {

struct WorkItem {
    std::coroutine_handle<> handle;
    OpPromiseBase *op;
    std::atomic<bool> sent{}; /* orders the hand-over for a thread checker; its value is never read */
};

GThreadPool *store_workers() noexcept
{
    static GThreadPool *pool = g_thread_pool_new(
        [](gpointer data, gpointer) noexcept {
            std::unique_ptr<WorkItem> item(static_cast<WorkItem *>(data));
            item->sent.load(std::memory_order_acquire);
            resume_op(item->handle, item->op);
        },
        nullptr, 4, FALSE, nullptr);
    return pool;
}

} // namespace

void WorkerAwaiter::await_suspend(std::coroutine_handle<> h) noexcept
{
    op->where = OpPromiseBase::WORKER;
    auto *item = new WorkItem{h, op};
    item->sent.store(true, std::memory_order_release);
    g_thread_pool_push(store_workers(), item, nullptr);
}

/* ------------------------------------------------------------------ */
/* Turns on stored documents                                           */
/* ------------------------------------------------------------------ */

/* One call waiting for its turn.  A blocking one waits on @cv; a
 * non-blocking one is resumed in @context (the bus thread's) by whichever
 * fires first: the turn given, its cancellable, or its bound. */
struct halvo_core::TurnWaiter {
    bool granted = false;
    std::condition_variable cv;
    TurnAwaiter *awaiter = nullptr;
    std::coroutine_handle<> handle;
    GMainContext *context = nullptr;
    CancelWatch cancelled;
    GSource *bound = nullptr;

    void stop_sources() noexcept
    {
        cancelled.stop();
        if (bound != nullptr) {
            g_source_destroy(bound);
            g_clear_pointer(&bound, g_source_unref);
        }
    }
};

namespace {

struct TurnQueue {
    bool busy = false;
    std::vector<TurnWaiter *> waiting; /* in the order the calls were made */
};

/* Guards the queues only; nothing else is done under it. */
std::mutex turn_lock;
/* Never destroyed: a worker may pass a turn on while the process exits. */
std::vector<std::pair<const char *, TurnQueue>> &turn_queues = *new std::vector<std::pair<const char *, TurnQueue>>;

TurnQueue &queue_locked(const char *key) noexcept
{
    for (auto &q : turn_queues)
        if (strcmp(q.first, key) == 0)
            return q.second;
    turn_queues.emplace_back(key, TurnQueue{});
    return turn_queues.back().second;
}

/* The turn is free: take it now, or queue @w. */
bool take_or_queue_locked(TurnQueue &q, TurnWaiter *w) noexcept
{
    if (!q.busy) {
        q.busy = true;
        return true;
    }
    q.waiting.push_back(w);
    return false;
}

void leave_queue_locked(TurnQueue &q, TurnWaiter *w) noexcept
{
    q.waiting.erase(std::find(q.waiting.begin(), q.waiting.end(), w));
}

gboolean turn_given(gpointer data) noexcept
{
    auto *w = static_cast<TurnWaiter *>(data);
    w->stop_sources();
    g_main_context_unref(std::exchange(w->context, nullptr));
    resume_op(w->handle, w->awaiter->op);
    return G_SOURCE_REMOVE;
}

/* Cancelled or out of time while queued; nothing once the turn is on its
 * way (turn_given then resumes the call). */
gboolean stop_waiting_turn(TurnWaiter *w, halvo_failure_e failure) noexcept
{
    {
        std::lock_guard<std::mutex> hold(turn_lock);
        if (w->granted)
            return G_SOURCE_REMOVE;
        leave_queue_locked(queue_locked(w->awaiter->turn->key_), w);
    }
    w->stop_sources();
    g_main_context_unref(std::exchange(w->context, nullptr));
    w->awaiter->failure = failure;
    resume_op(w->handle, w->awaiter->op);
    return G_SOURCE_REMOVE;
}

} // namespace

DocTurn::DocTurn(const char *key) noexcept : key_(key) {}

DocTurn::~DocTurn()
{
    if (!held_)
        return;
    std::lock_guard<std::mutex> hold(turn_lock);
    TurnQueue &q = queue_locked(key_);
    if (q.waiting.empty()) {
        q.busy = false;
        return;
    }
    TurnWaiter *next = q.waiting.front();
    q.waiting.erase(q.waiting.begin());
    next->granted = true;
    if (next->context == nullptr) {
        next->cv.notify_one();
        return;
    }
    hand_over(next->context, [next] { turn_given(next); });
}

bool TurnAwaiter::await_suspend(std::coroutine_handle<> h) noexcept
{
    if (op->async && g_cancellable_is_cancelled(g_task_get_cancellable(op->task))) {
        failure = HALVO_FAILURE_CANCELLED;
        return false;
    }
    auto *w = new TurnWaiter;
    std::unique_lock<std::mutex> hold(turn_lock);
    TurnQueue &q = queue_locked(turn->key_);
    if (take_or_queue_locked(q, w)) {
        turn->held_ = true;
        delete w;
        return false;
    }
    w->awaiter = this;
    if (!op->async) {
        /* Blocking: on the caller's own thread, within its bound. */
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(remaining_ms(op->bound_ms));
        if (!w->cv.wait_until(hold, until, [w] { return w->granted; })) {
            leave_queue_locked(q, w);
            failure = HALVO_FAILURE_TIMEOUT;
        }
        turn->held_ = w->granted;
        delete w;
        return false;
    }
    w->handle = h;
    /* Waited for on the bus thread: the call's own context may be blocked
     * meanwhile, in a blocking edit queued behind this one. */
    ensure_bus_thread();
    w->context = g_main_context_ref(bus_context);
    if (GCancellable *cancellable = g_task_get_cancellable(op->task))
        w->cancelled.start(cancellable, w->context, [w] { stop_waiting_turn(w, HALVO_FAILURE_CANCELLED); });
    w->bound = g_timeout_source_new(guint(left_ms(op)));
    g_source_set_callback(
        w->bound,
        [](gpointer d) noexcept -> gboolean {
            return stop_waiting_turn(static_cast<TurnWaiter *>(d), HALVO_FAILURE_TIMEOUT);
        },
        w, nullptr);
    g_source_attach(w->bound, w->context);
    waiter = w;
    return true;
}

bool TurnAwaiter::await_resume() noexcept
{
    if (waiter != nullptr) {
        op->where = OpPromiseBase::BUS;
        turn->held_ = waiter->granted;
        delete std::exchange(waiter, nullptr);
    }
    if (turn->held_)
        return true;
    if (failure == HALVO_FAILURE_TIMEOUT)
        ERR("GDbus error : %s", "Timeout was reached");
    note_failure(failure);
    return false;
}

void halvo_core::task_ended(OpPromiseBase &op, GTask *task) noexcept
{
    if (op.where == OpPromiseBase::HOME && op.done != nullptr) {
        *op.done = task; /* completed by the resume, once the frame is gone */
        return;
    }
    /* Away from its context: the task completes, and its last reference
     * goes, in that context. */
    hand_over(g_task_get_context(task), [task] { complete_task(task); });
}

void halvo_core::complete_task(GTask *task) noexcept
{
    auto *state = static_cast<AsyncStateBase *>(g_task_get_task_data(task));
    state->returned = true;
    /* Nothing of the library's operation is in hand while the
     * application's callback runs. */
    OpPromiseBase *saved = std::exchange(t_current_op, nullptr);
    g_task_return_boolean(task, TRUE);
    g_object_unref(task);
    t_current_op = saved;
}

AsyncStateBase *halvo_core::finish_state(GAsyncResult *result, void *tag, bool *cancelled) noexcept
{
    *cancelled = false;
    if (!g_task_is_valid(result, nullptr) || g_task_get_source_tag(G_TASK(result)) != tag) {
        ERR("not a result of this operation");
        t_last_failure = HALVO_FAILURE_INVALID_ARGUMENT;
        return nullptr;
    }
    GTask *task = G_TASK(result);
    auto *state = static_cast<AsyncStateBase *>(g_task_get_task_data(task));
    if (!state->returned || state->finished) {
        ERR("the call has not ended, or was finished already");
        t_last_failure = HALVO_FAILURE_INVALID_ARGUMENT;
        return nullptr;
    }
    state->finished = true;
    Error error;
    if (!g_task_propagate_boolean(task, out(error))) {
        *cancelled = true;
        t_last_failure = HALVO_FAILURE_CANCELLED;
        return nullptr;
    }
    t_last_failure = state->failure;
    return state;
}

int _halvo_api_subscribe_signal(int index, void *user_data) noexcept
{
    ENTER();
    if (index < 0 || index >= HALVO_PUBLIC_SIGNAL_COUNT) {
        ERR("no such signal: %d", index);
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    row_ref row = row_at(HALVO_INTERNAL_SIGNAL_COUNT + index);
    DBG("signal : %d, signal_info : %d, signal : %s", index, row.info->subscription_id, row.info->signal_name);
    GMainContext *here = g_main_context_ref_thread_default();
    int ret = subscribe_row(row, __halvo_api_handle_recieved_signal_cb, user_data, false, here);
    g_main_context_unref(here);
    return ret;
}

int _halvo_api_unsubscribe_signal(int index) noexcept
{
    if (index < 0 || index >= HALVO_PUBLIC_SIGNAL_COUNT) {
        ERR("no such signal: %d", index);
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    return unsubscribe_row(row_at(HALVO_INTERNAL_SIGNAL_COUNT + index));
}

int _halvo_api_subscribe_internal_signal(int index, GDBusSignalCallback handler, void *user_data) noexcept
{
    ENTER();
    if (index < 0 || index >= HALVO_INTERNAL_SIGNAL_COUNT || handler == nullptr) {
        ERR("no such signal or no handler: %d", index);
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    /* Internal rows filter on member and path only.  Their handlers run
     * on the bus thread and hand each event to its slot's context. */
    ensure_bus_thread();
    return subscribe_row(row_at(index), handler, user_data, false, bus_context);
}

int _halvo_api_unsubscribe_internal_signal(int index) noexcept
{
    if (index < 0 || index >= HALVO_INTERNAL_SIGNAL_COUNT) {
        ERR("no such signal: %d", index);
        return HALVO_ERROR_INVALID_PARAMETER;
    }
    return unsubscribe_row(row_at(index));
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

    Object<GDBusConnection> connection(__halvo_api_get_system_connection());
    if (!connection) {
        ERR("fail to get dbus connection for signal");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    /* GDBus refuses invalid names with a critical and no error; say why here
     * instead. */
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
    if (!g_dbus_connection_emit_signal(connection.get(), destination, HALVO_EMIT_PATH, HALVO_EMIT_INTERFACE, signal_name,
                                       owned.get(), out(error))) {
        ERR("g_dbus_connection_emit_signal, reson : %s", error ? error->message : "refused");
        return HALVO_ERROR_OPERATION_FAILED;
    }
    EXIT();
    return HALVO_ERROR_NONE;
}

bool halvo_core::want_internal_signal(int index, GDBusSignalCallback handler) noexcept
{
    ensure_bus_thread();
    row_ref row = row_at(index);
    /* Subscribed now on a live connection; otherwise kept wanted, and
     * subscribed by the attempt started here before its waiters go on. */
    run_on_bus([&] { subscribe_row_on(row, handler, nullptr, true, bus_context); });
    Locked hold(state_lock);
    start_attempt_locked();
    return true;
}

bool halvo_core::follow_service(bool on) noexcept
{
    Locked hold(state_lock);
    presence_wanted = on;
    /* An attempt that fails arms the retry itself. */
    if (on)
        start_attempt_locked();
    return true;
}

bool halvo_api_service_present(void) noexcept
{
    {
        Locked hold(state_lock);
        start_attempt_locked();
    }
    return service_here.load();
}
