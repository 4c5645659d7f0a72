/* The info-sync device list and the pairing-blocked device list: reading
 * them from the store, and the edits that write them back. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <string>
#include <utility>
#include <vector>

using namespace halvo_test;

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

/* The records of an info-sync list, in list order. */
Pairs records(GSList *list)
{
    Pairs out;
    for (GSList *l = list; l != nullptr; l = l->next) {
        auto *d = static_cast<info_sync_device_t *>(l->data);
        out.emplace_back(d->address ? d->address : "<null>", d->name ? d->name : "<null>");
    }
    return out;
}

/* Reads the info-sync list into a fresh list and releases it. */
Pairs read_info_sync(int *result = nullptr)
{
    GSList *list = nullptr;
    int r = halvo_get_info_sync_devices(&list);
    if (result)
        *result = r;
    Pairs out = records(list);
    if (list != nullptr) {
        EXPECT_EQ(halvo_free_info_sync_devices(&list), 0);
    }
    EXPECT_EQ(list, nullptr);
    return out;
}

/* What the walk reported; stops after @stop_after reports when set. */
struct Walk {
    Pairs seen;
    size_t stop_after = 0;
};

bool record_blocked(const char *address, char *name, void *user_data)
{
    auto *walk = static_cast<Walk *>(user_data);
    walk->seen.emplace_back(address ? address : "<null>", name ? name : "<null>");
    return walk->stop_after == 0 || walk->seen.size() < walk->stop_after;
}

Pairs walk_blocked(int *result = nullptr, size_t stop_after = 0)
{
    Walk walk;
    walk.stop_after = stop_after;
    int r = halvo_foreach_blocked_devices(record_blocked, &walk);
    if (result)
        *result = r;
    return walk.seen;
}

/* Removes @address from the blocked list or marks it in the info-sync list. */
int remove_from(bool blocked, const char *address)
{
    return blocked ? halvo_remove_pairing_blocked_devices(address) : halvo_remove_info_sync_device(address);
}

/* Nested deeper than the parser accepts. */
std::string too_deep()
{
    return "{\"k\":" + std::string(300, '[') + std::string(300, ']') + "}";
}

} // namespace

/* ---------------------------------------------------------------- */
/* Info-sync list                                                     */
/* ---------------------------------------------------------------- */

TEST(InfoSync, ListsDevicesNotDeletedInDocumentOrder)
{
    /* Member names out of alphabetical order: the list follows the document.
     * A device without an address is skipped; one without a string name is
     * kept, named empty; a non-boolean mark does not count as deleted. */
    store_write(kInfoSyncKey, R"({
        "zz": {"address": "AA:01", "name": "first", "deleted_on_tv": false},
        "mm": {"address": "AA:02", "name": "second", "deleted_on_tv": true},
        "aa": {"name": "third", "address": "AA:03", "other": [1, 2]},
        "no-address": {"name": "lost"},
        "number-address": {"address": 12, "name": "numbered"},
        "no-name": {"address": "A2"},
        "null-name": {"address": "A3", "name": null},
        "not-an-object": "A4",
        "deleted": {"deleted_on_tv": true},
        "full": {"address": "A5", "name": "five", "deleted_on_tv": "yes"},
        "twice": {"address": "A0", "address": "A6", "name": 6}
    })");
    int result = -1;
    EXPECT_EQ(read_info_sync(&result), (Pairs{{"AA:01", "first"}, {"AA:03", "third"}, {"A2", ""}, {"A3", ""},
                                              {"A5", "five"}, {"A6", ""}}));
    EXPECT_EQ(result, 0);
}

/* Appending, and a failed read keeping the list, are in the twin table. */
TEST(InfoSync, UnreadableGives5FreeEmptiesTheListAndNoListIsRefused)
{
    store_write(kInfoSyncKey, R"({"a":{"address":"A1","name":"one"}})");
    GSList *list = nullptr;
    ASSERT_EQ(halvo_get_info_sync_devices(&list), 0);
    store_remove(kInfoSyncKey);
    EXPECT_EQ(halvo_get_info_sync_devices(&list), 5);
    EXPECT_EQ(halvo_free_info_sync_devices(&list), 0);
    EXPECT_EQ(list, nullptr);

    EXPECT_EQ(halvo_free_info_sync_devices(&list), 3) << "an empty list";
    EXPECT_EQ(halvo_free_info_sync_devices(nullptr), 3);
    EXPECT_EQ(halvo_get_info_sync_devices(nullptr), 3);
}

/* ---------------------------------------------------------------- */
/* Pairing-blocked devices                                            */
/* ---------------------------------------------------------------- */

