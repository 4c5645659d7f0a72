/* A randomized run of the non-blocking API.  Threads, each iterating a
 * main context of its own, start random calls, cancel a share of them
 * (their own and other threads'), and set and unset callbacks, while the
 * test's thread makes the service hold its answers, go silent, restart,
 * vanish and come back.  HALVO_RANDOM_SEED replays a run's choices;
 * HALVO_RANDOM_SECONDS bounds it (5 s by default). */
#include "bus-fixture.h"

#include <halvo/halvo.hpp>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <thread>

using namespace halvo_test;

namespace {

const char *const ADDRESS = "AA:01";
constexpr int kThreads = 4, kOpen = 24, kBlocked = 300, kSynced = 100;

struct Worker;

/* One call, started by @owner; any thread may cancel it. */
struct Pending {
    Worker *owner;
    size_t op;
    std::string arg;
    GCancellable *cancellable = nullptr;
    halvo::Call call; /* the C++ layer's */
    std::atomic<int> runs{0};
    std::atomic<bool> begun{false}, cancel_first{false}, cancel_returned{false};
    int rc = -1000;
    ~Pending() { g_clear_object(&cancellable); }
    bool done() const;
    std::string name() const;
};

std::mutex g_lock; /* guards g_calls and g_failures */
std::vector<std::unique_ptr<Pending>> g_calls;
std::map<std::string, int> g_failures; /* what went wrong, and how often */
std::atomic<bool> g_stop{false};
std::atomic<int> g_finished{0}, g_heard{0};

void fail(const std::string &what)
{
    std::lock_guard<std::mutex> hold(g_lock);
    g_failures[what]++;
}

/* "B007": a blocked device's address; "K007": an info-sync device's key. */
std::string key_of(char c, int i)
{
    char key[8];
    snprintf(key, sizeof key, "%c%03d", c, i);
    return key;
}

/* A success whose outputs are not the service's answers 1000. */
int wrong_if(int rc, bool wrong) { return rc == 0 && wrong ? 1000 : rc; }
template <typename Finish, typename Free> int two_of(GAsyncResult *r, Finish finish, Free drop)
{
    GSList *list = nullptr;
    int rc = finish(r, &list), n = int(g_slist_length(list));
    if (list)
        drop(&list);
    return wrong_if(rc, n != 2);
}

/* The C pairs: a start, and a finish that folds the outputs into its result. */
struct Op {
    const char *name;
    void (*start)(Pending *p, GAsyncReadyCallback cb);
    int (*finish)(GAsyncResult *r);
};
#define ASYNC p->cancellable, cb, p
#define OP(NAME, START, ...)                                                                                   \
    {NAME, [](Pending *p, GAsyncReadyCallback cb) { START; }, [](GAsyncResult *r) { __VA_ARGS__; }}
const Op kOps[] = {
    OP("volume", halvo_api_get_volume_async(ADDRESS, ASYNC), int v = 0; int rc = halvo_api_get_volume_finish(r, &v);
       return wrong_if(rc, v != 7)),
    OP("set volume", halvo_api_set_volume_async(ADDRESS, 9, ASYNC), return halvo_api_set_volume_finish(r)),
    OP("mute", halvo_api_get_mute_state_async(ASYNC), bool m; return halvo_api_get_mute_state_finish(r, &m)),
    OP("set mute", halvo_api_set_mute_async(p->arg == "1", ASYNC), return halvo_api_set_mute_finish(r)),
    OP("speakers with volumes", halvo_api_speakers_with_volumes_async(ASYNC),
       return two_of(r, halvo_api_speakers_with_volumes_finish, halvo_free_speakers_with_volumes)),
    OP("last speakers", halvo_get_last_bluetooth_speakers_async(ASYNC),
       return two_of(r, halvo_get_last_bluetooth_speakers_finish, halvo_free_last_bluetooth_speakers)),
    OP("remove blocked", halvo_remove_pairing_blocked_devices_async(p->arg.c_str(), ASYNC),
       return halvo_remove_pairing_blocked_devices_finish(r)),
    OP("remove info-sync", halvo_remove_info_sync_device_async(p->arg.c_str(), ASYNC),
       return halvo_remove_info_sync_device_finish(r)),
    OP("device info", halvo_get_paired_dev_info_async(ADDRESS, ASYNC), halvo_device_info_s *info = nullptr;
       int rc = halvo_get_paired_dev_info_finish(r, &info); bool wrong = !info || str(info->address) != ADDRESS;
       halvo_free_paired_dev_info(info); return wrong_if(rc, wrong)),
    OP("speaker count", halvo_api_get_num_of_connected_spaker_async(ASYNC), int n = 0;
       int rc = halvo_api_get_num_of_connected_spaker_finish(r, &n); return wrong_if(rc, n != 2)),
};
#undef OP
#undef ASYNC
constexpr size_t kBlockedOp = 6, kSyncedOp = 7, kCxx = std::size(kOps); /* kCxx: halvo::async::volume */

bool Pending::done() const { return runs > 0 || (op == kCxx && cancel_returned && !call.active()); }
std::string Pending::name() const { return op < kCxx ? kOps[op].name : "C++ volume"; }

struct Worker {
    std::mt19937 rng;
    GMainContext *ctx = g_main_context_new();
    std::atomic<GThread *> thread{nullptr};
    std::atomic<bool> armed[3] = {}; /* its set of the family returned, and no unset since */
    std::vector<Pending *> open;
    std::thread runner;
    ~Worker() { g_main_context_unref(ctx); }
    void run();
    void start();
    void toggle(int family);
};

/* Every call's callback: once, in its starter's context. */
void landed(Pending *p)
{
    if (p->runs++ != 0)
        fail(p->name() + ": callback ran twice");
    if (g_thread_self() != p->owner->thread)
        fail(p->name() + ": callback ran outside its starter's thread");
    g_finished++;
}

/* From any thread.  A C call whose callback had not begun must then
 * finish cancelled; a C++ callable must not start. */
void cancel(Pending *p)
{
    if (p->op == kCxx)
        p->call.cancel();
    else if (p->cancellable)
        g_cancellable_cancel(p->cancellable);
    else
        return;
    if (!p->begun)
        p->cancel_first = true;
    p->cancel_returned = true;
}

void heard(void *data, int family)
{
    auto *w = static_cast<Worker *>(data);
    if (g_thread_self() != w->thread)
        fail("callback family " + std::to_string(family) + " ran outside its setter's thread");
    if (!w->armed[family])
        fail("callback family " + std::to_string(family) + " ran after its setter's unset returned");
    g_heard++;
}

const struct {
    int (*set)(Worker *w);
    int (*unset)();
} kFamilies[] = {
    {[](Worker *w) {
         return halvo_api_set_volume_changed_callback([](const char *, int, void *d) { heard(d, 0); }, w);
     },
     halvo_api_unset_volume_changed_callback},
    {[](Worker *w) { return halvo_api_set_mute_changed_callback([](bool, void *d) { heard(d, 1); }, w); },
     halvo_api_unset_mute_changed_callback},
    {[](Worker *w) {
         return halvo_set_last_bluetooth_speakers_connecting_status_changed_cb([](int, void *d) { heard(d, 2); }, w);
     },
     halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb},
};

void Worker::start()
{
    auto p = std::make_unique<Pending>();
    Pending *raw = p.get();
    p->owner = this;
    p->op = rng() % (kCxx + 1);
    /* Even entries only: each removal has neighbours that none asks for. */
    p->arg = p->op == kBlockedOp  ? key_of('B', 2 * int(rng() % (kBlocked / 2)))
             : p->op == kSyncedOp ? key_of('K', 2 * int(rng() % (kSynced / 2)))
                                  : std::to_string(rng() % 2);
    if (p->op == kCxx) {
        p->call = halvo::async::volume(ADDRESS, [raw](halvo::Result<int> v) {
            if (raw->cancel_returned)
                fail("C++ volume: callable started after its cancel returned");
            raw->rc = wrong_if(v.code(), v && *v != 7);
            landed(raw);
        });
    } else {
        if (rng() % 4 != 0)
            p->cancellable = g_cancellable_new();
        kOps[p->op].start(raw, [](GObject *, GAsyncResult *r, gpointer data) {
            auto *p = static_cast<Pending *>(data);
            p->begun = true;
            p->rc = kOps[p->op].finish(r);
            landed(p);
        });
    }
    open.push_back(raw);
    std::lock_guard<std::mutex> hold(g_lock);
    g_calls.push_back(std::move(p));
}

void Worker::toggle(int f)
{
    const bool set = !armed[f];
    armed[f] = set; /* before the set returns: a delivery may come at once */
    int rc = set ? kFamilies[f].set(this) : kFamilies[f].unset();
    armed[f] = set && rc == 0;
    if (rc != 0 && (set || rc != HALVO_ERROR_INVALID_PARAMETER)) /* 3: another thread's unset came first */
        fail((set ? "set of family " : "unset of family ") + std::to_string(f) + " answered " + std::to_string(rc));
}

void Worker::run()
{
    thread = g_thread_self();
    g_main_context_push_thread_default(ctx);
    auto prune = [this] { std::erase_if(open, [](Pending *p) { return p->done(); }); };
    while (!g_stop) {
        prune();
        /* Start a call, cancel one of the last 64 of any thread or one of
         * its own, or toggle a callback; with many calls open, wait or cancel. */
        const unsigned r = rng() % 100;
        const bool full = open.size() >= kOpen;
        if (r >= 98)
            toggle(int(rng() % 3));
        else if (full && r < 50)
            g_main_context_iteration(ctx, TRUE);
        else if (r < 70 && !full)
            start();
        else if (r < 84 && !full) {
            std::unique_lock<std::mutex> hold(g_lock);
            const size_t n = g_calls.size();
            Pending *p = n ? g_calls[n - 1 - rng() % std::min<size_t>(n, 64)].get() : nullptr;
            hold.unlock();
            if (p)
                cancel(p);
        } else if (!open.empty())
            cancel(open[rng() % open.size()]);
        for (unsigned i = rng() % 4; i > 0; i--)
            g_main_context_iteration(ctx, FALSE);
    }
    /* Held calls were released; silent ones time out (5 s). */
    if (!run_until([&] { prune(); return open.empty(); }, 20000))
        fail(std::to_string(open.size()) + " calls never finished");
    for (int f = 0; f < 3; f++)
        if (armed[f])
            toggle(f);
    g_main_context_pop_thread_default(ctx);
}

/* The service's answers; a held call is released with its method's. */
const char *const kAnswers[][2] = {
    {"get_volume_by_address", "(0, 7)"},
    {"get_volume_controlable_by_address", "(0, 1)"},
    {"set_volume_by_address", "(0,)"},
    {"spk_mute_unmute", "(0,)"},
    {"get_num_of_speaker", "(0, 2)"},
    {"get_device_info", R"(('{"result":true,"data":{"address":"AA:01","name":"one"}}',))"},
    {"get_device_type", "(2,)"},
};
void answer_all()
{
    for (const auto &a : kAnswers)
        Peer::reply(a[0], g_variant_new_parsed(a[1]));
}

std::string numbered(char c, int n, const char *value)
{
    std::string doc = "{";
    for (int i = 0; i < n; i++)
        doc += (i ? ",\"" : "\"") + key_of(c, i) + "\":" + value;
    return doc + "}";
}

} // namespace

