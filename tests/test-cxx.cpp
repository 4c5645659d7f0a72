/* The C++ API (halvo/halvo.hpp) against the peer on a private bus: the
 * conversion of every family, subscriptions fanning out and ending with
 * their handles, non-blocking calls, and errors in words. */
#include "bus-fixture.h"

#include <halvo/halvo.hpp>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace halvo_test;

namespace {

/* Values as one line of text, "-" for an absent field. */
std::string f(const std::optional<std::string> &s) { return s ? *s : "-"; }
std::string f(const std::optional<int> &v) { return v ? std::to_string(*v) : "-"; }
std::string f(bool v) { return v ? "y" : "n"; }
std::string f(int v) { return std::to_string(v); }
std::string f(const halvo::Device &d)
{
    return f(d.address) + "|" + f(d.name) + "|" + f(d.dont_use) + "|" + f(d.connected) + "|" + f(d.profile) + "|" +
           std::to_string(d.device_type) + "|" + f(d.service_name) + "|" + f(d.provider_name) + "|" + f(d.vid) +
           "|" + f(d.pid);
}
std::string f(const halvo::Speaker &s)
{
    return f(s.vsid) + "|" + f(s.address) + "|" + f(s.name) + "|" + f(s.icon_type) + "|" + f(s.audio_type);
}
std::string f(const halvo::LastSpeaker &s)
{
    return f(s.connected) + "|" + f(s.address) + "|" + f(s.name) + "|" + f(s.icon_type) + "|" + f(s.audio_type);
}
std::string f(const halvo::InfoSyncDevice &d) { return f(d.address) + "|" + f(d.name); }
std::string f(const halvo::BlockedDevice &d) { return f(d.address) + "|" + f(d.name); }
std::string f(const halvo::ManufacturerData &m)
{
    std::string out = f(m.option) + "|";
    for (auto b : m.bytes)
        out += std::to_string(b) + ".";
    return out;
}
std::string f(const std::optional<halvo::Speaker> &s) { return s ? f(*s) : "none"; }
template <class T>
std::string f(const std::vector<T> &v)
{
    std::string out;
    for (const auto &x : v)
        out += (out.empty() ? "" : ";") + f(x);
    return out;
}
template <class T>
std::string f(const halvo::Result<T> &r)
{
    return r ? f(*r) : "error " + std::to_string(r.code());
}

/* The peer answers with @doc, or the store holds it; returns what the C++
 * call made of it. */
using Source = std::string (*)(const std::string &doc);

/* Device replies: their types come from a second method. */
template <class Read>
std::string replied(const char *method, const std::string &doc, Read read)
{
    Peer::reply(method, g_variant_new("(s)", doc.c_str()));
    Peer::reply("get_device_type", g_variant_new("(i)", 3));
    return f(read());
}

std::string device(const std::string &doc)
{
    return replied("get_device_info", doc, [] { return halvo::paired_device("AA:01"); });
}
std::string devices(const std::string &doc) { return replied("get_devices_info", doc, halvo::paired_devices); }
std::string dont_use(const std::string &doc) { return replied("get_dontuse_dev_list", doc, halvo::dont_use_devices); }

template <class T>
std::string stored(const char *key, const std::string &doc, halvo::Result<T> (*read)())
{
    store_write(key, doc);
    return f(read());
}

std::string speakers(const std::string &doc) { return stored(kConnectedKey, doc, halvo::connected_speakers); }
std::string lasts(const std::string &doc) { return stored(kLastKey, doc, halvo::last_speakers); }
std::string info_sync(const std::string &doc) { return stored(kInfoSyncKey, doc, halvo::info_sync_devices); }
std::string blocked(const std::string &doc) { return stored(kBlockedKey, doc, halvo::blocked_devices); }

std::string manufacturer(const std::string &doc)
{
    GVariant *bytes = g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, doc.data(), doc.size(), 1);
    Peer::reply("read_manufacturer_data", g_variant_new("(iii@ay)", 0, int(doc.size()), 9, bytes));
    return f(halvo::read_manufacturer_data("AA:01"));
}

