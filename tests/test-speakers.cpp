/* Connected speakers and the last-speakers list: the store documents, the
 * change signal and the store notification, against the peer and a real
 * store root. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <cstring>
#include <string>
#include <vector>

using namespace halvo_test;

namespace {

const char *const kConnectedKey = "memory/org.velmo.pellix/soundoutput_info";
const char *const kLastKey = "db/pellix/last_btspk_list";
const char *const kAddressesKey = "memory/pellix/connected_btspk_addr_list";

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

std::string str(const char *s)
{
    return s ? s : "<null>";
}

/* A key written for the test and removed after it. */
struct Stored {
    std::string key;
    Stored(const char *k, const std::string &text) : key(k) { store_write(key, text); }
    ~Stored() { store_remove(key); }
};

struct Spk {
    std::string vsid, address, name, icon;
    guint32 audio;
};

std::vector<Spk> speakers(GSList *list)
{
    std::vector<Spk> out;
    for (GSList *l = list; l; l = l->next) {
        auto *s = static_cast<speaker_t *>(l->data);
        out.push_back({str(s->vsid), str(s->address), str(s->name), str(s->icon_type), word(s->audio_type)});
    }
    return out;
}

struct Last {
    bool connected;
    std::string address, name, icon;
    guint32 audio;
};

std::vector<Last> lasts(GSList *list)
{
    std::vector<Last> out;
    for (GSList *l = list; l; l = l->next) {
        auto *s = static_cast<last_spk_info_t *>(l->data);
        out.push_back({s->connected, str(s->address), str(s->name), str(s->icon_type), word(s->audio_type)});
    }
    return out;
}

/* Reads the last-speakers list stored as @doc. */
std::vector<Last> read_last(const std::string &doc, int *ret = nullptr)
{
    Stored stored(kLastKey, doc);
    GSList *list = nullptr;
    int r = halvo_get_last_bluetooth_speakers(&list);
    if (ret)
        *ret = r;
    std::vector<Last> out = lasts(list);
    if (list)
        halvo_free_last_bluetooth_speakers(&list);
    return out;
}

} // namespace

/* ------------------------------------------------------------------ */
/* Connected speakers                                                  */
/* ------------------------------------------------------------------ */

TEST(ConnectedSpeakers, StoredObjectsGiveRecordsInOrderAfterTheCallersList)
{
    Stored doc(kConnectedKey, R"([{"vsid":["v1","v2"],"address":"AA:01","name":"Kitchen","iconType":"SB","audioType":1},
                                  {"vsid":[],"address":"AA:02","name":"Den","iconType":"PS","audioType":3},
                                  {"address":"AA:03","name":"Hall"}])");
    GSList *list = nullptr;
    ASSERT_EQ(halvo_get_connected_bt_speaker_infos(&list), 0);
    auto got = speakers(list);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].vsid, R"(["v1","v2"])") << "compact text of the array";
    EXPECT_EQ(got[0].address, "AA:01");
    EXPECT_EQ(got[0].name, "Kitchen");
    EXPECT_EQ(got[0].icon, "SB");
    EXPECT_EQ(got[0].audio, 0u) << "stored one-based";
    EXPECT_EQ(got[1].vsid, "[]");
    EXPECT_EQ(got[1].audio, 2u);
    EXPECT_EQ(got[2].vsid, "<null>");
    EXPECT_EQ(got[2].address, "AA:03");
    EXPECT_EQ(got[2].audio, 0xFFFFFFFEu) << "missing audioType is -2";

    /* A second read appends after what the list already holds. */
    ASSERT_EQ(halvo_get_connected_bt_speaker_infos(&list), 0);
    got = speakers(list);
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[2].address, "AA:03");
    EXPECT_EQ(got[3].address, "AA:01");
    EXPECT_EQ(got[5].address, "AA:03");
    EXPECT_EQ(halvo_free_connected_bt_spaekr_infos(&list), 0);
    EXPECT_EQ(list, nullptr);
}

