/* Connected speakers and the last-speakers list: the store documents, the
 * change signal and the store notification, against the peer and a real
 * store root. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

using namespace halvo_test;

namespace {

/* The enum's C++ range stops at its enumerators: read it as a word. */
guint32 word(const bt_spk_audio_type_e &field)
{
    guint32 v;
    memcpy(&v, &field, sizeof v);
    return v;
}

void set_word(bt_spk_audio_type_e *field, guint32 v)
{
    memcpy(field, &v, sizeof v);
}

/* A key written for the test and removed after it. */
struct Stored {
    std::string key;
    Stored(const char *k, const std::string &text) : key(k) { store_write(key, text); }
    ~Stored() { store_remove(key); }
};

/* Records as one line each, compared whole: "vsid|address|name|icon|audio",
 * and for the last speakers "+address|..." when connected, "-" when not. */
using Records = std::vector<std::string>;

std::string rec(const speaker_t *s)
{
    return str(s->vsid) + "|" + str(s->address) + "|" + str(s->name) + "|" + str(s->icon_type) + "|" +
           std::to_string(word(s->audio_type));
}

std::string rec(const last_spk_info_t *s)
{
    return (s->connected ? "+" : "-") + str(s->address) + "|" + str(s->name) + "|" + str(s->icon_type) + "|" +
           std::to_string(word(s->audio_type));
}

template <typename T> Records records(GSList *list)
{
    Records out;
    for (GSList *l = list; l; l = l->next)
        out.push_back(rec(static_cast<const T *>(l->data)));
    return out;
}

/* The connected flags of @records, "+" or "-" each. */
std::string flags(const Records &records)
{
    std::string out;
    for (const std::string &r : records)
        out += r[0];
    return out;
}

/* An absent audioType reads as -2. */
const std::string kBlank = "<null>|<null>|<null>|<null>|4294967294";

/* Reads the list stored as @doc: the connected speakers' or the last ones'. */
template <typename T> Records read(const std::string &doc)
{
    const bool last = std::is_same<T, last_spk_info_t>::value;
    Stored stored(last ? kLastKey : kConnectedKey, doc);
    GSList *list = nullptr;
    EXPECT_EQ(last ? halvo_get_last_bluetooth_speakers(&list) : halvo_get_connected_bt_speaker_infos(&list), 0);
    Records out = records<T>(list);
    if (list)
        last ? halvo_free_last_bluetooth_speakers(&list) : halvo_free_connected_bt_spaekr_infos(&list);
    return out;
}

} // namespace

/* ------------------------------------------------------------------ */
/* Connected speakers                                                  */
/* ------------------------------------------------------------------ */

/* Records of every field, in order, are held by the C++ conversion table
 * and by StoreWatches; appending to the caller's list by VolumePairs. */
TEST(ConnectedSpeakers, DocumentsOfAnotherShapeGiveDefaults)
{
    LogCapture log;
    GSList *list = nullptr;
    store_remove(kConnectedKey);
    EXPECT_EQ(halvo_get_connected_bt_speaker_infos(&list), 5) << "unreadable key";
    EXPECT_EQ(list, nullptr);
    {
        Stored doc(kConnectedKey, "[]");
        EXPECT_EQ(halvo_get_connected_bt_speaker_infos(&list), 0);
        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(halvo_free_connected_bt_spaekr_infos(&list), 3);
    }
    /* The last ones are deeper than any real document: refused, not recursed
     * into.  json-glib also reads single-quoted strings and skips /.../ runs:
     * the nesting guard must not stop counting at a lone ' or /. */
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    for (const std::string &text : {std::string("not json"), std::string(R"({"address":"AA:01"})"), std::string(),
                                     std::string("\"[]\""), std::string("null"), std::string("{}{}"), deep,
                                     "['\"', " + deep + "]", "[/\"/ " + deep + "]", "[/'/ " + deep + "]",
                                     "{'\"':" + deep + "}"}) {
        SCOPED_TRACE(text.substr(0, 20));
        log.clear();
        EXPECT_EQ(read<speaker_t>(text), Records{});
        EXPECT_TRUE(log.contains("count : -1"));
    }
    /* Array elements that are not strings are left out. */
    EXPECT_EQ(read<speaker_t>(R"([1, "x", null, [],
                                 {"vsid":"v","address":5,"name":["n"],"iconType":{},"audioType":"1"},
                                 {"vsid":[1,"a",null],"audioType":true}])"),
              (Records{kBlank, kBlank, kBlank, kBlank, kBlank, R"(["a"]|<null>|<null>|<null>|4294967294)"}));
}