std::string info_signal(const std::string &doc)
{
    std::vector<std::string> seen;
    auto sub = halvo::on_speaker_info([&](const std::optional<halvo::Speaker> &s) { seen.push_back(f(s)); });
    EXPECT_TRUE(sub.ok());
    Peer::sync_signals();
    Peer::emit("bt_spk_info_changed", g_variant_new("(s)", doc.c_str()));
    Peer::sync_signals();
    return f(seen);
}

std::string lasts_changed(const std::string &doc)
{
    std::string seen;
    auto sub = halvo::on_last_speakers([&](std::vector<halvo::LastSpeaker> list) { seen = f(list) + "."; });
    EXPECT_TRUE(sub.ok());
    store_write(kLastKey, doc);
    EXPECT_TRUE(run_until([&] { return !seen.empty(); }));
    return seen;
}

struct Conversion {
    const char *what;
    Source source;
    std::string doc, expected;
};

const Conversion kConversions[] = {
    {"device", device,
     R"({"result":true,"data":{"address":"AA:01","name":"Bar","usedontuse":true,"connect":true,"profile":7,)"
     R"("serviceName":"Sink","providerName":"Velmo","vid":1112,"pid":4660}})",
     "AA:01|Bar|y|y|7|3|Sink|Velmo|1112|4660"},
    {"device, absent fields", device, R"({"result":true,"data":{"address":"AA:01"}})", "AA:01|-|n|n|-|3|-|-|-|-"},
    {"device, none", device, R"({"result":false})", "error 5"},
    {"devices", devices, R"({"result":true,"data":{"Devices":[{"address":"AA:01","name":"a","vid":1},{}]}})",
     "AA:01|a|n|n|-|3|-|-|1|-;-|-|n|n|-|0|-|-|-|-"},
    {"don't-use list", dont_use, R"({"DontUseDevices":[{"name":"one","address":"AA:01"},{}]})",
     "AA:01|one|y|n|0|0|-|-|0|0;-|-|y|n|0|0|-|-|0|0"},
    {"speakers", speakers,
     R"([{"vsid":["v1","v2"],"address":"AA:01","name":"Kitchen","iconType":"SB","audioType":2},{}])",
     R"(["v1","v2"]|AA:01|Kitchen|SB|1;-|-|-|-|-)"},
    {"last speakers", lasts,
     R"([{"address":"AA:01","name":"Bar","iconType":"SB","audioType":1,"connected":true},{"address":"AA:02"}])",
     "y|AA:01|Bar|SB|0;n|AA:02|-|-|-"},
    {"last speakers, none stored", lasts, "[]", ""},
    {"info-sync", info_sync, R"({"k1":{"address":"AA:01","name":"one"},"k2":{"address":"AA:02"}})", "AA:01|one;AA:02|"},
    {"blocked", blocked, R"({"AA:01":{"isBlocked":true,"name":"a"},"BB:02":{"isBlocked":true}})",
     "AA:01|a;BB:02|"},
    {"manufacturer data", manufacturer, std::string("\x01\x00\xff", 3), "9|1.0.255."},
    {"manufacturer data, empty", manufacturer, "", "9|"},
    {"speaker-info signal", info_signal,
     R"({"vsid":["x"],"address":"AA:07","name":"Bar","iconType":"SB","audioType":2})", R"(["x"]|AA:07|Bar|SB|1)"},
    {"speaker-info signal, none", info_signal, "null", "none"},
    {"last-speakers callback", lasts_changed, R"([{"address":"AA:01","connected":true},{}])",
     "y|AA:01|-|-|-;n|-|-|-|-."},
    {"last-speakers callback, unusable", lasts_changed, "garbage", "."},
};

} // namespace

TEST(CxxValues, EveryFamilyConvertsFullRecordsAndAbsentFields)
{
    store_write(kAddressesKey, "AA:01");
    for (const auto &c : kConversions) {
        EXPECT_EQ(c.source(c.doc), c.expected) << c.what;
        Peer::reset();
    }
}