TEST(BlockedDevices, WalkReportsBlockedDevicesInDocumentOrderUntilTheCallbackStops)
{
    store_write(kBlockedKey, R"({
        "CC:03": {"isBlocked": true, "name": "third?"},
        "AA:01": {"isBlocked": false, "name": "free"},
        "BB:02": {"name": "blocked too", "isBlocked": true, "since": 17},
        "DD:04": {"name": "no flag"},
        "EE:05": {"isBlocked": "true", "name": "text flag"},
        "FF:09": "not an object", "FF:06": {"isBlocked": true}, "FF:07": {"isBlocked": true, "name": 5},
        "FF:08": {"isBlocked": true, "name": null}
    })");
    int result = -1;
    EXPECT_EQ(walk_blocked(&result),
              (Pairs{{"CC:03", "third?"}, {"BB:02", "blocked too"}, {"FF:06", ""}, {"FF:07", ""}, {"FF:08", ""}}))
        << "a blocked device without a string name is reported named empty";
    EXPECT_EQ(result, 0);

    result = -1;
    EXPECT_EQ(walk_blocked(&result, 2), (Pairs{{"CC:03", "third?"}, {"BB:02", "blocked too"}}));
    EXPECT_EQ(result, 0);

    /* A NULL callback gives 3 before the store is read, which would give 5. */
    store_remove(kBlockedKey);
    EXPECT_EQ(halvo_foreach_blocked_devices(nullptr, nullptr), 3);
    EXPECT_TRUE(walk_blocked(&result).empty());
    EXPECT_EQ(result, 5);
}

/* ---------------------------------------------------------------- */
/* Both lists                                                         */
/* ---------------------------------------------------------------- */

/* Documents without devices give nothing to read; an edit that changes
 * nothing (there, or for an unknown, an already marked, a not-a-device,
 * a prefix or another case's key) leaves the file byte for byte. */
TEST(StoredLists, NothingToReadOrEditLeavesTheFileByteIdentical)
{
    std::vector<std::string> texts = {"", "   ", "{not json", R"([{"address":"A1","name":"n","isBlocked":true}])",
                                      "[{\"k1\":{}}]", "\"text\"", "\"k1\"", "42", "null", "{}", "{}{}", too_deep()};
    LogCapture log;
    for (const std::string &text : texts) {
        SCOPED_TRACE(text.substr(0, 40));
        store_write(kInfoSyncKey, text);
        store_write(kBlockedKey, text);
        EXPECT_TRUE(read_info_sync().empty());
        int result = -1;
        EXPECT_TRUE(walk_blocked(&result).empty());
        EXPECT_EQ(result, 0);
    }
    EXPECT_EQ(log.count("no blocked devices"), 1) << "only the empty text";

    const std::string info_sync = "{ \"k1\" : {\"address\":\"A1\", \"name\":\"one\"},\n"
                                  "  \"gone\": {\"address\":\"A2\",\"deleted_on_tv\" : true},\n"
                                  "  \"odd\": [1, 2] }\n",
                      blocked = "{ \"A\" : {\"isBlocked\": true, \"name\": \"a\"} }\n";
    for (bool is_blocked : {false, true}) {
        const char *key = is_blocked ? kBlockedKey : kInfoSyncKey;
        texts.push_back(is_blocked ? blocked : info_sync);
        for (const std::string &text : texts) {
            for (const char *address : {"unknown", "gone", "odd", "k", "a"}) {
                SCOPED_TRACE(text.substr(0, 30) + " / " + address);
                store_write(key, text);
                EXPECT_EQ(remove_from(is_blocked, address), 0);
                bool ok = false;
                EXPECT_EQ(store_read(key, &ok), text);
                EXPECT_TRUE(ok);
            }
        }
        texts.pop_back();

        EXPECT_EQ(remove_from(is_blocked, nullptr), 3);
        store_remove(key);
        EXPECT_EQ(remove_from(is_blocked, "A"), 5);
        bool ok = true;
        store_read(key, &ok);
        EXPECT_FALSE(ok) << "a failed read writes nothing";
    }
}