namespace {

struct InfoEvents {
    Records records;
    void *user_data = nullptr;
};

void on_info(speaker_t *s, void *user_data)
{
    auto *e = static_cast<InfoEvents *>(user_data);
    e->user_data = user_data;
    e->records.push_back(s ? rec(s) : "none");
}

void emit_info(const char *text)
{
    Peer::emit("bt_spk_info_changed", g_variant_new("(s)", text));
    Peer::sync_signals();
}

} // namespace

TEST(ConnectedSpeakers, ChangeSignalPayloadsCallbacksAndNames)
{
    /* Full records, absent fields and "null" through the signal are held by
     * the C++ conversion table. */
    LogCapture log;
    ASSERT_EQ(halvo_register_bt_spaeker_info_changed_cb(nullptr, nullptr), 0) << "a NULL callback is stored";
    emit_info("null");
    EXPECT_EQ(log.count("callback is NULL"), 1);

    InfoEvents events;
    ASSERT_EQ(halvo_register_bt_spaeker_info_changed_cb(on_info, &events), 0);
    emit_info("{not json");
    emit_info(R"([{"address":"AA:08"}])");
    EXPECT_EQ(events.records, Records{kBlank}) << "text that is not JSON calls nothing; an array gives a record";
    EXPECT_EQ(events.user_data, &events);

    GVariant *payload = g_variant_ref_sink(g_variant_new("(s)", "null"));
    _halvo_bt_spk_info_changed(nullptr, nullptr, nullptr, nullptr, "bt_spk_info_changed_x", payload, nullptr);
    _halvo_bt_spk_info_changed(nullptr, nullptr, nullptr, nullptr, nullptr, payload, nullptr);
    _halvo_bt_spk_info_changed(nullptr, nullptr, nullptr, nullptr, "bt_spk_info_changed", nullptr, nullptr);
    g_variant_unref(payload);

    EXPECT_EQ(halvo_unregister_bt_spaeker_info_changed_cb(), 0);
    emit_info("null");
    EXPECT_EQ(events.records.size(), 1u) << "nothing after unregistering, nor from the calls above";
    EXPECT_EQ(halvo_unregister_bt_spaeker_info_changed_cb(), 3);
}

TEST(ConnectedSpeakers, SetSendsTheMembersInOrder)
{
    Peer::reply("set_connected_bt_speaker_info", g_variant_new("(i)", 7));
    char address[] = "AA:BB:CC:DD:EE:01", name[] = "Living \"room\"", icon[] = "SB";
    bt_spk_info_t info = {address, name, icon, BT_SPK_AUDIO_TYPE_FIRST};
    EXPECT_EQ(halvo_set_connected_bt_speaker_info("vs-1", &info), 7) << "the service's result";

    set_word(&info.audio_type, 0xFFFFFFFEu);
    EXPECT_EQ(halvo_set_connected_bt_speaker_info("vs-2", &info), 7);
    set_word(&info.audio_type, 0xFFFFFFFFu);
    EXPECT_EQ(halvo_set_connected_bt_speaker_info("vs-3", &info), 7);

    auto text = Peer::first_args("set_connected_bt_speaker_info");
    ASSERT_EQ(text.size(), 3u);
    EXPECT_EQ(text[0], R"({"address":"AA:BB:CC:DD:EE:01","name":"Living \"room\"","iconType":"SB","audioType":1,"vsid":"vs-1"})");
    EXPECT_NE(text[1].find(R"("audioType":4294967295,)"), std::string::npos) << "unsigned, widened without sign";
    EXPECT_NE(text[2].find(R"("audioType":0,)"), std::string::npos) << "wraps in 32 bits";

    /* The serialised set sends its text unchanged, JSON or not. */
    Peer::reply("set_connected_bt_speaker_info", g_variant_new("(i)", -3));
    EXPECT_EQ(halvo_set_connected_bt_speaker_info_with_serialization("not even json {"), -3);
    EXPECT_EQ(Peer::first_args("set_connected_bt_speaker_info").at(3), "not even json {");
}

