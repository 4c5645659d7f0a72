/* The non-blocking calls: where and when they finish, cancellation in
 * every state, calls in flight when the service or the bus goes away, and
 * the failure detail of both paths. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

using namespace halvo_test;

namespace {

const char *const ADDRESS = "AA:BB:CC:DD:EE:01";

/* What one call's callback saw. */
struct Done {
    int calls = 0;
    int rc = -1000;
    int value = -1;
    halvo_failure_e failure = HALVO_FAILURE_NONE;
    GThread *thread = nullptr;
    GAsyncResult *result = nullptr; /* kept when asked to */
    bool keep = false;
};

void volume_done(GObject *, GAsyncResult *result, gpointer data)
{
    auto *d = static_cast<Done *>(data);
    d->calls++;
    d->thread = g_thread_self();
    d->rc = halvo_api_get_volume_finish(result, &d->value);
    d->failure = halvo_api_last_failure();
    if (d->keep)
        d->result = G_ASYNC_RESULT(g_object_ref(result));
}

bool all_done(const std::vector<Done> &done)
{
    for (const Done &d : done)
        if (d.calls == 0)
            return false;
    return true;
}

void expect_once(const std::vector<Done> &done, int rc, halvo_failure_e failure)
{
    for (const Done &d : done) {
        EXPECT_EQ(d.calls, 1);
        EXPECT_EQ(d.rc, rc);
        EXPECT_EQ(d.failure, failure) << halvo_api_failure_name(d.failure);
        EXPECT_EQ(d.value, -1) << "a failed call writes no output";
    }
}

bool held_calls(size_t n)
{
    return Peer::calls("get_volume_by_address").size() == n;
}

} // namespace

TEST(Async, TwentyReadsOverlapOnTheBusAndTheLoopKeepsTurning)
{
    Peer::hold("get_volume_by_address", g_variant_new("(ii)", 0, 42));
    std::vector<Done> done(20);
    for (Done &d : done)
        halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &d);
    /* All twenty are at the service at once, none answered, and the main
     * loop turns meanwhile: nothing waits for an answer. */
    int ticks = 0;
    GSource *tick = g_timeout_source_new(10);
    g_source_set_callback(
        tick, [](gpointer t) -> gboolean { return ++*static_cast<int *>(t) > 0; }, &ticks, nullptr);
    g_source_attach(tick, g_main_context_get_thread_default());
    EXPECT_TRUE(run_until([&] { return held_calls(20) && ticks >= 3; }));
    EXPECT_EQ(done[19].calls, 0);
    Peer::release("get_volume_by_address");
    EXPECT_TRUE(run_until([&] { return all_done(done); }));
    g_source_destroy(tick);
    g_source_unref(tick);
    for (const Done &d : done) {
        EXPECT_EQ(d.calls, 1);
        EXPECT_EQ(d.rc, 0);
        EXPECT_EQ(d.value, 42);
        EXPECT_EQ(d.failure, HALVO_FAILURE_NONE);
        EXPECT_EQ(d.thread, g_thread_self());
    }
}

/* The callback runs in the main context of the thread that started the
 * call (the twin tables hold "never inside _async"); a foreign or spent
 * result is refused without a critical. */
TEST(Async, TheCallbackRunsWhereTheCallStartedAndOnlyThere)
{
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 7));
    Done remote;
    remote.keep = true;
    std::atomic<bool> started{false};
    std::thread other([&] {
        GMainContext *ctx = g_main_context_new();
        g_main_context_push_thread_default(ctx);
        halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &remote);
        started = true;
        while (remote.calls == 0)
            g_main_context_iteration(ctx, TRUE);
        g_main_context_pop_thread_default(ctx);
        g_main_context_unref(ctx);
    });
    /* Answered while this thread iterates its own context: not here. */
    EXPECT_TRUE(run_until([&] { return started && held_calls(1); }));
    other.join();
    EXPECT_EQ(remote.rc, 0);
    EXPECT_EQ(remote.value, 7);
    EXPECT_NE(remote.thread, g_thread_self());

    int volume = -1;
    EXPECT_EQ(halvo_api_get_volume_finish(remote.result, &volume), 3) << "finished twice";
    EXPECT_EQ(halvo_api_get_volume_finish(nullptr, &volume), 3);
    GTask *foreign = g_task_new(nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(halvo_api_get_volume_finish(G_ASYNC_RESULT(foreign), &volume), 3);
    EXPECT_EQ(halvo_api_last_failure(), HALVO_FAILURE_INVALID_ARGUMENT);
    EXPECT_EQ(volume, -1);
    g_object_unref(foreign);
    g_object_unref(remote.result);
}

