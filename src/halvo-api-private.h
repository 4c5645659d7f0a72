/* halvo-api-private.h - what the units of the library share. */
#ifndef HALVO_API_PRIVATE_H
#define HALVO_API_PRIVATE_H

#include "halvo-api.h"
#include "kerlo.h"

#include <atomic>
#include <coroutine>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

/* Log priorities of the system log. */
enum {
    HALVO_LOG_DEBUG = 3,
    HALVO_LOG_INFO = 4,
    HALVO_LOG_WARN = 5,
    HALVO_LOG_ERROR = 6,
};

#define HALVO_LOG_TAG "halvo-api"

#ifndef __FILE_NAME__
#error "the log lines carry the source file's base name: a compiler with __FILE_NAME__ is needed"
#endif

/* Every line: "<file>: <function>(<line>) > <message>".  The log drops
 * lines below its level before it formats anything. */
#define HALVO_LOG(prio, fmt, ...)                                                          \
    __kerlo_print(0, (prio), HALVO_LOG_TAG, "%s: %s(%d) > " fmt, __FILE_NAME__, __func__,  \
                  __LINE__, ##__VA_ARGS__)

#define DBG(fmt, ...) HALVO_LOG(HALVO_LOG_DEBUG, fmt, ##__VA_ARGS__)
#define INFO(fmt, ...) HALVO_LOG(HALVO_LOG_INFO, fmt, ##__VA_ARGS__)
#define WARN(fmt, ...) HALVO_LOG(HALVO_LOG_WARN, fmt, ##__VA_ARGS__)
#define ERR(fmt, ...) HALVO_LOG(HALVO_LOG_ERROR, fmt, ##__VA_ARGS__)
#define ENTER() DBG("ENTER")
#define EXIT() DBG("EXIT")

/* Service coordinates. */
#define HALVO_SERVICE_NAME "com.marlox.tv.bt.connectionmanager"
#define HALVO_SERVICE_PATH "/com/marlox/tv/bt/connectionmanager"
#define HALVO_SERVICE_INTERFACE "org.velmo.pellix.ApiInterface"
#define HALVO_SIGNAL_PATH "/org/velmo/pellix"
#define HALVO_SIGNAL_INTERFACE "org.velmo.pellix"
#define HALVO_METHOD_TIMEOUT_MS 5000

#define HALVO_UPDATE_NAME "com.marlox.tv.bt.updatemanager"
#define HALVO_UPDATE_PATH "/com/marlox/tv/bt/updatemanager"
#define HALVO_UPDATE_INTERFACE "com.marlox.tv.bt.updatemanager"
#define HALVO_UPDATE_TIMEOUT_MS 60000

/* Rows of the internal signal table. */
enum {
    HALVO_SIGNAL_BT_SPK_INFO_CHANGED = 0,
    HALVO_SIGNAL_LAST_CONNECTING_STATUS_CHANGED = 1,
    HALVO_SIGNAL_BT_SPK_VOLUME_CHANGED = 2,
    HALVO_SIGNAL_BT_SPK_VOLUME_CONTROLABLE_CHANGED = 3,
    HALVO_SIGNAL_TUVO_SWITCHING_STATE_CHANGED = 4,
    HALVO_INTERNAL_SIGNAL_COUNT
};

/* Rows of the public signal table, and the event it maps to. */
enum { HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT = 0, HALVO_PUBLIC_SIGNAL_COUNT };
enum { HALVO_EVENT_NONE = 0, HALVO_EVENT_ZEMO_FW_UPDATE_RESULT = 6 };

/* A row of either signal table. */
struct halvo_signal_info_s {
    unsigned int subscription_id;
    const char *interface_name;
    const char *object_path;
    const char *signal_name;
};

/* The tables live in halvo-api-gdbus.cpp. */
extern halvo_signal_info_s inter_signal_info[HALVO_INTERNAL_SIGNAL_COUNT];
extern halvo_signal_info_s signal_info[HALVO_PUBLIC_SIGNAL_COUNT];

/* The library's own system-bus connection, a new reference (or NULL when
 * the bus cannot be reached before the operation's time runs out). */
GDBusConnection *__halvo_api_get_system_connection(void) noexcept;

/* Public signal dispatch (halvo-api-gdbus.cpp). */
void __halvo_api_handle_recieved_signal_cb(GDBusConnection *connection, const gchar *sender_name,
                                           const gchar *object_path, const gchar *interface_name,
                                           const gchar *signal_name, GVariant *parameters,
                                           gpointer user_data) noexcept;

/* ------------------------------------------------------------------ */
/* Owners for C handles: every early return releases what it took.     */
/* ------------------------------------------------------------------ */
namespace halvo_core {

struct VariantUnref {
    void operator()(GVariant *v) const noexcept { g_variant_unref(v); }
};
struct ObjectUnref {
    void operator()(gpointer o) const noexcept { g_object_unref(o); }
};
struct ErrorFree {
    void operator()(GError *e) const noexcept { g_error_free(e); }
};
struct GFree {
    void operator()(gpointer p) const noexcept { g_free(p); }
};
struct CFree {
    void operator()(void *p) const noexcept { free(p); }
};
struct StrvFree {
    void operator()(gchar **v) const noexcept { g_strfreev(v); }
};
struct VariantIterFree {
    void operator()(GVariantIter *i) const noexcept { g_variant_iter_free(i); }
};

using Variant = std::unique_ptr<GVariant, VariantUnref>;
template <typename T> using Object = std::unique_ptr<T, ObjectUnref>;
using Error = std::unique_ptr<GError, ErrorFree>;
using GString_ = std::unique_ptr<char, GFree>;
using CString = std::unique_ptr<char, CFree>;
using Strv = std::unique_ptr<gchar *, StrvFree>;
using VariantIter = std::unique_ptr<GVariantIter, VariantIterFree>;

/* Writes a GError into an owner: `GError *e = nullptr; f(&e); Error err(e);` is
 * spelled `Error err; f(out(err));` */
class ErrorOut {
  public:
    explicit ErrorOut(Error &owner) noexcept : owner_(owner) {}
    ~ErrorOut() { owner_.reset(raw_); }
    operator GError **() noexcept { return &raw_; }

  private:
    Error &owner_;
    GError *raw_ = nullptr;
};
inline ErrorOut out(Error &owner) noexcept { return ErrorOut(owner); }

/* A reply of the expected type, or nothing: a mismatch is "no values". */
inline bool has_type(GVariant *v, const char *type) noexcept
{
    return v != nullptr && g_variant_is_of_type(v, G_VARIANT_TYPE(type));
}

/* GVariant refuses NULL and invalid UTF-8 strings with a critical: such
 * text is turned away before it is packed. */
inline bool valid_text(const char *text) noexcept
{
    return text != nullptr && g_utf8_validate(text, -1, nullptr);
}

/* A method name an application may have repointed: GDBus takes only a
 * member name (ASCII, so also valid UTF-8). */
inline bool valid_method(const char *name) noexcept
{
    return name != nullptr && g_dbus_is_member_name(name);
}

/* Calls @method with @args (taken over) and returns its reply when it is
 * of @type.  A reply of another type answers nothing, like no reply: the
 * caller reports a failed call and writes no output. */
inline GVariant *call_for(const char *method, GVariant *args, const char *type) noexcept
{
    Variant reply(_halvo_api_send_method_call_sync(method, args));
    return has_type(reply.get(), type) ? reply.release() : nullptr;
}

/* Appends to a GSList in O(1) by keeping the tail.  Starts from whatever
 * the caller's list already holds. */
class ListAppender {
  public:
    explicit ListAppender(GSList **head) noexcept : head_(head), tail_(g_slist_last(*head)) {}
    void append(gpointer data) noexcept
    {
        GSList *cell = g_slist_alloc();
        cell->data = data;
        cell->next = nullptr;
        if (tail_ == nullptr)
            *head_ = cell;
        else
            tail_->next = cell;
        tail_ = cell;
    }

  private:
    GSList **head_;
    GSList *tail_;
};

/* Enters a member (or an element) for the lifetime of the scope, and leaves
 * it whatever state the reader is in (json-glib's end after a failed read
 * only clears the error and stays put). */
class MemberScope {
  public:
    /* json-glib checks the reader's node with a critical when there is none
     * (a reader made on an empty parser): ask first. */
    MemberScope(JsonReader *reader, const char *member) noexcept : reader_(reader), element_(false)
    {
        entered_ = json_reader_is_object(reader) && json_reader_read_member(reader, member);
    }
    MemberScope(JsonReader *reader, guint index) noexcept : reader_(reader), element_(true)
    {
        entered_ = json_reader_is_array(reader) && json_reader_read_element(reader, index);
    }
    ~MemberScope()
    {
        /* With an error set, an end only clears it and stays put. */
        bool error = json_reader_get_error(reader_) != nullptr;
        if (error)
            end();
        if (entered_)
            end();
    }
    bool entered() const noexcept { return entered_; }
    MemberScope(const MemberScope &) = delete;
    MemberScope &operator=(const MemberScope &) = delete;

  private:
    void end() noexcept
    {
        if (element_)
            json_reader_end_element(reader_);
        else
            json_reader_end_member(reader_);
    }
    JsonReader *reader_;
    bool element_;
    bool entered_;
};

/* The one lock of the library.  It covers the connection cache, the
 * signal tables, the speaker slots, the earphone record and the registry.
 * Never held across a bus call, a wait or an application's callback. */
extern std::mutex state_lock;
using Locked = std::lock_guard<std::mutex>;

/* The time an operation has, shared by every call it makes on this
 * thread: the outermost scope sets the deadline, inner ones keep it. */
class OperationTime {
  public:
    explicit OperationTime(int bound_ms) noexcept;
    ~OperationTime();
    OperationTime(const OperationTime &) = delete;
    OperationTime &operator=(const OperationTime &) = delete;

  private:
    gint64 saved_;
};
/* What is left of @bound_ms within the operation in hand (0: nothing). */
int remaining_ms(int bound_ms) noexcept;

/* Runs @fn in @context, later, from an idle of @priority.  What the
 * calling thread wrote before is seen there: the hand-over is ordered
 * through an atomic of ours as well as through GLib's locks, which a
 * thread checker does not see. */
void hand_over(GMainContext *context, std::function<void()> fn, int priority = G_PRIORITY_DEFAULT_IDLE) noexcept;

/* Runs @fn on the library's bus thread and returns once it has run.  The
 * bus thread's context is the one the library always iterates: signal
 * subscriptions and store watches live there, so that their events never
 * wait on a thread of the application. */
void run_on_bus(const std::function<void()> &fn) noexcept;

/* The listener registry (halvo-api-listeners.cpp): any number of
 * listeners per event, each called in the thread-default main context of
 * the thread that connected it.  The events arrive on the bus thread and
 * are handed to each listener's context.  The single-slot setters are one
 * listener each. */
namespace listeners {

/* Any callback fits; each event casts it back to its own type. */
typedef void (*any_cb)(void);
/* One event: calls a listener's callback with what it carries. */
using Event = std::function<void(any_cb callback, void *user_data)>;

/* Adds a listener of @event (a halvo_event_e) in the calling thread's
 * context; the first of an event starts following it (a subscription, a
 * store watch).  Never waits on the bus.  0 when following failed.  A
 * NULL callback keeps the source followed and is never called (what a
 * single-slot setter given NULL holds). */
gulong connect(int event, any_cb callback, void *user_data, GDestroyNotify destroy) noexcept;
/* Removes listener @id; returns once it is not running on another thread
 * and will not start (one running on this thread, the caller's own,
 * finishes after).  Its destroy runs once it has returned.  The last of
 * an event stops following it. */
void disconnect(gulong id) noexcept;
/* Whether @event has a listener with a callback. */
bool any(int event) noexcept;
/* Hands @event to every listener of @e, each in its own context; dropped
 * for a listener disconnected before it runs. */
void post(int e, Event event) noexcept;
/* How many disconnects wait for a listener to return (what a test watches). */
int waiting() noexcept;

/* The single-slot setters: @id replaces what the slot of @e held (which is
 * disconnected); 0 empties it.  Returns whether the slot held one. */
bool replace_slot(int e, gulong id) noexcept;

} // namespace listeners

/* What the listener registry calls when an event gains its first listener
 * (@on) or loses its last: each family's own unit follows its source.
 * Returns false when following could not start. */
bool follow_speaker_event(int event, bool on) noexcept; /* halvo-api-internal.cpp */
bool follow_earphones(bool on) noexcept;                /* halvo-api-tuvo-switching.cpp */
bool follow_service(bool on) noexcept;                  /* halvo-api-gdbus.cpp */
/* Subscribes internal signal @row with @handler on the bus thread, now
 * when a bus is there, else once one is (never waiting for it). */
bool want_internal_signal(int row, GDBusSignalCallback handler) noexcept;

/* Whether the reconnection retry is armed; it disarms itself once no
 * wanted row waits for a subscription. */
bool retry_armed() noexcept;

} // namespace halvo_core

/* ------------------------------------------------------------------ */
/* Operations: written once, run blocking or as a GTask               */
/* ------------------------------------------------------------------ */
/* An operation is a coroutine (halvo_core::Op<T>) that builds its request,
 * waits for the reply with `co_await call(...)` and reads it.  Run by
 * run_sync() it never suspends: each call is the blocking transport, on
 * the caller's thread.  Run by start_async() its calls go out with GDBus's
 * asynchronous send and it resumes in the caller's main context when the
 * reply is in; `co_await on_worker()` moves the rest of a store operation
 * to the library's store workers, after which its calls go out from the
 * bus thread; its task always completes in the caller's main context.
 * Either way the same code builds and reads.
 *
 * In a coroutine, a pointer argument may be gone once the coroutine first
 * suspends: read what is needed before the first co_await. */
namespace halvo_core {

/* How the operation in hand has gone so far. */
struct Outcome {
    halvo_failure_e failure = HALVO_FAILURE_NONE; /* what was noted last */
    bool noted = false;    /* a failure was noted and not since answered */
    bool called = false;   /* a request went out (or was tried) */
    bool answered = false; /* the last request got an answer of its type */
    bool settled = false;  /* the operation declared itself a success */
};

/* Notes a failure of the operation in hand; the last one noted counts. */
void note_failure(halvo_failure_e failure) noexcept;
/* The operation in hand succeeded, whatever its value looks like (an
 * answer that is a status rather than a result code). */
void note_success() noexcept;
/* Sets the calling thread's last failure. */
void set_last_failure(halvo_failure_e failure) noexcept;
/* The failure of a plain (non-coroutine) operation with result @rc:
 * 0 none, 3 an invalid argument, anything else @otherwise.  Returns @rc. */
int plain_result(int rc, halvo_failure_e otherwise = HALVO_FAILURE_NO_BUS) noexcept;

/* A request to the service ("(...)" args taken over; NULL for none) whose
 * reply must be of @type (NULL: any).  update: the update manager's
 * firmware request instead (method and args unused). */
struct CallRequest {
    const char *method;
    GVariant *args;
    const char *type;
    bool update;
};
inline CallRequest call(const char *method, GVariant *args, const char *type = nullptr) noexcept
{
    return {method, args, type, false};
}
inline CallRequest update_call() noexcept
{
    return {"ZEMOFW", nullptr, nullptr, true};
}
struct ToWorker {};
inline ToWorker on_worker() noexcept
{
    return {};
}

struct OpPromiseBase;

/* A turn on one stored document.  Every read-modify-write of a document
 * in the process, blocking or not, from any thread, takes its turn in the
 * order the calls were made, and keeps it until its operation ends: the
 * edits then never read the same text.  A blocking call waits for its turn
 * on its own thread, a non-blocking one on the bus thread, holding no
 * thread; either waits no longer than its bound, and a cancelled call
 * leaves the queue at once. */
class DocTurn;
struct TurnWaiter;
struct TakeTurn {
    DocTurn *turn;
};

class DocTurn {
  public:
    explicit DocTurn(const char *key) noexcept;
    ~DocTurn();
    DocTurn(const DocTurn &) = delete;
    DocTurn &operator=(const DocTurn &) = delete;
    /* `if (!co_await turn.take())`: false, with the failure noted, when the
     * wait ended without the turn (cancelled, or out of time). */
    TakeTurn take() noexcept { return {this}; }

    const char *key_; /* a constant of the library */
    bool held_ = false;
};

/* What an _async call keeps until its _finish: the outputs (owned, freed
 * with @release unless handed over), and how it ended. */
struct Held {
    int ints[2] = {0, 0};
    bool flag = false;
    char *text = nullptr;             /* freed with free() unless handed over */
    gpointer owned = nullptr;         /* a record or list */
    void (*release)(gpointer) = nullptr;
    Held() = default;
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;
    ~Held()
    {
        free(text);
        if (owned != nullptr && release != nullptr)
            release(owned);
    }
};

struct AsyncStateBase {
    Held held;
    halvo_failure_e failure = HALVO_FAILURE_NONE;
    bool returned = false; /* the task has its result */
    bool finished = false; /* _finish has taken it */
    virtual ~AsyncStateBase() = default;
};
template <typename T> struct AsyncState : AsyncStateBase {
    T result{};
};

struct OpPromiseBase {
    Outcome outcome;
    bool async = false;
    /* Where an asynchronous run is: in its own context, on a store worker,
     * or on the bus thread.  Once it has left its context it never needs
     * it again until it ends, so a blocking call made there meanwhile
     * cannot hold it up. */
    enum { HOME, WORKER, BUS } where = HOME;
    GTask *task = nullptr; /* async: the task it returns (a reference) */
    GTask **done = nullptr; /* async: where the resume that ends it wants the task */
    gint64 deadline = 0;   /* async: monotonic microseconds */
    int bound_ms = HALVO_METHOD_TIMEOUT_MS;

    std::suspend_always initial_suspend() noexcept { return {}; }
    void unhandled_exception() noexcept { std::terminate(); }
};

/* The promise of the operation running on this thread (set around each
 * resume), for note_failure(). */
OpPromiseBase *&current_op() noexcept;

/* Resumes @h with its promise as the operation in hand.  When the
 * operation ends in this resume, its task completes (and the
 * application's callback may run) only after the operation is no longer
 * the one in hand: nothing of the application runs on a frame that is
 * gone. */
void resume_op(std::coroutine_handle<> h, OpPromiseBase *promise) noexcept;


/* The awaiters; their work is in halvo-api-gdbus.cpp. */
struct CallAwaiter {
    OpPromiseBase *op;
    std::coroutine_handle<> handle;
    CallRequest request;
    GVariant *reply = nullptr;
    bool await_ready() noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> h) noexcept;
    GVariant *await_resume() noexcept { return reply; }
    /* Sends the request without waiting; false when it settled at once. */
    bool send() noexcept;
};
struct TurnAwaiter {
    OpPromiseBase *op;
    DocTurn *turn;
    halvo_failure_e failure = HALVO_FAILURE_NONE; /* why there is no turn */
    TurnWaiter *waiter = nullptr; /* while queued without blocking */
    bool await_ready() noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> h) noexcept;
    bool await_resume() noexcept;
};
struct WorkerAwaiter {
    OpPromiseBase *op;
    bool await_ready() noexcept { return !op->async || op->where == OpPromiseBase::WORKER; }
    void await_suspend(std::coroutine_handle<> h) noexcept;
    void await_resume() noexcept {}
};