TEST(Random, CallsCancelsAndCallbacksWhileTheServiceMisbehaves)
{
    const char *env = getenv("HALVO_RANDOM_SEED");
    const unsigned seed = env ? unsigned(strtoul(env, nullptr, 10)) : unsigned(g_get_real_time());
    const int seconds = getenv("HALVO_RANDOM_SECONDS") ? atoi(getenv("HALVO_RANDOM_SECONDS")) : 5;
    SCOPED_TRACE("replay with HALVO_RANDOM_SEED=" + std::to_string(seed));
    RecordProperty("seed", std::to_string(seed));
    printf("HALVO_RANDOM_SEED=%u, %d s\n", seed, seconds);
    fflush(stdout);

    answer_all();
    store_write(kConnectedKey, R"([{"address":"AA:01"},{"address":"AA:02"}])");
    store_write(kLastKey, R"([{"address":"AA:01"},{"address":"AA:02"}])");
    store_write(kMuteKey, "0");
    store_write(kBlockedKey, numbered('B', kBlocked, R"({"name":"n"})"));
    store_write(kInfoSyncKey, numbered('K', kSynced, R"({"deleted_on_tv":false})"));
    std::mt19937 rng(seed);
    std::vector<std::unique_ptr<Worker>> workers;
    for (unsigned i = 0; i < kThreads; i++) {
        workers.push_back(std::make_unique<Worker>());
        workers.back()->rng.seed(seed + i + 1);
        workers.back()->runner = std::thread(&Worker::run, workers.back().get());
    }

    /* Each step changes the service or the store, then lets a few calls end. */
    bool up = true;
    const char *held = nullptr;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
         std::chrono::steady_clock::now() < end;) {
        const auto &answer = kAnswers[rng() % std::size(kAnswers)];
        const unsigned step = rng() % 16;
        if (step < 6 && up)
            step % 2 ? Peer::emit_many("bt_spk_volume_changed_by_address", g_variant_new("(si)", ADDRESS, 3), 8)
                     : Peer::emit_many("last_connecting_status_changed", g_variant_new("(s)", "InProgress"), 8);
        else if (step < 9)
            for (const char *muted : {"1", "0", "1", "0"})
                store_write(kMuteKey, muted);
        else if (step < 11 && up && held) {
            Peer::release(held);
            answer_all();
            held = nullptr;
        } else if (step < 11 && up) {
            held = answer[0];
            Peer::hold(held, g_variant_new_parsed(answer[1]));
        } else if (step == 11 && up && !held) /* until the next answer_all() */
            Peer::silent(answer[0]);
        else if (step == 12 && up && !held)
            answer_all();
        else if (step == 13 || step == 14) { /* restarts; or vanishes, and comes back in a later step */
            if (up)
                Peer::stop();
            if (!up || step == 13) {
                Peer::start();
                answer_all();
            }
            up = Peer::running();
            held = nullptr;
        }
        const int before = g_finished;
        run_until([&] { return g_finished >= before + 10; }, 1000);
    }
    if (!up)
        Peer::start();
    else if (held)
        Peer::release(held);
    answer_all();
    g_stop = true;
    for (auto &w : workers) {
        g_main_context_wakeup(w->ctx);
        w->runner.join();
    }
    for (const auto &f : kFamilies)
        f.unset();

    /* Every callback ran once; a cancel that came first showed. */
    std::set<std::string> removed, tried;
    for (const auto &p : g_calls) {
        if (p->runs != 1 && !(p->op == kCxx && p->cancel_returned && p->runs == 0))
            fail(p->name() + ": callback ran " + std::to_string(p->runs) + " times");
        else if (p->op != kCxx && p->cancel_first && p->rc != HALVO_ERROR_CANCELLED)
            fail(p->name() + ": cancelled before its callback, answered " + std::to_string(p->rc));
        else if (p->runs == 1 && p->rc != 0 && p->rc != HALVO_ERROR_OPERATION_FAILED && p->rc != HALVO_ERROR_CANCELLED)
            fail(p->name() + ": answered " + std::to_string(p->rc));
        if (p->op == kBlockedOp || p->op == kSyncedOp) {
            tried.insert(p->arg);
            if (p->rc == 0)
                removed.insert(p->arg);
        }
    }
    /* The documents hold every edit that answered 0, and none that no call asked for. */
    const std::string blocked = store_read(kBlockedKey), synced = store_read(kInfoSyncKey);
    std::string kept, lost;
    for (int i = 0; i < kBlocked + kSynced; i++) {
        const std::string key = i < kBlocked ? key_of('B', i) : key_of('K', i - kBlocked);
        const bool gone = i < kBlocked ? blocked.find('"' + key + '"') == std::string::npos
                                       : synced.find('"' + key + R"(":{"deleted_on_tv":true})") != std::string::npos;
        if (removed.count(key) && !gone)
            kept += " " + key;
        else if (gone && !tried.count(key))
            lost += " " + key;
    }
    EXPECT_EQ(kept, "") << "removals that answered 0, not in the store";
    EXPECT_EQ(lost, "") << "removed, though no call asked for it";
    printf("%zu calls in %d s (%.0f a second), %zu removals answered 0, %d callbacks heard\n", g_calls.size(), seconds,
           double(g_calls.size()) / seconds, removed.size(), g_heard.load());
    for (const auto &[what, times] : g_failures)
        ADD_FAILURE() << what << " (" << times << " times)";
    g_calls.clear();
}