TEST(ConnectedSpeakers, SetRefusesMissingArgumentsAndReportsNoReply)
{
    char address[] = "AA:01", name[] = "n", icon[] = "SB";
    char bad[] = "\xff\xfe";
    bt_spk_info_t full = {address, name, icon, BT_SPK_AUDIO_TYPE_FIRST};
    LogCapture log;
    EXPECT_EQ(halvo_set_connected_bt_speaker_info(nullptr, &full), -22);
    EXPECT_TRUE(log.contains("vsid is NULL"));
    EXPECT_EQ(halvo_set_connected_bt_speaker_info("v", nullptr), -22);
    EXPECT_TRUE(log.contains("info is NULL"));
    EXPECT_EQ(halvo_set_connected_bt_speaker_info(bad, &full), -22) << "a vsid that is not UTF-8";
    /* Each member missing in turn; the last one is not UTF-8 and cannot be sent. */
    struct {
        char *bt_spk_info_t::*member;
        char *value;
        const char *message;
    } cases[] = {{&bt_spk_info_t::address, nullptr, "addres is NULL"},
                 {&bt_spk_info_t::name, nullptr, "name is NULL"},
                 {&bt_spk_info_t::icon_type, nullptr, "iconType is NULL"},
                 {&bt_spk_info_t::name, bad, nullptr}};
    for (const auto &c : cases) {
        bt_spk_info_t info = full;
        info.*c.member = c.value;
        EXPECT_EQ(halvo_set_connected_bt_speaker_info("v", &info), -22) << str(c.message);
        if (c.message) {
            EXPECT_TRUE(log.contains(c.message)) << c.message;
        }
    }
    EXPECT_EQ(halvo_set_connected_bt_speaker_info_with_serialization(nullptr), 3);
    EXPECT_TRUE(log.contains("data is NULL"));
    EXPECT_TRUE(Peer::calls().empty()) << "nothing sent";

    /* No rule: the peer answers with an error. */
    EXPECT_EQ(halvo_set_connected_bt_speaker_info("v", &full), 5);
}

/* ------------------------------------------------------------------ */
/* Last speakers                                                       */
/* ------------------------------------------------------------------ */

TEST(LastSpeakers, ConnectedNeedsTheStoredFlagAndTheAddressInTheKey)
{
    Stored addresses(kAddressesKey, "AA:BB:CC:DD:EE:00,AA:BB:CC:DD:EE:01,AA:BB:CC:DD:EE:02");
    auto got = read<last_spk_info_t>(R"([
        {"address":"AA:BB:CC:DD:EE:01","name":"Among others","iconType":"SB","audioType":1,"connected":true},
        {"address":"AA:BB:CC:DD:EE:03","name":"Absent","connected":true},
        {"address":"AA:BB:CC:DD:EE:02","name":"Stored false","connected":false},
        {"address":"AA:BB:CC:DD:EE:00","name":"No flag"},
        {"name":"No address","connected":true},
        {"address":"aa:bb:cc:dd:ee:01","name":"Other case","connected":true},
        {"address":"AA:BB:CC:DD:EE:02","name":"Flag as text","connected":"true"},
        7, "AA:BB:CC:DD:EE:01", [],
        {"address":["AA:BB:CC:DD:EE:01"],"name":1,"iconType":null,"audioType":1.5,"connected":1}])");
    EXPECT_EQ(flags(got), "+----------");
    EXPECT_EQ(got[0], "+AA:BB:CC:DD:EE:01|Among others|SB|0");
    EXPECT_EQ(got[4], "-<null>|No address|<null>|4294967294");
    /* Members of another kind give defaults, as for the connected speakers. */
    EXPECT_EQ(Records(got.begin() + 7, got.end()), Records(4, "-" + kBlank.substr(7)));

    store_remove(kAddressesKey);
    got = read<last_spk_info_t>(R"([{"address":"AA:01","connected":true},{"address":"AA:02","connected":true}])");
    EXPECT_EQ(flags(got), "--") << "unreadable address key";
}

TEST(LastSpeakers, AnAddressAnywhereInTheKeyCounts)
{
    /* 32 characters are matched through a table of the key's windows,
     * longer ones by a plain search. */
    const std::string long_address(40, 'L'), edge(32, 'E');
    Stored addresses(kAddressesKey, "xxAA:BB:CC:DD:EE:01yy|" + long_address + "|" + edge + "|tail");
    auto got = read<last_spk_info_t>(R"([{"address":"AA:BB:CC:DD:EE:01","connected":true},
                             {"address":"EE:01yy|","connected":true},
                             {"address":"x","connected":true},
                             {"address":"tail","connected":true},
                             {"address":"tails","connected":true},
                             {"address":")" + long_address + R"(","connected":true},
                             {"address":")" + long_address + R"(M","connected":true},
                             {"address":")" + edge + R"(","connected":true},
                             {"address":"AA:BB:CC:DD:EE:01","connected":true}])");
    EXPECT_EQ(flags(got), "++++-+-++");
}