template <typename T> halvo_failure_e final_failure(const Outcome &o, const T &value) noexcept
{
    bool ok;
    if constexpr (std::is_same_v<T, bool>)
        ok = value;
    else if constexpr (std::is_same_v<T, const char *>)
        ok = value != nullptr && strcmp(value, "OK") == 0;
    else
        ok = value == HALVO_ERROR_NONE;
    if (ok || o.settled)
        return HALVO_FAILURE_NONE;
    if (o.noted)
        return o.failure;
    if (o.answered)
        return HALVO_FAILURE_SERVICE_ANSWERED;
    /* An int operation's failure with nothing noted is its store's: the
     * stored-list edits rely on it rather than noting it themselves. */
    if constexpr (std::is_same_v<T, int>)
        return value == HALVO_ERROR_INVALID_PARAMETER ? HALVO_FAILURE_INVALID_ARGUMENT : HALVO_FAILURE_STORE;
    else
        return HALVO_FAILURE_INVALID_ARGUMENT;
}

/* Whether the operation in hand runs as a call that has been cancelled:
 * a store edit checks it just before it writes. */
inline bool op_cancelled() noexcept
{
    OpPromiseBase *p = current_op();
    return p != nullptr && p->async && g_cancellable_is_cancelled(g_task_get_cancellable(p->task));
}