/* Cancelled before it is sent, while the service holds it, from another
 * thread, and after the answer came but before the callback ran: the
 * callback runs once, promptly, and the call writes nothing. */
TEST(Async, ACancelledCallFinishesOnceAndWritesNothing)
{
    enum When { BEFORE, IN_FLIGHT, OTHER_THREAD, ANSWERED };
    for (When when : {BEFORE, IN_FLIGHT, OTHER_THREAD, ANSWERED}) {
        SCOPED_TRACE(when);
        Peer::reset();
        if (when == ANSWERED)
            Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 9));
        else
            Peer::hold("get_volume_by_address", g_variant_new("(ii)", 0, 9));
        GCancellable *cancel = g_cancellable_new();
        std::vector<Done> done(1);
        if (when == BEFORE)
            g_cancellable_cancel(cancel);
        if (when != ANSWERED) {
            halvo_api_get_volume_async(ADDRESS, cancel, volume_done, &done[0]);
            EXPECT_EQ(done[0].calls, 0);
            if (when != BEFORE) {
                ASSERT_TRUE(run_until([] { return held_calls(1); }));
            }
            if (when == IN_FLIGHT)
                g_cancellable_cancel(cancel);
            if (when == OTHER_THREAD)
                std::thread([cancel] { g_cancellable_cancel(cancel); }).join();
            /* Finished while the service still holds the call. */
            EXPECT_TRUE(run_until([&] { return all_done(done); }));
            Peer::release("get_volume_by_address");
        } else {
            /* Started on a thread whose context waits: the answer is in
             * (the bus has passed it on) before the cancel. */
            std::atomic<int> step{0};
            std::thread other([&] {
                GMainContext *ctx = g_main_context_new();
                g_main_context_push_thread_default(ctx);
                halvo_api_get_volume_async(ADDRESS, cancel, volume_done, &done[0]);
                step = 1;
                while (step != 2)
                    g_thread_yield();
                while (done[0].calls == 0)
                    g_main_context_iteration(ctx, TRUE);
                g_main_context_pop_thread_default(ctx);
                g_main_context_unref(ctx);
            });
            ASSERT_TRUE(run_until([&] { return step == 1 && held_calls(1); }));
            flush_system_bus();
            g_cancellable_cancel(cancel);
            step = 2;
            other.join();
        }
        expect_once(done, HALVO_ERROR_CANCELLED, HALVO_FAILURE_CANCELLED);
        EXPECT_EQ(Peer::calls("get_volume_by_address").size(), when == BEFORE ? 0u : 1u);
        g_object_unref(cancel);
    }
}

/* Calls in flight when the service goes, or the bus daemon dies, each
 * finish once with a failure; the bus back, calls work again. */
