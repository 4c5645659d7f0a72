/* The non-blocking calls: where and when they finish, cancellation, and
 * calls in flight when the service or the bus goes away. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <string>
#include <thread>
#include <vector>

using namespace halvo_test;

namespace {

/* What one call's callback saw. */
struct Done {
    int calls = 0;
    int rc = -1000;
    int value = -1;
    halvo_failure_e failure = HALVO_FAILURE_NONE;
    GThread *thread = nullptr;
};

void volume_done(GObject *, GAsyncResult *result, gpointer data)
{
    auto *d = static_cast<Done *>(data);
    d->calls++;
    d->thread = g_thread_self();
    d->rc = halvo_api_get_volume_finish(result, &d->value);
    d->failure = halvo_api_last_failure();
}

} // namespace

TEST(Async, TwentyReadsOverlapOnTheBusAndTheLoopKeepsTurning)
{
    Peer::hold("get_volume_by_address", g_variant_new("(ii)", 0, 42));
    std::vector<Done> done(20);
    for (Done &d : done)
        halvo_api_get_volume_async("AA:BB:CC:DD:EE:01", nullptr, volume_done, &d);
    /* All twenty are at the service at once, none answered, and the main
     * loop turns meanwhile. */
    int ticks = 0;
    GSource *tick = g_timeout_source_new(10);
    g_source_set_callback(tick, [](gpointer t) -> gboolean { ++*static_cast<int *>(t); return G_SOURCE_CONTINUE; }, &ticks,
                          nullptr);
    g_source_attach(tick, g_main_context_get_thread_default());
    EXPECT_TRUE(run_until([&] { return Peer::calls("get_volume_by_address").size() == 20 && ticks >= 3; }));
    for (const Done &d : done)
        EXPECT_EQ(d.calls, 0);
    Peer::release("get_volume_by_address");
    EXPECT_TRUE(run_until([&] {
        for (const Done &d : done)
            if (d.calls == 0)
                return false;
        return true;
    }));
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