TEST(StoredEdits, OnlyTheEditedMemberChangesOrNothingDoes)
{
    /* Device "B" is marked (info-sync: in place, or after its members) or
     * unblocked (a middle or the only member); after is NULL where
     * the edit is refused: 5, and the text stays byte for byte. */
    const struct {
        bool blocked;
        const char *before, *after;
    } cases[] = {
        {false, R"({"B":{"serial":18446744073709551615},"o":{"n":-9223372036854775809}})",
         R"({"B":{"serial":18446744073709551615,"deleted_on_tv":true},"o":{"n":-9223372036854775809}})"},
        {false, R"({"o":{"x":1e400,"z":-0,"f":1.50E+2,"e":2e5},"B":{"deleted_on_tv":false,"n":"a\"b\\\u00e9\/"}})",
         R"({"o":{"x":1e400,"z":-0,"f":1.50E+2,"e":2e5},"B":{"deleted_on_tv":true,"n":"a\"b\\\u00e9\/"}})"},
        {false, "{ \"B\" : { } ,\n \"o\" : [ 1 , {\"B\":2} ] }\n",
         "{ \"B\" : {\"deleted_on_tv\":true } ,\n \"o\" : [ 1 , {\"B\":2} ] }\n"},
        {false, R"({"\u0042":{"a":1,"a":2,"deleted_on_tv" : {"x":[true]} }})",
         R"({"\u0042":{"a":1,"a":2,"deleted_on_tv" : true }})"},
        {false, R"({"B":{"deleted_on_tv":1}})", R"({"B":{"deleted_on_tv":true}})"},
        {false, R"({"B":{"deleted_on_tv":true},"B":{"address":"A"}})", nullptr},
        {false, R"({"B":{"deleted_on_tv":true,"deleted_on_tv":false}})", nullptr},
        {false, R"({"B":{"address":"A"} /* c */})", nullptr},
        {false, R"({'B':{'address':'A'}})", nullptr},
        {false, R"({"B":{},"o":0x10})", nullptr},
        {true, R"({"A":{"n":18446744073709551615},"B":{"isBlocked":true},"C":1e400})",
         R"({"A":{"n":18446744073709551615},"C":1e400})"},
        {true, "{ \"B\":{} }", "{  }"},
        {true, R"({"\u0041":{},"B":{}})", R"({"\u0041":{}})"},
        {true, R"({"A":01,"B":{}})", nullptr},
        {true, R"({"A":1,"B":{"n":"\u00G9"}})", nullptr},
        /* What json-glib reads leniently but is not plain JSON. */
        {true, R"({"A":"\x","B":{}})", nullptr},
        {true, R"({"A":1.,"B":{}})", nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.before);
        const char *key = c.blocked ? kBlockedKey : kInfoSyncKey;
        store_write(key, c.before);
        EXPECT_EQ(remove_from(c.blocked, "B"), c.after ? 0 : 5);
        EXPECT_EQ(store_read(key), c.after ? c.after : c.before);
    }
}

/* ---------------------------------------------------------------- */
/* Non-blocking calls                                                 */
/* ---------------------------------------------------------------- */

namespace {

Walk g_walk;

/* The outcome of a stored-list call, the records left in *@list (a
 * held_list(), freed), what the walk reported, and both documents. */
std::string fold(int result, GSList **list = nullptr)
{
    std::string s = outcome(result);
    for (const auto &[address, name] : records(list ? *list : nullptr))
        s += "|" + address + " " + name;
    if (list != nullptr && *list != nullptr)
        halvo_free_info_sync_devices(list);
    for (const auto &[address, name] : std::exchange(g_walk.seen, {}))
        s += "|walked " + address + " " + name;
    return s + "|" + store_read(kInfoSyncKey) + "|" + store_read(kBlockedKey);
}

const char *key(bool bad)
{
    return arg(bad ? nullptr : "B");
}

/* Both edits touch device "B". */
const Twin kTwins[] = {
    {nullptr, nullptr, true,
     TWIN_OUTS_CALLS(fold, GSList *, held_list(sizeof(info_sync_device_t)), (bad ? nullptr : &o),
                     halvo_get_info_sync_devices),
     HALVO_FAILURE_STORE},
    {nullptr, nullptr, true, TWIN_CALLS(fold, halvo_remove_info_sync_device, key(bad)), HALVO_FAILURE_STORE},
    {nullptr, nullptr, true,
     [](bool bad) { return fold(halvo_foreach_blocked_devices(bad ? nullptr : record_blocked, &g_walk)); },
     TWIN_START(halvo_foreach_blocked_devices, bad ? nullptr : record_blocked, &g_walk),
     [](GAsyncResult *r, bool) {
         EXPECT_TRUE(g_walk.seen.empty()) << "the walk runs inside _finish";
         return fold(halvo_foreach_blocked_devices_finish(r));
     },
     HALVO_FAILURE_STORE},
    {nullptr, nullptr, true, TWIN_CALLS(fold, halvo_remove_pairing_blocked_devices, key(bad)), HALVO_FAILURE_STORE},
};

} // namespace

TEST(StoredLists, NonBlockingCallsEndAsTheBlockingOnesDo)
{
    expect_twins_agree(kTwins, G_N_ELEMENTS(kTwins), [](bool failing) {
        if (failing) {
            store_remove(kInfoSyncKey);
            store_remove(kBlockedKey);
            return;
        }
        store_write(kInfoSyncKey, R"({"A":{"address":"A1","name":"one"},"B":{"address":"B2","name":"two"}})");
        store_write(kBlockedKey, R"({"A":{"isBlocked":true,"name":"a"},"B":{"isBlocked":true,"name":"b"}})");
    });
}