/* Completes the task of an asynchronous run; the frame is already gone. */
void complete_task(GTask *task) noexcept;

/* An asynchronous run ended: its task completes in its own main context,
 * never on a worker, and never while the frame is the operation in hand. */
void task_ended(OpPromiseBase &op, GTask *task) noexcept;

template <typename T> class Op {
  public:
    struct promise_type : OpPromiseBase {
        T value{};
        Op get_return_object() noexcept { return Op(std::coroutine_handle<promise_type>::from_promise(*this)); }
        void return_value(T v) noexcept { value = v; }
        CallAwaiter await_transform(CallRequest r) noexcept { return {this, {}, r}; }
        WorkerAwaiter await_transform(ToWorker) noexcept { return {this}; }
        TurnAwaiter await_transform(TakeTurn t) noexcept { return {this, t.turn, HALVO_FAILURE_NONE, nullptr}; }
        struct Final {
            bool await_ready() noexcept { return false; }
            void await_suspend(std::coroutine_handle<promise_type> h) noexcept
            {
                promise_type &p = h.promise();
                if (!p.async)
                    return; /* run_sync reads the value, then destroys */
                GTask *task = p.task;
                auto *state = static_cast<AsyncState<T> *>(g_task_get_task_data(task));
                state->result = p.value;
                state->failure = final_failure(p.outcome, p.value);
                task_ended(p, task);
                h.destroy();
            }
            void await_resume() noexcept {}
        };
        Final final_suspend() noexcept { return {}; }
    };
    using handle_type = std::coroutine_handle<promise_type>;

    explicit Op(handle_type h) noexcept : h_(h) {}
    Op(Op &&o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
    Op(const Op &) = delete;
    Op &operator=(const Op &) = delete;
    ~Op()
    {
        if (h_)
            h_.destroy();
    }

    /* Runs to the end on this thread within @bound_ms, and sets the
     * thread's last failure. */
    T run(int bound_ms) noexcept
    {
        OperationTime time(bound_ms);
        resume_op(h_, &h_.promise());
        promise_type &p = h_.promise();
        set_last_failure(final_failure(p.outcome, p.value));
        return p.value;
    }
    /* Starts it as @task's work (the task's data an AsyncState<T>); the
     * frame then belongs to the run, which ends it. */
    void start(GTask *task, int bound_ms) noexcept
    {
        promise_type &p = h_.promise();
        p.async = true;
        p.task = task;
        p.bound_ms = bound_ms;
        p.deadline = g_get_monotonic_time() + gint64(bound_ms) * 1000;
        resume_op(std::exchange(h_, nullptr), &p);
    }

  private:
    handle_type h_;
};

template <typename T> T run_sync(Op<T> op, int bound_ms = HALVO_METHOD_TIMEOUT_MS) noexcept
{
    return op.run(bound_ms);
}

/* Starts @op (made with outputs in the state's Held) as an _async call.
 * @make receives the Held and returns the Op. */
template <typename T, typename Make>
void start_async(void *tag, GCancellable *cancellable, GAsyncReadyCallback callback, gpointer user_data,
                 Make make, int bound_ms = HALVO_METHOD_TIMEOUT_MS) noexcept
{
    GTask *task = g_task_new(nullptr, cancellable, callback, user_data);
    g_task_set_source_tag(task, tag);
    auto *state = new AsyncState<T>;
    g_task_set_task_data(task, state, [](gpointer d) { delete static_cast<AsyncStateBase *>(d); });
    Op<T> op = make(state->held);
    op.start(task, bound_ms);
}

/* The state of @result when it is an unfinished task of @tag; sets the
 * thread's last failure.  NULL, with *@cancelled set when it was
 * cancelled, otherwise for a result that is not one of ours. */
AsyncStateBase *finish_state(GAsyncResult *result, void *tag, bool *cancelled) noexcept;

/* The common shape of a _finish: @failed for a foreign result, @on_cancel
 * for a cancelled one; otherwise @take(state) hands the outputs over and
 * the operation's own result is returned. */
template <typename T, typename Take>
T finish_async(GAsyncResult *result, void *tag, T failed, T on_cancel, Take take) noexcept
{
    bool cancelled = false;
    auto *state = static_cast<AsyncState<T> *>(finish_state(result, tag, &cancelled));
    if (state == nullptr)
        return cancelled ? on_cancel : failed;
    /* Outputs are written only when an answer came, as the blocking call
     * writes them. */
    if (state->failure == HALVO_FAILURE_NONE || state->failure == HALVO_FAILURE_SERVICE_ANSWERED)
        take(state->held);
    return state->result;
}
template <typename T> T finish_async(GAsyncResult *result, void *tag, T failed, T on_cancel) noexcept
{
    return finish_async<T>(result, tag, failed, on_cancel, [](Held &) {});
}

/* Appends the list an _async gathered to the caller's, as the blocking
 * call appends to it. */
inline void append_held_list(Held &held, GSList **list) noexcept
{
    *list = g_slist_concat(*list, static_cast<GSList *>(std::exchange(held.owned, nullptr)));
}

/* The _finish of an operation that reads a list into the caller's. */
inline int finish_list(GAsyncResult *result, void *tag, GSList **list) noexcept
{
    if (list == nullptr)
        return plain_result(HALVO_ERROR_INVALID_PARAMETER);
    return finish_async<int>(result, tag, HALVO_ERROR_INVALID_PARAMETER, HALVO_ERROR_CANCELLED,
                             [&](Held &held) { append_held_list(held, list); });
}

} // namespace halvo_core