/* ------------------------------------------------------------------ */
/* Subscriptions                                                       */
/* ------------------------------------------------------------------ */

namespace {

/* A family: subscribe a counter; make one event happen (the @n-th: store
 * documents must change) and return once it was dispatched; the C unset
 * and what it answers with nothing set (NULL: it always answers 0). */
using Hit = std::function<void()>;
struct Family {
    const char *what;
    halvo::Result<halvo::Subscription> (*subscribe)(Hit hit);
    void (*fire)(int n);
    int (*unset)();
    int none;
};

/* A callback of any family's signature that counts. */
auto counter(Hit hit)
{
    return [hit](auto &&...) { hit(); };
}

/* The first round trip puts a new subscription's match rule in place at
 * the bus; the second waits for the signal. */
void emit(const char *signal, GVariant *payload)
{
    Peer::sync_signals();
    Peer::emit(signal, payload);
    Peer::sync_signals();
}

void store(const char *key, const std::string &doc)
{
    store_write(key, doc);
    store_settle();
}

std::string speakers_doc(int n)
{
    return R"([{"address":"AA:0)" + std::to_string(n) + R"("}])";
}

const Family kFamilies[] = {
    {"speaker info", [](Hit hit) { return halvo::on_speaker_info(counter(hit)); },
     [](int) { emit("bt_spk_info_changed", g_variant_new("(s)", "null")); },
     halvo_unregister_bt_spaeker_info_changed_cb, HALVO_ERROR_INVALID_PARAMETER},
    {"connecting status", [](Hit hit) { return halvo::on_connecting_status(counter(hit)); },
     [](int) { emit("last_connecting_status_changed", g_variant_new("(s)", "InProgress")); },
     halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb, HALVO_ERROR_INVALID_PARAMETER},
    {"volume", [](Hit hit) { return halvo::on_volume(counter(hit)); },
     [](int) { emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 30)); },
     halvo_api_unset_volume_changed_callback, HALVO_ERROR_INVALID_PARAMETER},
    {"controllability", [](Hit hit) { return halvo::on_volume_controllable(counter(hit)); },
     [](int) { emit("bt_spk_volume_controlable_changed_by_address", g_variant_new("(si)", "AA", 1)); },
     halvo_api_unset_volume_controlable_changed_callback, HALVO_ERROR_INVALID_PARAMETER},
    {"earphones", [](Hit hit) { return halvo::on_earphones(counter(hit)); },
     [](int) { emit("tuvo_swtiching_connection_state_changed", g_variant_new("(isi)", 0, "AA", 1)); }, nullptr, 0},
    {"last speakers", [](Hit hit) { return halvo::on_last_speakers(counter(hit)); },
     [](int n) { store(kLastKey, speakers_doc(n)); }, halvo_unset_last_bluetooth_speakers_changed_cb,
     HALVO_ERROR_OPERATION_FAILED},
    {"mute", [](Hit hit) { return halvo::on_mute(counter(hit)); },
     [](int n) { store(kMuteKey, std::to_string(n % 2)); }, halvo_api_unset_mute_changed_callback,
     HALVO_ERROR_INVALID_PARAMETER},
    {"connected speakers", [](Hit hit) { return halvo::on_connected_speakers(counter(hit)); },
     [](int n) { store(kConnectedKey, speakers_doc(n)); }, halvo_unset_connected_bt_speakers_changed_cb,
     HALVO_ERROR_INVALID_PARAMETER},
};

} // namespace