TEST(ConnectedSpeakers, DocumentsOfAnotherShapeGiveDefaults)
{
    LogCapture log;
    GSList *list = nullptr;
    {
        Stored doc(kConnectedKey, "[]");
        EXPECT_EQ(halvo_get_connected_bt_speaker_infos(&list), 0);
        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(halvo_free_connected_bt_spaekr_infos(&list), 3);
        EXPECT_TRUE(log.contains("List is NULL!!"));
    }
    /* The last one is deeper than any real document: refused, not recursed into. */
    for (const std::string &text : {std::string(R"([{"address":"AA:01"},)"), std::string("not json"),
                                     std::string(R"({"address":"AA:01"})"), std::string(), std::string("\"[]\""),
                                     std::string(100000, '[') + std::string(100000, ']')}) {
        Stored doc(kConnectedKey, text);
        log.clear();
        EXPECT_EQ(halvo_get_connected_bt_speaker_infos(&list), 0) << text.substr(0, 20);
        EXPECT_EQ(list, nullptr) << text.substr(0, 20);
        EXPECT_TRUE(log.contains("count : -1")) << text.substr(0, 20);
    }
    {
        Stored doc(kConnectedKey, R"([1, "x", null, [],
                                      {"vsid":"v","address":5,"name":["n"],"iconType":{},"audioType":"1"},
                                      {"vsid":[1,"a",null],"audioType":true}])");
        ASSERT_EQ(halvo_get_connected_bt_speaker_infos(&list), 0);
        auto got = speakers(list);
        ASSERT_EQ(got.size(), 6u);
        for (size_t i = 0; i < 5; i++) {
            EXPECT_EQ(got[i].vsid, "<null>") << i;
            EXPECT_EQ(got[i].address, "<null>") << i;
            EXPECT_EQ(got[i].name, "<null>") << i;
            EXPECT_EQ(got[i].icon, "<null>") << i;
            EXPECT_EQ(got[i].audio, 0xFFFFFFFEu) << i;
        }
        EXPECT_EQ(got[5].vsid, R"(["a"])") << "elements that are not strings are left out";
        EXPECT_EQ(got[5].audio, 0xFFFFFFFEu);
        halvo_free_connected_bt_spaekr_infos(&list);
    }
}

TEST(ConnectedSpeakers, UnreadableKeyGives5AndLeavesTheList)
{
    store_remove(kConnectedKey);
    LogCapture log;
    GSList *list = nullptr;
    EXPECT_EQ(halvo_get_connected_bt_speaker_infos(&list), 5);
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(log.contains("info_str is NULL"));
}

namespace {

struct InfoEvents {
    int calls = 0, nulls = 0;
    std::vector<Spk> records;
    void *user_data = nullptr;
};

void on_info(speaker_t *s, void *user_data)
{
    auto *e = static_cast<InfoEvents *>(user_data);
    e->calls++;
    e->user_data = user_data;
    if (s == nullptr)
        e->nulls++;
    else
        e->records.push_back({str(s->vsid), str(s->address), str(s->name), str(s->icon_type), word(s->audio_type)});
}

void emit_info(const char *text)
{
    Peer::emit("bt_spk_info_changed", g_variant_new("(s)", text));
}

} // namespace

TEST(ConnectedSpeakers, ChangeSignalPayloads)
{
    InfoEvents events;
    ASSERT_EQ(halvo_register_bt_spaeker_info_changed_cb(on_info, &events), 0);
    LogCapture log;

    emit_info("null");
    Peer::sync_signals();
    EXPECT_EQ(events.calls, 1);
    EXPECT_EQ(events.nulls, 1);
    EXPECT_EQ(events.user_data, &events);

    emit_info(R"({"vsid":["x"],"address":"AA:07","name":"Bar","iconType":"SB","audioType":2})");
    Peer::sync_signals();
    ASSERT_EQ(events.records.size(), 1u);
    EXPECT_EQ(events.records[0].vsid, R"(["x"])");
    EXPECT_EQ(events.records[0].address, "AA:07");
    EXPECT_EQ(events.records[0].audio, 1u);

    emit_info("{not json");
    Peer::sync_signals();
    EXPECT_EQ(events.calls, 2) << "text that is not JSON calls nothing";
    EXPECT_TRUE(log.contains("fail to json_parser_load_from_data "));

    emit_info(R"([{"address":"AA:08"}])");
    Peer::sync_signals();
    ASSERT_EQ(events.records.size(), 2u) << "an array still gives a record";
    EXPECT_EQ(events.records[1].address, "<null>");
    EXPECT_EQ(events.records[1].audio, 0xFFFFFFFEu);

    /* Another payload type carries no text. */
    Peer::emit("bt_spk_info_changed", g_variant_new("(i)", 4));
    Peer::emit("bt_spk_info_changed", g_variant_new("(ss)", "null", "null"));
    Peer::sync_signals();
    EXPECT_EQ(events.calls, 3);
    EXPECT_EQ(log.count("output_str is NULL"), 2);

    EXPECT_EQ(halvo_unregister_bt_spaeker_info_changed_cb(), 0);
    emit_info("null");
    Peer::sync_signals();
    EXPECT_EQ(events.calls, 3) << "nothing after unregistering";
    EXPECT_EQ(halvo_unregister_bt_spaeker_info_changed_cb(), 3);
}