/* Appending to the caller's list is held by VolumePairs. */
TEST(LastSpeakers, FreeEmptiesTheListAndNoListIsRefused)
{
    Stored doc(kLastKey, R"([{"address":"AA:01"},{"address":"AA:02"}])");
    GSList *list = nullptr;
    ASSERT_EQ(halvo_get_last_bluetooth_speakers_internal(&list), 0);
    EXPECT_EQ(g_slist_length(list), 2u);
    EXPECT_EQ(halvo_free_last_bluetooth_speakers(&list), 0);
    EXPECT_EQ(list, nullptr);

    EXPECT_EQ(halvo_free_last_bluetooth_speakers(&list), 3);
    EXPECT_EQ(halvo_free_last_bluetooth_speakers_internal(&list), 3);
    EXPECT_EQ(halvo_free_last_bluetooth_speakers(nullptr), 3);
    EXPECT_EQ(halvo_free_last_bluetooth_speakers_internal(nullptr), 3);
}

namespace {

/* What a store-watched callback saw, a line per call. */
struct Seen {
    Records lines;
    void *user_data = nullptr;
};

void saw(void *user_data, const std::string &line)
{
    static_cast<Seen *>(user_data)->lines.push_back(line);
    static_cast<Seen *>(user_data)->user_data = user_data;
}

/* The list is the library's: freed after the call. */
void on_connected(GSList *list, void *user_data)
{
    std::string line = list ? "" : "NULL";
    for (const std::string &r : records<speaker_t>(list))
        line += r + ";";
    saw(user_data, line);
}

/* This list is the callback's to free. */
void on_last(GSList *list, void *user_data)
{
    std::string line = list ? "" : "NULL";
    for (const std::string &r : records<last_spk_info_t>(list))
        line += r + ";";
    saw(user_data, line);
    if (list) {
        EXPECT_EQ(halvo_free_last_bluetooth_speakers(&list), 0);
    }
}

void on_mute(bool muted, void *user_data) { saw(user_data, muted ? "muted" : "unmuted"); }

} // namespace

TEST(StoreWatches, ChangesReachTheLatestCallbackUntilUnset)
{
    const struct {
        const char *key;
        int (*set)(void *user_data); /* NULL user data: a NULL callback */
        int (*unset)(void);
        int none; /* what unset answers with none set */
        std::vector<const char *> texts; /* NULL: the key removed */
        Records want;
    } watches[] = {
        {kConnectedKey,
         [](void *d) { return halvo_set_connected_bt_speakers_changed_cb(d ? on_connected : nullptr, d); },
         halvo_unset_connected_bt_speakers_changed_cb, 3,
         {R"([{"vsid":["v"],"address":"AA:01","audioType":2},{"name":"Den"}])", "not json", "[{}]", "[]", nullptr},
         {R"(["v"]|AA:01|<null>|<null>|1;<null>|<null>|Den|<null>|4294967294;)", "NULL", kBlank + ";", "NULL",
          "NULL"}},
        /* A flag that is no integer is no state to report. */
        {kMuteKey,
         [](void *d) { return halvo_api_set_mute_changed_callback(d ? on_mute : nullptr, d); },
         halvo_api_unset_mute_changed_callback, 3,
         {"3", "0", "muted", "1", nullptr},
         {"muted", "unmuted", "muted"}},
        /* Connected only when stored so and in the key of addresses. */
        {kLastKey, [](void *d) { return halvo_set_last_bluetooth_speakers_changed_cb(d ? on_last : nullptr, d); },
         halvo_unset_last_bluetooth_speakers_changed_cb, 5,
         {R"([{"address":"AA:01","connected":true},{"address":"AA:02","connected":true}])", nullptr},
         {"-AA:01|<null>|<null>|4294967294;+AA:02|<null>|<null>|4294967294;", "NULL"}},
    };
    Stored addresses(kAddressesKey, "AA:02");
    LogCapture log;
    for (const auto &w : watches) {
        SCOPED_TRACE(w.key);
        EXPECT_EQ(w.set(nullptr), 3);
        EXPECT_EQ(w.unset(), w.none) << "none set";
        store_write(w.key, "0");
        Seen first, seen;
        ASSERT_EQ(w.set(&first), 0);
        ASSERT_EQ(w.set(&seen), 0) << "the second set replaces";
        for (const char *text : w.texts) {
            text ? store_write(w.key, text) : store_remove(w.key);
            store_settle();
        }
        EXPECT_EQ(seen.lines, w.want);
        EXPECT_EQ(seen.user_data, &seen);
        EXPECT_TRUE(first.lines.empty());

        EXPECT_EQ(w.unset(), 0);
        store_write(w.key, "1");
        store_settle();
        EXPECT_EQ(seen.lines.size(), w.want.size()) << "nothing after unset";
        EXPECT_EQ(w.unset(), w.none) << "nothing left to remove";
        store_remove(w.key);
    }
    EXPECT_TRUE(log.contains("info str is null")) << "the last speakers' key gone";
    EXPECT_EQ(halvo_set_last_bluetooth_speakers_key_changed_cb(nullptr), 0);
    EXPECT_EQ(halvo_unset_last_bluetooth_speakers_key_changed_cb(), 0);
    EXPECT_EQ(halvo_unset_last_bluetooth_speakers_key_changed_cb(), 5) << "no notification of its own is left";
}