TEST(CxxSubscriptions, EveryFamilyCallsAllItsSubscriptionsAndTheLastOneUnsets)
{
    int n = 0;
    for (const auto &fam : kFamilies) {
        SCOPED_TRACE(fam.what);
        int first = 0, second = 0, own = 0;
        auto fire = [&] { fam.fire(++n); };
        auto a = fam.subscribe([&] { first++; });
        auto b = fam.subscribe([&] { second++; });
        ASSERT_TRUE(a.ok() && b.ok());
        fire();
        EXPECT_EQ(first, 1);
        EXPECT_EQ(second, 1);

        /* Moving keeps the callback; the moved-from handle holds nothing. */
        halvo::Subscription moved = std::move(*a);
        EXPECT_FALSE(a->active());
        fire();
        EXPECT_EQ(first, 2);

        /* Ending one keeps the other. */
        moved.reset();
        EXPECT_FALSE(moved.active());
        fire();
        EXPECT_EQ(first, 2);
        EXPECT_EQ(second, 3);

        /* A callback that ends its own subscription, then still uses
         * what it captured. */
        halvo::Subscription self;
        auto c = fam.subscribe([&] {
            self.reset();
            own++;
        });
        ASSERT_TRUE(c.ok());
        self = std::move(*c);
        fire();
        fire();
        EXPECT_EQ(own, 1);
        EXPECT_EQ(second, 5);

        /* The last one unsets the C callback; nothing arrives after it. */
        b->reset();
        if (fam.unset) {
            EXPECT_EQ(fam.unset(), fam.none) << "the C callback stayed set";
        }
        fire();
        EXPECT_EQ(second, 5);
    }
}

TEST(CxxSubscriptions, EachCallbackRunsInItsSubscribersOwnContext)
{
    GThread *here_ran = nullptr;
    auto here = halvo::on_volume([&](std::string_view, int) { here_ran = g_thread_self(); });
    ASSERT_TRUE(here.ok());

    /* A second thread subscribes from a context of its own, which it iterates. */
    GMainContext *context = g_main_context_new();
    std::atomic<GThread *> worker{nullptr}, there_ran{nullptr};
    std::atomic<bool> stop{false};
    std::thread thread([&] {
        g_main_context_push_thread_default(context);
        auto there = halvo::on_volume([&](std::string_view, int) { there_ran = g_thread_self(); });
        worker = there.ok() ? g_thread_self() : nullptr;
        while (!there_ran && !stop)
            g_main_context_iteration(context, TRUE);
        g_main_context_pop_thread_default(context);
    });
    bool subscribed = run_until([&] { return worker.load() != nullptr; });
    if (subscribed)
        emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 30));
    bool delivered = run_until([&] { return there_ran.load() != nullptr; });
    stop = true;
    g_main_context_wakeup(context);
    thread.join();
    g_main_context_unref(context);
    ASSERT_TRUE(subscribed && delivered);
    EXPECT_EQ(here_ran, g_thread_self());
    EXPECT_EQ(there_ran.load(), worker.load());
}

TEST(CxxSubscriptions, ACapturedStateLivesAsLongAsItsSubscription)
{
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    std::vector<std::size_t> lengths;
    {
        /* A move-only callable, taken straight out of the temporary Result. */
        halvo::Subscription sub = *halvo::on_last_speakers(
            [token, only = std::make_unique<int>(1), &lengths](std::vector<halvo::LastSpeaker> list) {
                lengths.push_back(list.size() * std::size_t(*only));
            });
        ASSERT_TRUE(sub.active());
        token.reset();
        EXPECT_FALSE(watch.expired()) << "the subscription owns what its callback captured";
        store_write(kLastKey, R"([{"address":"AA:01"},{"address":"AA:02"}])");
        ASSERT_TRUE(run_until([&] { return !lengths.empty(); }));
    }
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(lengths, std::vector<std::size_t>{2});
}

/* ------------------------------------------------------------------ */
/* Non-blocking calls                                                  */
/* ------------------------------------------------------------------ */