TEST(ConnectedSpeakers, ChangeSignalWithoutCallbackOrOfAnotherName)
{
    LogCapture log;
    ASSERT_EQ(halvo_register_bt_spaeker_info_changed_cb(nullptr, nullptr), 0) << "a NULL callback is stored";
    emit_info("null");
    Peer::sync_signals();
    EXPECT_EQ(log.count("callback is NULL"), 1);

    InfoEvents events;
    ASSERT_EQ(halvo_register_bt_spaeker_info_changed_cb(on_info, &events), 0);
    GVariant *payload = g_variant_ref_sink(g_variant_new("(s)", "null"));
    _halvo_bt_spk_info_changed(nullptr, nullptr, nullptr, nullptr, "bt_spk_info_changed_x", payload, nullptr);
    _halvo_bt_spk_info_changed(nullptr, nullptr, nullptr, nullptr, nullptr, payload, nullptr);
    EXPECT_EQ(log.count("Different signal name"), 2);
    _halvo_bt_spk_info_changed(nullptr, nullptr, nullptr, nullptr, "bt_spk_info_changed", nullptr, nullptr);
    EXPECT_TRUE(log.contains("parameter is NULL"));
    EXPECT_EQ(events.calls, 0);
    g_variant_unref(payload);
    EXPECT_EQ(halvo_unregister_bt_spaeker_info_changed_cb(), 0);
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

    auto calls = Peer::calls("set_connected_bt_speaker_info");
    ASSERT_EQ(calls.size(), 3u);
    auto text = [&](size_t i) {
        const char *s = "";
        g_variant_get(calls[i].body, "(&s)", &s);
        return std::string(s);
    };
    EXPECT_EQ(text(0), R"({"address":"AA:BB:CC:DD:EE:01","name":"Living \"room\"","iconType":"SB","audioType":1,"vsid":"vs-1"})");
    EXPECT_NE(text(1).find(R"("audioType":4294967295,)"), std::string::npos) << "unsigned, widened without sign";
    EXPECT_NE(text(2).find(R"("audioType":0,)"), std::string::npos) << "wraps in 32 bits";

    /* The serialised set sends its text unchanged, JSON or not. */
    Peer::reply("set_connected_bt_speaker_info", g_variant_new("(i)", -3));
    EXPECT_EQ(halvo_set_connected_bt_speaker_info_with_serialization("not even json {"), -3);
    calls = Peer::calls("set_connected_bt_speaker_info");
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(text(3), "not even json {");
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
    EXPECT_EQ(halvo_set_connected_bt_speaker_info_with_serialization(bad), 3);
    EXPECT_TRUE(Peer::calls().empty()) << "nothing sent";

    /* No rule: the peer answers with an error. */
    EXPECT_EQ(halvo_set_connected_bt_speaker_info("v", &full), 5);
    EXPECT_EQ(halvo_set_connected_bt_speaker_info_with_serialization("{}"), 5);
    EXPECT_EQ(log.count("result is NULL"), 2);
}

/* ------------------------------------------------------------------ */
/* Last speakers                                                       */
/* ------------------------------------------------------------------ */

