/* halvo-api-listeners.cpp - the listener registry: any number of
 * listeners per event, GLib style, each called in the thread-default main
 * context of the thread that connected it.
 *
 * The events come in on the library's bus thread (signal subscriptions,
 * store watches, the service's name watch) and are handed to each
 * listener's own context, so a thread that stops iterating starves only
 * its own listeners.  The first listener of an event makes its family's
 * unit follow the source; the last one ends that.  The single-slot setters
 * of the older API are one listener each, in a slot of their own here.
 *
 * A disconnect returns once the listener is not running on another thread
 * and will not start, as g_cancellable_disconnect() does; from inside the
 * listener it returns at once and the destroy notify runs when the
 * listener returns. */
#include "halvo-api-private.h"

#include <algorithm>
#include <condition_variable>
#include <unordered_map>
#include <vector>

using namespace halvo_core;

namespace {

constexpr int FIRST_EVENT = HALVO_EVENT_SPEAKER_INFO_CHANGED;
constexpr int LAST_EVENT = HALVO_EVENT_SERVICE_CHANGED;
constexpr int EVENT_COUNT = LAST_EVENT + 1;

struct Listener {
    gulong id;
    int event;
    listeners::any_cb callback;
    void *user_data;
    GDestroyNotify destroy;
    GMainContext *context; /* a reference */
    int running = 0;       /* invocations under way, on any thread */
    bool finish_on_return = false; /* disconnected from inside itself */
};

/* The registry lives as long as the process, never destroyed: a listener
 * held in an application's static object may be disconnected at exit,
 * after this unit's own statics would be gone. */
struct Registry {
    /* Never held across a callback, a destroy notify, a store call or a
     * hop to the bus thread. */
    std::mutex lock;
    std::condition_variable returned; /* with lock: an invocation ended */
    int waiting_disconnects = 0;
    gulong last_id = 0;
    std::unordered_map<gulong, Listener *> by_id;
    std::vector<Listener *> of_event[EVENT_COUNT];
    gulong slot_ids[EVENT_COUNT] = {};
    /* Orders the first and last listener of an event with following its
     * source: a connect that starts following and a disconnect that ends
     * it never cross.  Not the registry's lock: following calls out. */
    std::mutex follow_lock[EVENT_COUNT];
};

Registry &reg = *new Registry;

/* The listeners running on this thread, innermost last. */
thread_local std::vector<Listener *> t_running;

bool valid(int event) noexcept
{
    return event >= FIRST_EVENT && event <= LAST_EVENT;
}

bool follow(int event, bool on) noexcept
{
    switch (event) {
    case HALVO_EVENT_EARPHONES_CHANGED:
        return follow_earphones(on);
    case HALVO_EVENT_SERVICE_CHANGED:
        return follow_service(on);
    default:
        return follow_speaker_event(event, on);
    }
}

void release(Listener *l) noexcept
{
    if (l->destroy != nullptr)
        l->destroy(l->user_data);
    g_main_context_unref(l->context);
    delete l;
}

void invoke(gulong id, const listeners::Event &event) noexcept
{
    Listener *l;
    {
        Locked hold(reg.lock);
        auto found = reg.by_id.find(id);
        if (found == reg.by_id.end())
            return;
        l = found->second;
        l->running++;
    }
    t_running.push_back(l);
    event(l->callback, l->user_data);
    t_running.pop_back();
    bool finish;
    {
        Locked hold(reg.lock);
        l->running--;
        finish = l->running == 0 && l->finish_on_return;
    }
    reg.returned.notify_all();
    if (finish)
        release(l);
}

} // namespace

gulong listeners::connect(int event, any_cb callback, void *user_data, GDestroyNotify destroy) noexcept
{
    if (!valid(event))
        return 0;
    auto *l = new Listener{0, event, callback, user_data, destroy, g_main_context_ref_thread_default()};
    std::lock_guard<std::mutex> following(reg.follow_lock[event]);
    bool first;
    {
        Locked hold(reg.lock);
        first = reg.of_event[event].empty();
    }
    if (first && !follow(event, true)) {
        g_main_context_unref(l->context);
        delete l;
        return 0;
    }
    Locked hold(reg.lock);
    l->id = ++reg.last_id;
    reg.by_id.emplace(l->id, l);
    reg.of_event[event].push_back(l);
    return l->id;
}

void listeners::disconnect(gulong id) noexcept
{
    int event;
    {
        Locked hold(reg.lock);
        auto found = reg.by_id.find(id);
        if (found == reg.by_id.end())
            return;
        event = found->second->event;
    }
    Listener *l;
    {
        std::lock_guard<std::mutex> following(reg.follow_lock[event]);
        bool last;
        {
            Locked hold(reg.lock);
            /* Another disconnect of the same id may have come first. */
            auto found = reg.by_id.find(id);
            if (found == reg.by_id.end())
                return;
            l = found->second;
            reg.by_id.erase(found);
            auto &all = reg.of_event[event];
            all.erase(std::find(all.begin(), all.end(), l));
            last = all.empty();
        }
        if (last)
            follow(event, false);
    }
    int mine = int(std::count(t_running.begin(), t_running.end(), l));
    {
        std::unique_lock<std::mutex> hold(reg.lock);
        reg.waiting_disconnects++;
        reg.returned.wait(hold, [&] { return l->running == mine; });
        reg.waiting_disconnects--;
        if (mine > 0) {
            l->finish_on_return = true;
            return;
        }
    }
    release(l);
}

bool listeners::any(int event) noexcept
{
    Locked hold(reg.lock);
    return valid(event) && std::any_of(reg.of_event[event].begin(), reg.of_event[event].end(),
                                       [](const Listener *l) { return l->callback != nullptr; });
}

void listeners::post(int e, Event event) noexcept
{
    std::vector<std::pair<gulong, GMainContext *>> to;
    {
        Locked hold(reg.lock);
        for (Listener *l : reg.of_event[e])
            if (l->callback != nullptr)
                to.emplace_back(l->id, g_main_context_ref(l->context));
    }
    if (to.empty())
        return;
    auto shared = std::make_shared<const Event>(std::move(event));
    for (auto &[id, context] : to) {
        hand_over(context, [id = id, shared] { invoke(id, *shared); }, G_PRIORITY_DEFAULT);
        g_main_context_unref(context);
    }
}

int listeners::waiting() noexcept
{
    Locked hold(reg.lock);
    return reg.waiting_disconnects;
}

bool listeners::replace_slot(int e, gulong id) noexcept
{
    gulong before;
    {
        Locked hold(reg.lock);
        before = std::exchange(reg.slot_ids[e], id);
    }
    disconnect(before);
    return before != 0;
}

gulong halvo_api_connect(halvo_event_e event, GCallback callback, gpointer user_data, GDestroyNotify destroy) noexcept
{
    if (callback == nullptr) {
        ERR("no callback for event %d", int(event));
        return 0;
    }
    gulong id = listeners::connect(int(event), reinterpret_cast<listeners::any_cb>(callback), user_data, destroy);
    if (id == 0)
        ERR("cannot connect to event %d", int(event));
    return id;
}

void halvo_api_disconnect(gulong id) noexcept
{
    listeners::disconnect(id);
}