namespace {

/* A result as text: its value, or its code, failure kind and words. */
template <class R>
std::string said(const R &r)
{
    if (!r.ok())
        return std::to_string(r.code()) + "/" + std::to_string(int(r.failure())) + " " + r.message();
    if constexpr (std::is_same<R, halvo::Result<void>>::value)
        return "ok";
    else
        return f(*r);
}

using Said = std::function<void(std::string)>;
auto to(Said done)
{
    return [done](const auto &r) { done(said(r)); };
}

/* An operation run blocking and without waiting, on the same rules; the
 * start of what both say. */
struct Twin {
    const char *what;
    void (*setup)();
    std::string (*blocking)();
    halvo::Call (*start)(Said done);
    const char *expected;
};

void volume_answer(int result, int value)
{
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", result, value));
}

const Twin kTwins[] = {
    {"volume", [] { volume_answer(0, 42); }, [] { return said(halvo::volume("AA:01")); },
     [](Said d) { return halvo::async::volume("AA:01", to(d)); }, "42"},
    {"volume, the service's own 3", [] { volume_answer(3, 0); }, [] { return said(halvo::volume("AA:01")); },
     [](Said d) { return halvo::async::volume("AA:01", to(d)); }, "3/7 the service answered 3"},
    {"volume, an error reply", [] { Peer::error("get_volume_by_address"); },
     [] { return said(halvo::volume("AA:01")); }, [](Said d) { return halvo::async::volume("AA:01", to(d)); },
     "5/5 error reply"},
    {"volume, a text C would cut", [] {}, [] { return said(halvo::volume(std::string_view("A\0B", 3))); },
     [](Said d) { return halvo::async::volume(std::string_view("A\0B", 3), to(d)); }, "3/1 invalid parameter"},
    {"paired devices",
     [] {
         Peer::reply("get_devices_info", g_variant_new("(s)", R"({"result":true,"data":{"Devices":[{"address":"AA:01"}]}})"));
         Peer::reply("get_device_type", g_variant_new("(i)", 3));
     },
     [] { return said(halvo::paired_devices()); }, [](Said d) { return halvo::async::paired_devices(to(d)); },
     "AA:01|-|n|n|-|3|-|-|-|-"},
    {"mute state", [] { store_write(kMuteKey, "1"); }, [] { return said(halvo::muted()); },
     [](Said d) { return halvo::async::muted(to(d)); }, "y"},
    {"set mute", [] {
         store_write(kMuteKey, "0");
         Peer::reply("spk_mute_unmute", g_variant_new("(i)", 0));
     },
     [] { return said(halvo::set_mute(true)); }, [](Said d) { return halvo::async::set_mute(true, to(d)); }, "ok"},
};

} // namespace

TEST(CxxAsync, EachCallAnswersWhatItsBlockingTwinReturns)
{
    for (const auto &t : kTwins) {
        SCOPED_TRACE(t.what);
        t.setup();
        std::string blocking = t.blocking(), got;
        halvo::Call call = t.start([&](std::string s) { got = s; });
        EXPECT_TRUE(got.empty()) << "answered inside the starting call";
        ASSERT_TRUE(run_until([&] { return !got.empty(); }));
        EXPECT_FALSE(call.active());
        EXPECT_EQ(got, blocking);
        EXPECT_EQ(got.rfind(t.expected, 0), 0u) << got;
        Peer::reset();
    }
}

TEST(CxxAsync, ACancelledCallNeverRunsItsCallable)
{
    Peer::hold("get_volume_by_address", g_variant_new("(ii)", 0, 42));
    int ran = 0;
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    halvo::Call call = halvo::async::volume(
        "AA:01", [&ran, token, only = std::make_unique<int>(1)](halvo::Result<int>) { ran += *only; });
    token.reset();
    ASSERT_TRUE(run_until([] { return Peer::calls("get_volume_by_address").size() == 1; }));
    EXPECT_TRUE(call.active());
    call.cancel();
    EXPECT_FALSE(call.active());
    EXPECT_TRUE(watch.expired()) << "cancel() released what the callable captured";
    Peer::release("get_volume_by_address");
    flush_deliveries();
    EXPECT_EQ(ran, 0);

    /* A callable may end its own call. */
    volume_answer(0, 7);
    int seen = -1;
    halvo::Call self = halvo::async::volume("AA:01", [&](halvo::Result<int> r) {
        self = halvo::Call();
        seen = r.value_or(-2);
    });
    ASSERT_TRUE(run_until([&] { return seen != -1; }));
    EXPECT_EQ(seen, 7);
}