TEST(LastSpeakers, ConnectedNeedsTheStoredFlagAndTheAddressInTheKey)
{
    Stored addresses(kAddressesKey, "AA:BB:CC:DD:EE:00,AA:BB:CC:DD:EE:01,AA:BB:CC:DD:EE:02");
    int ret = -1;
    auto got = read_last(R"([
        {"address":"AA:BB:CC:DD:EE:01","name":"Among others","iconType":"SB","audioType":1,"connected":true},
        {"address":"AA:BB:CC:DD:EE:03","name":"Absent","connected":true},
        {"address":"AA:BB:CC:DD:EE:02","name":"Stored false","connected":false},
        {"address":"AA:BB:CC:DD:EE:00","name":"No flag"},
        {"name":"No address","connected":true},
        {"address":"aa:bb:cc:dd:ee:01","name":"Other case","connected":true},
        {"address":"AA:BB:CC:DD:EE:02","name":"Flag as text","connected":"true"}])",
                         &ret);
    EXPECT_EQ(ret, 0);
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[0].audio, 0u);
    EXPECT_EQ(got[0].icon, "SB");
    EXPECT_EQ(got[4].audio, 0xFFFFFFFEu);
    const char *names[] = {"Among others", "Absent", "Stored false", "No flag", "No address", "Other case",
                           "Flag as text"};
    for (size_t i = 0; i < 7; i++) {
        EXPECT_EQ(got[i].name, names[i]) << "array order";
        EXPECT_EQ(got[i].connected, i == 0) << names[i];
    }
}

TEST(LastSpeakers, AnAddressAnywhereInTheKeyCounts)
{
    const std::string long_address(40, 'L');
    Stored addresses(kAddressesKey, "xxAA:BB:CC:DD:EE:01yy|" + long_address + "|tail");
    auto got = read_last(R"([{"address":"AA:BB:CC:DD:EE:01","connected":true},
                             {"address":"EE:01yy|","connected":true},
                             {"address":"x","connected":true},
                             {"address":"tail","connected":true},
                             {"address":"tails","connected":true},
                             {"address":")" + long_address + R"(","connected":true},
                             {"address":")" + long_address + R"(M","connected":true},
                             {"address":"AA:BB:CC:DD:EE:01","connected":true}])");
    ASSERT_EQ(got.size(), 8u);
    bool expected[] = {true, true, true, true, false, true, false, true};
    for (size_t i = 0; i < 8; i++)
        EXPECT_EQ(got[i].connected, expected[i]) << got[i].address;
}

TEST(LastSpeakers, UnreadableAddressKeyMeansNotConnected)
{
    store_remove(kAddressesKey);
    LogCapture log;
    auto got = read_last(R"([{"address":"AA:01","connected":true},{"address":"AA:02","connected":true}])");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_FALSE(got[0].connected);
    EXPECT_FALSE(got[1].connected);
    EXPECT_TRUE(log.contains("address is null"));
}

TEST(LastSpeakers, DocumentsOfAnotherShapeGiveDefaults)
{
    Stored addresses(kAddressesKey, "AA:01");
    int ret = -1;
    for (const std::string &text : {std::string("[]"), std::string("{}"), std::string("not json"),
                                     std::string(R"([{"address":"AA:01",)"), std::string("null"), std::string(), std::string("{}{}"),
                                     std::string(R"([{"address":"AA:01"}] [{"address":"BB"}])"),
                                     std::string(50000, '[') + std::string(50000, ']')}) {
        EXPECT_TRUE(read_last(text, &ret).empty()) << text.substr(0, 20);
        EXPECT_EQ(ret, 0) << text.substr(0, 20);
    }

    auto got = read_last(R"([7, "AA:01", [], {"address":["AA:01"],"name":1,"iconType":null,"audioType":1.5,"connected":1}])");
    ASSERT_EQ(got.size(), 4u);
    for (const Last &l : got) {
        EXPECT_FALSE(l.connected);
        EXPECT_EQ(l.address, "<null>");
        EXPECT_EQ(l.name, "<null>");
        EXPECT_EQ(l.icon, "<null>");
        EXPECT_EQ(l.audio, 0xFFFFFFFEu);
    }
}

TEST(LastSpeakers, ReadAppendsAfterTheCallersListAndFreeEmptiesIt)
{
    Stored doc(kLastKey, R"([{"address":"AA:01"},{"address":"AA:02"}])");
    GSList *list = nullptr;
    ASSERT_EQ(halvo_get_last_bluetooth_speakers(&list), 0);
    ASSERT_EQ(halvo_get_last_bluetooth_speakers_internal(&list), 0);
    auto got = lasts(list);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[1].address, "AA:02");
    EXPECT_EQ(got[2].address, "AA:01");
    EXPECT_EQ(halvo_free_last_bluetooth_speakers(&list), 0);
    EXPECT_EQ(list, nullptr);

    LogCapture log;
    EXPECT_EQ(halvo_free_last_bluetooth_speakers(&list), 3);
    EXPECT_EQ(halvo_free_last_bluetooth_speakers_internal(&list), 3);
    EXPECT_EQ(halvo_free_last_bluetooth_speakers(nullptr), 3);
    EXPECT_EQ(log.count("List is NULL!!"), 3);

    store_remove(kLastKey);
    EXPECT_EQ(halvo_get_last_bluetooth_speakers(&list), 5);
    EXPECT_TRUE(log.contains("info_str is NULL"));
    EXPECT_EQ(list, nullptr);
}

