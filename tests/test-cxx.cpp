/* The C++ API (halvo/halvo.hpp) against the peer on a private bus: the
 * conversion of every family, subscriptions ending with their handles,
 * and errors in words. */
#include "bus-fixture.h"

#include <halvo/halvo.hpp>

#include <string>
#include <vector>

using namespace halvo_test;

namespace {

const char *const kConnectedKey = "memory/org.velmo.pellix/soundoutput_info";
const char *const kLastKey = "db/pellix/last_btspk_list";
const char *const kAddressesKey = "memory/pellix/connected_btspk_addr_list";
const char *const kInfoSyncKey = "db/com.marlox.tv.bt-rilomanager/btinfosync/devices";
const char *const kBlockedKey = "db/pellix/pairing_blocekd_devices";

/* Values as one line of text, "-" for an absent field. */
std::string f(const std::optional<std::string> &s) { return s ? *s : "-"; }
std::string f(const std::optional<int> &v) { return v ? std::to_string(*v) : "-"; }
std::string f(bool v) { return v ? "y" : "n"; }
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

/* A family: subscribe a counter, and make the service emit once. */
using Hit = std::function<void()>;
struct Family {
    const char *what;
    halvo::Result<halvo::Subscription> (*subscribe)(Hit hit);
    const char *signal;
    GVariant *(*payload)();
};

/* A callback of any family's signature that counts. */
auto counter(Hit hit)
{
    return [hit](auto &&...) { hit(); };
}

const Family kFamilies[] = {
    {"speaker info", [](Hit hit) { return halvo::on_speaker_info(counter(hit)); }, "bt_spk_info_changed",
     [] { return g_variant_new("(s)", "null"); }},
    {"connecting status", [](Hit hit) { return halvo::on_connecting_status(counter(hit)); },
     "last_connecting_status_changed", [] { return g_variant_new("(s)", "InProgress"); }},
    {"volume", [](Hit hit) { return halvo::on_volume(counter(hit)); }, "bt_spk_volume_changed_by_address",
     [] { return g_variant_new("(si)", "AA", 30); }},
    {"controllability", [](Hit hit) { return halvo::on_volume_controllable(counter(hit)); },
     "bt_spk_volume_controlable_changed_by_address", [] { return g_variant_new("(si)", "AA", 1); }},
    {"earphones", [](Hit hit) { return halvo::on_earphones(counter(hit)); },
     "tuvo_swtiching_connection_state_changed", [] { return g_variant_new("(isi)", 0, "AA", 1); }},
};

/* The first round trip puts a new subscription's match rule in place at
 * the bus; the second waits for the signal. */
void emit(const Family &fam)
{
    Peer::sync_signals();
    Peer::emit(fam.signal, fam.payload());
    Peer::sync_signals();
}

} // namespace

TEST(CxxSubscriptions, EndWithTheirHandlesAndMoveReplaceOrEndThemselves)
{
    for (const auto &fam : kFamilies) {
        SCOPED_TRACE(fam.what);
        int first = 0, second = 0, own = 0;
        auto a = fam.subscribe([&] { first++; });
        ASSERT_TRUE(a.ok());
        emit(fam);
        EXPECT_EQ(first, 1);

        /* Moving keeps the callback; the moved-from handle holds nothing. */
        halvo::Subscription moved = std::move(*a);
        EXPECT_FALSE(a->active());
        EXPECT_TRUE(moved.active());
        emit(fam);
        EXPECT_EQ(first, 2);

        /* A second subscription replaces the first, whose end then unsets nothing. */
        auto b = fam.subscribe([&] { second++; });
        ASSERT_TRUE(b.ok());
        EXPECT_FALSE(moved.active());
        moved.reset();
        emit(fam);
        EXPECT_EQ(first, 2);
        EXPECT_EQ(second, 1);

        /* Destroyed: the service keeps emitting, nothing arrives. */
        b->reset();
        emit(fam);
        EXPECT_EQ(second, 1);

        /* A callback that ends its own subscription, then still uses
         * what it captured. */
        halvo::Subscription self;
        auto c = fam.subscribe([&] {
            self.reset();
            own++;
        });
        ASSERT_TRUE(c.ok());
        self = std::move(*c);
        emit(fam);
        emit(fam);
        EXPECT_EQ(own, 1);
        EXPECT_FALSE(self.active());
    }
}

TEST(CxxSubscriptions, ACapturedStateLivesAsLongAsItsSubscription)
{
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    std::vector<std::size_t> lengths;
    {
        auto sub = halvo::on_last_speakers([token, &lengths](std::vector<halvo::LastSpeaker> list) {
            lengths.push_back(list.size());
        });
        ASSERT_TRUE(sub.ok());
        token.reset();
        EXPECT_FALSE(watch.expired()) << "the subscription owns what its callback captured";
        store_write(kLastKey, R"([{"address":"AA:01"},{"address":"AA:02"}])");
        ASSERT_TRUE(run_until([&] { return !lengths.empty(); }));
    }
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(lengths, std::vector<std::size_t>{2});
    /* The store watch went with it: the C unset finds nothing left. */
    EXPECT_EQ(halvo_unset_last_bluetooth_speakers_changed_cb(), HALVO_ERROR_OPERATION_FAILED);
}

/* ------------------------------------------------------------------ */
/* Errors                                                              */
/* ------------------------------------------------------------------ */

TEST(CxxErrors, FailuresCarryTheirCodeAndWords)
{
    /* The service's own integer passes through, in words of its own. */
    Peer::reply("set_volume_by_address", g_variant_new("(i)", 17));
    auto passed = halvo::set_volume("AA:01", 50);
    EXPECT_EQ(passed.error(), halvo::Error::ServiceResult);
    EXPECT_EQ(passed.code(), 17);
    EXPECT_STREQ(passed.message(), "a result of the service's own, passed through unchanged");

    /* A text C would cut short never reaches the service. */
    auto cut = halvo::volume(std::string_view("AA\0:01", 6));
    EXPECT_EQ(cut.error(), halvo::Error::InvalidParameter);
    EXPECT_TRUE(Peer::calls("get_volume_by_address").empty());

    auto unconfirmed = halvo::enter_dut_mode();
    EXPECT_EQ(unconfirmed.error(), halvo::Error::OperationFailed);
    EXPECT_NE(std::string(unconfirmed.message()).find("did not confirm"), std::string::npos);

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
    EXPECT_STREQ(absent.message(), halvo::describe(halvo::Error::OperationFailed));
    EXPECT_NE(std::string(absent.message()).find("no bus"), std::string::npos);
    Peer::start();

    /* Every code has words of its own. */
    std::vector<std::string> words;
    for (int code : {0, 1, 3, 5, -22, HALVO_ERROR_ALREADY_INITIALIZED, 17})
        words.push_back(halvo::describe(halvo::to_error(code)));
    std::sort(words.begin(), words.end());
    EXPECT_EQ(std::unique(words.begin(), words.end()), words.end());
}