TEST(Async, CallsInFlightFailOnceWhenTheServiceOrTheBusGoes)
{
    Peer::hold("get_volume_by_address", g_variant_new("(ii)", 0, 1));
    std::vector<Done> done(3);
    for (Done &d : done)
        halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &d);
    ASSERT_TRUE(run_until([] { return held_calls(3); }));
    Peer::stop();
    EXPECT_TRUE(run_until([&] { return all_done(done); }));
    expect_once(done, HALVO_ERROR_OPERATION_FAILED, HALVO_FAILURE_NO_SERVICE);
    Peer::start();

    OwnBus own;
    own.bus.start_peer();
    g_autoptr(GVariant) held =
        own.bus.control("SetHeld", g_variant_new("(sv)", "get_volume_by_address", g_variant_new("(ii)", 0, 1)));
    std::vector<Done> cut(3);
    for (Done &d : cut)
        halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &d);
    ASSERT_TRUE(run_until([&] {
        g_autoptr(GVariant) calls = own.bus.control("GetCalls", nullptr, "(a(sssavb))");
        g_autoptr(GVariant) list = calls ? g_variant_get_child_value(calls, 0) : nullptr;
        return list && g_variant_n_children(list) == 3;
    }));
    own.bus.kill_daemon();
    EXPECT_TRUE(run_until([&] { return all_done(cut); }));
    expect_once(cut, HALVO_ERROR_OPERATION_FAILED, HALVO_FAILURE_NO_BUS);

    own.bus.stop_peer(); /* it lost its bus: reaped */
    own.bus.start_daemon();
    own.bus.start_peer();
    own.bus.reply("get_volume_by_address", g_variant_new("(ii)", 0, 5));
    std::vector<Done> again(1);
    halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &again[0]);
    EXPECT_TRUE(run_until([&] { return all_done(again); }));
    EXPECT_EQ(again[0].rc, 0);
    EXPECT_EQ(again[0].value, 5);
}

/* One table of what went wrong, asked both ways: the blocking call and
 * the non-blocking one agree on the result, the output and the kind.  An
 * answer, an invalid argument and an error reply are in the twin tables. */
TEST(FailureDetail, BothPathsTellTheSameKindOfFailure)
{
    struct Row {
        const char *name;
        std::function<void()> script;
        int rc;
        int value;
        halvo_failure_e failure;
    };
    const Row rows[] = {
        {"the service's own 3", [] { Peer::reply("get_volume_by_address", g_variant_new("(ii)", 3, 30)); },
         3, 30, HALVO_FAILURE_SERVICE_ANSWERED},
        {"reply of another type", [] { Peer::reply("get_volume_by_address", g_variant_new("(s)", "30")); }, 5, -1,
         HALVO_FAILURE_BAD_REPLY},
        {"no service", [] { Peer::stop(); }, 5, -1, HALVO_FAILURE_NO_SERVICE},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (!Peer::running())
            Peer::start();
        Peer::reset();
        row.script();
        int value = -1;
        EXPECT_EQ(halvo_api_get_volume(ADDRESS, &value), row.rc);
        EXPECT_EQ(halvo_api_last_failure(), row.failure) << halvo_api_failure_name(halvo_api_last_failure());
        EXPECT_EQ(value, row.value);
        Done d;
        halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &d);
        EXPECT_TRUE(run_until([&] { return d.calls == 1; }));
        EXPECT_EQ(d.rc, row.rc);
        EXPECT_EQ(d.failure, row.failure) << halvo_api_failure_name(d.failure);
        EXPECT_EQ(d.value, row.value);
    }
    Peer::start();
    EXPECT_STREQ(halvo_api_failure_name(HALVO_FAILURE_NO_SERVICE), "no service");
    EXPECT_STREQ(halvo_api_failure_name(halvo_failure_e(99)), "unknown failure");
}

/* A silent service: both ways time out at the bound, and the non-blocking
 * one waits alongside the blocking one. */
TEST(FailureDetail, ASilentServiceTimesOutBothWays)
{
    Peer::silent("get_volume_by_address");
    Done d;
    halvo_api_get_volume_async(ADDRESS, nullptr, volume_done, &d);
    int value = -1;
    EXPECT_EQ(halvo_api_get_volume(ADDRESS, &value), 5);
    EXPECT_EQ(halvo_api_last_failure(), HALVO_FAILURE_TIMEOUT);
    EXPECT_TRUE(run_until([&] { return d.calls == 1; }));
    EXPECT_EQ(d.rc, 5);
    EXPECT_EQ(d.failure, HALVO_FAILURE_TIMEOUT);
}