namespace {

struct ListEvents {
    int calls = 0;
    int nulls = 0;
    std::vector<std::vector<Last>> lists;
    void *user_data = nullptr;
};

void on_list(GSList *list, void *user_data)
{
    auto *e = static_cast<ListEvents *>(user_data);
    e->calls++;
    e->user_data = user_data;
    if (list == nullptr)
        e->nulls++;
    e->lists.push_back(lasts(list));
    /* The list is the callback's to free. */
    if (list) {
        EXPECT_EQ(halvo_free_last_bluetooth_speakers(&list), 0);
    }
}

} // namespace

TEST(LastSpeakers, RewrittenKeyDeliversAFreshList)
{
    Stored addresses(kAddressesKey, "AA:02");
    store_write(kLastKey, "[]");
    ListEvents first, events;
    ASSERT_EQ(halvo_set_last_bluetooth_speakers_changed_cb(on_list, &first), 0);
    ASSERT_EQ(halvo_set_last_bluetooth_speakers_changed_cb(on_list, &events), 0) << "the second set replaces";

    store_write(kLastKey, R"([{"address":"AA:01","connected":true},{"address":"AA:02","connected":true}])");
    ASSERT_TRUE(run_until([&] { return events.calls == 1; }));
    EXPECT_EQ(first.calls, 0);
    EXPECT_EQ(events.user_data, &events);
    ASSERT_EQ(events.lists[0].size(), 2u);
    EXPECT_EQ(events.lists[0][0].address, "AA:01");
    EXPECT_FALSE(events.lists[0][0].connected);
    EXPECT_TRUE(events.lists[0][1].connected);

    /* The key gone: no text, NULL list. */
    LogCapture log;
    store_remove(kLastKey);
    ASSERT_TRUE(run_until([&] { return events.calls == 2; }));
    EXPECT_EQ(events.nulls, 1);
    EXPECT_TRUE(log.contains("info str is null"));

    store_write(kLastKey, "garbage");
    ASSERT_TRUE(run_until([&] { return events.calls == 3; }));
    EXPECT_EQ(events.nulls, 2) << "text that is not JSON gives an empty list";

    EXPECT_EQ(halvo_unset_last_bluetooth_speakers_changed_cb(), 0);
    store_write(kLastKey, R"([{"address":"AA:09"}])");
    store_settle();
    EXPECT_EQ(events.calls, 3) << "nothing after unset";
    EXPECT_EQ(halvo_unset_last_bluetooth_speakers_changed_cb(), 5) << "nothing left to remove";
    store_remove(kLastKey);
}

TEST(LastSpeakers, SetWithNullCallbackRegistersNothing)
{
    LogCapture log;
    EXPECT_EQ(halvo_set_last_bluetooth_speakers_changed_cb(nullptr, nullptr), 3);
    EXPECT_TRUE(log.contains("cb is NULL!!"));
    EXPECT_EQ(halvo_unset_last_bluetooth_speakers_key_changed_cb(), 5) << "no notification was registered";
}

TEST(LastSpeakers, NotificationWithAnEmptySlotCallsNothing)
{
    /* Only the internal set accepts an empty callback. */
    ASSERT_EQ(halvo_set_last_bluetooth_speakers_changed_cb_internal(nullptr, nullptr), 0);
    LogCapture log;
    store_write(kLastKey, R"([{"address":"AA:01"}])");
    EXPECT_TRUE(run_until([&] { return log.contains("callback is NULL"); }));
    EXPECT_FALSE(log.contains("call callbacks"));
    EXPECT_EQ(halvo_unset_last_bluetooth_speakers_changed_cb_internal(), 0);
    store_remove(kLastKey);
}