TEST(CxxAsync, ARefreshReadsEachSpeakersVolume)
{
    store_write(kConnectedKey, R"([{"address":"AA:01","name":"Bar"},{"address":"AA:02"}])");
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 30), "AA:01");
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 17, 0), "AA:02");
    Peer::reply("get_volume_controlable_by_address", g_variant_new("(ii)", 0, 1));
    std::string got;
    auto call = halvo::async::speakers_with_volumes([&](halvo::Result<std::vector<halvo::SpeakerVolume>> list) {
        for (const auto &s : list.value())
            got += f(s.speaker.address) + " " + said(s.volume) + " " + said(s.controllable) + ";";
    });
    ASSERT_TRUE(run_until([&] { return !got.empty(); }));
    EXPECT_EQ(got, "AA:01 30 y;AA:02 17/7 the service answered 17 y;");
}

/* ------------------------------------------------------------------ */
/* Errors                                                              */
/* ------------------------------------------------------------------ */

/* A Result<bool> never tests as its value; a temporary's value is a
 * value, not a reference into it. */
static_assert(!std::is_constructible<bool, halvo::Result<bool>>::value, "if (halvo::muted()) must not compile");
static_assert(std::is_constructible<bool, halvo::Result<int>>::value, "other results test as ok()");
static_assert(std::is_same<decltype(*std::declval<halvo::Result<std::string>>()), std::string>::value,
              "*temporary is a value");

TEST(CxxErrors, FailuresCarryTheirCodeKindAndWords)
{
    EXPECT_EQ(halvo::to_error(HALVO_ERROR_CANCELLED), halvo::Error::Cancelled);
    /* The service's own integer passes through, said as the service's. */
    volume_answer(17, 0);
    auto passed = halvo::volume("AA:01");
    EXPECT_EQ(passed.error(), halvo::Error::ServiceResult);
    EXPECT_EQ(passed.code(), 17);
    EXPECT_EQ(passed.failure(), halvo::FailureKind::ServiceAnswered);
    EXPECT_STREQ(passed.message(), "the service answered 17");

    /* A text C would cut short never reaches the service. */
    auto cut = halvo::volume(std::string_view("AA\0:01", 6));
    EXPECT_EQ(cut.error(), halvo::Error::InvalidParameter);
    EXPECT_EQ(cut.failure(), halvo::FailureKind::InvalidArgument);
    EXPECT_EQ(Peer::calls("get_volume_by_address").size(), 1u);

    auto unconfirmed = halvo::enter_dut_mode();
    EXPECT_EQ(unconfirmed.error(), halvo::Error::OperationFailed);
    EXPECT_EQ(unconfirmed.failure(), halvo::FailureKind::ErrorReply);

    auto session = halvo::Session::start();
    ASSERT_TRUE(session.ok());
    auto again = halvo::Session::start();
    EXPECT_EQ(again.error(), halvo::Error::AlreadyInitialized);
    EXPECT_EQ(again.code(), HALVO_ERROR_ALREADY_INITIALIZED);
    EXPECT_STREQ(again.message(), "the library is already initialised");
    session->end();
    EXPECT_EQ(halvo_deinitialzie(), HALVO_ERROR_NOT_INITIALIZED) << "the session ended the library";

    Peer::stop();
    auto absent = halvo::volume("AA:01");
    EXPECT_EQ(absent.error(), halvo::Error::OperationFailed);
    EXPECT_EQ(absent.failure(), halvo::FailureKind::NoService);
    EXPECT_STREQ(absent.message(), halvo::describe(halvo::FailureKind::NoService));
    Peer::start();

    /* Every code and every kind has words of its own. */
    std::vector<std::string> words;
    for (int code : {0, 1, 3, 5, -22, HALVO_ERROR_ALREADY_INITIALIZED, 17})
        words.push_back(halvo::describe(halvo::to_error(code)));
    for (int kind = HALVO_FAILURE_NO_BUS; kind <= HALVO_FAILURE_CANCELLED; kind++)
        words.push_back(halvo::describe(halvo::FailureKind(kind)));
    std::sort(words.begin(), words.end());
    EXPECT_EQ(std::unique(words.begin(), words.end()), words.end());
}