/* ------------------------------------------------------------------ */
/* Speakers with their volumes                                         */
/* ------------------------------------------------------------------ */

namespace {

/* "address volume_result/volume controlable_result/controlable" per record. */
Records volumes(GSList *list)
{
    Records out;
    for (GSList *l = list; l; l = l->next) {
        auto *r = static_cast<const halvo_speaker_volume_t *>(l->data);
        out.push_back(str(r->speaker->address) + " " + std::to_string(r->volume_result) + "/" +
                      std::to_string(r->volume) + " " + std::to_string(r->controlable_result) + "/" +
                      std::to_string(r->controlable));
    }
    return out;
}

struct Refresh {
    GAsyncResult *result = nullptr;
    static void done(GObject *, GAsyncResult *result, gpointer data)
    {
        static_cast<Refresh *>(data)->result = G_ASYNC_RESULT(g_object_ref(result));
    }
    /* The finish's result, with the list it gave. */
    int finish(GSList **list)
    {
        EXPECT_TRUE(run_until([&] { return result != nullptr; }));
        int rc = halvo_api_speakers_with_volumes_finish(result, list);
        g_clear_object(&result);
        return rc;
    }
};

} // namespace

TEST(SpeakersWithVolumes, ReadsOfEverySpeakerOverlapAndLandInTheirOwnRecords)
{
    Stored doc(kConnectedKey, R"([{"address":"AA:01"},{"address":"AA:02"},{"name":"no address"}])");
    Peer::hold("get_volume_by_address", g_variant_new("(ii)", 0, 33));
    Peer::reply("get_volume_controlable_by_address", g_variant_new("(ii)", 0, 1), "AA:01");
    Peer::reply("get_volume_controlable_by_address", g_variant_new("(ii)", 4, 0), "AA:02");
    Refresh refresh;
    halvo_api_speakers_with_volumes_async(nullptr, Refresh::done, &refresh);
    /* All four calls are out while both volume reads are held. */
    EXPECT_TRUE(run_until([&] { return Peer::calls().size() == 4; }));
    EXPECT_EQ(refresh.result, nullptr);
    Peer::release("get_volume_by_address");
    GSList *list = nullptr;
    ASSERT_EQ(refresh.finish(&list), 0);
    EXPECT_EQ(halvo_api_last_failure(), HALVO_FAILURE_NONE) << "one speaker's failure is its record's";
    EXPECT_EQ(volumes(list), (Records{"AA:01 0/33 0/1", "AA:02 0/33 4/0", "<null> 3/0 3/0"}));
    EXPECT_EQ(halvo_free_speakers_with_volumes(&list), 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(halvo_free_speakers_with_volumes(&list), 3);

    /* Cancelled while the reads wait: nothing written. */
    GCancellable *cancellable = g_cancellable_new();
    halvo_api_speakers_with_volumes_async(cancellable, Refresh::done, &refresh);
    EXPECT_TRUE(run_until([&] { return Peer::calls("get_volume_by_address").size() == 4; }));
    g_cancellable_cancel(cancellable);
    EXPECT_EQ(refresh.finish(&list), HALVO_ERROR_CANCELLED);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(halvo_api_last_failure(), HALVO_FAILURE_CANCELLED);
    g_object_unref(cancellable);

    /* The store read failing is the answer. */
    store_remove(kConnectedKey);
    halvo_api_speakers_with_volumes_async(nullptr, Refresh::done, &refresh);
    EXPECT_EQ(refresh.finish(&list), 5);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(halvo_api_last_failure(), HALVO_FAILURE_STORE);
    Peer::release("get_volume_by_address");

    /* A result never finished takes its list with it (the leak checker sees). */
    store_write(kConnectedKey, R"([{"address":"AA:01"}])");
    halvo_api_speakers_with_volumes_async(nullptr, Refresh::done, &refresh);
    EXPECT_TRUE(run_until([&] { return refresh.result != nullptr; }));
    g_clear_object(&refresh.result);
}