/* ------------------------------------------------------------------ */
/* JSON (halvo-api-jsontool.cpp)                                       */
/* ------------------------------------------------------------------ */

/* A reader on the parser's root, or, when there is none (empty or refused
 * text), on a JSON null: every read then fails cleanly instead of
 * tripping json-glib's checks on a missing node. */
JsonReader *halvo_json_reader_new(JsonParser *parser) noexcept;

/* Nesting bound of every document the library parses. */
#define HALVO_JSON_MAX_DEPTH 256

/* Parses text that comes from another process.  A document nested deeper
 * than HALVO_JSON_MAX_DEPTH is refused before json-glib sees it (its parser
 * recurses), and so is one with an array or object after its value (which
 * json-glib leaks), with the same outcome as text that is not JSON: false
 * and an empty parser.  @length -1 means zero-terminated. */
bool halvo_json_parse(JsonParser *parser, const char *text, gssize length) noexcept;

/* True when @text (of @length bytes, -1 for zero-terminated) nests arrays
 * and objects no deeper than @max_depth. */
bool halvo_json_depth_ok(const char *text, gssize length, int max_depth) noexcept;

/* @text with one member of a stored document changed in place, every other
 * byte kept (g_free).  @path names the member through @depth nested
 * objects; @value is the JSON text it is set to (the member is added after
 * the object's last one when missing), or NULL to remove it with one comma.
 * NULL when that cannot be done safely: the text is not plain JSON, a name
 * on the path is missing or appears twice, or json-glib would not read the
 * result as exactly that change. */
char *halvo_json_splice(const char *text, const char *const *path, int depth, const char *value) noexcept;

#endif /* HALVO_API_PRIVATE_H */
