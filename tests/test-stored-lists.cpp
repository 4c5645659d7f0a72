/* The info-sync device list and the pairing-blocked device list: reading
 * them from the store, and the edits that write them back. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace halvo_test;

namespace {

const char *const kInfoSyncKey = "db/com.marlox.tv.bt-rilomanager/btinfosync/devices";
const char *const kBlockedKey = "db/pellix/pairing_blocekd_devices";

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
    LogCapture log;
    int result = -1;
    EXPECT_EQ(read_info_sync(&result), (Pairs{{"AA:01", "first"}, {"AA:03", "third"}, {"A2", ""}, {"A3", ""},
                                              {"A5", "five"}, {"A6", ""}}));
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(log.contains("added AA:01(first)"));
    EXPECT_TRUE(log.contains("added done"));
    EXPECT_FALSE(log.contains("AA:02(second)"));
    /* The library and its callers agree on every record's size. */
    EXPECT_EQ(get_size_of_info_sync_device_t(), int(sizeof(info_sync_device_t)));
    EXPECT_EQ(get_size_of_bt_spk_info_t(), int(sizeof(bt_spk_info_t)));
    EXPECT_EQ(get_size_of_halvo_device_info_s(), int(sizeof(halvo_device_info_s)));
    EXPECT_EQ(get_size_of_last_spk_info_t(), int(sizeof(last_spk_info_t)));
    EXPECT_EQ(get_size_of_speaker_t(), int(sizeof(speaker_t)));
}

TEST(InfoSync, AppendsAfterRecordsTheListAlreadyHolds)
{
    store_write(kInfoSyncKey, R"({"a":{"address":"A1","name":"one"},"b":{"address":"A2","name":"two"}})");
    GSList *list = nullptr;
    ASSERT_EQ(halvo_get_info_sync_devices(&list), 0);
    GSList *head = list;
    ASSERT_EQ(halvo_get_info_sync_devices(&list), 0);
    EXPECT_EQ(list, head) << "appending keeps the head";
    EXPECT_EQ(records(list), (Pairs{{"A1", "one"}, {"A2", "two"}, {"A1", "one"}, {"A2", "two"}}));

    /* An unreadable key fails without dropping what the caller holds. */
    store_remove(kInfoSyncKey);
    EXPECT_EQ(halvo_get_info_sync_devices(&list), 5);
    EXPECT_EQ(g_slist_length(list), 4u);
    EXPECT_EQ(halvo_free_info_sync_devices(&list), 0);
    EXPECT_EQ(list, nullptr);

    LogCapture log;
    EXPECT_EQ(halvo_free_info_sync_devices(&list), 3) << "an empty list";
    EXPECT_TRUE(log.contains("List is NULL!!"));
    EXPECT_EQ(halvo_free_info_sync_devices(nullptr), 3);
    EXPECT_EQ(halvo_get_info_sync_devices(nullptr), 3);
}

TEST(InfoSync, RemoveMarksTheDeviceAndKeepsEverythingElse)
{
    const std::string k1 = R"({"k1":{"address":"A1","name":"one","x":[1,{"y":null}]},)",
                      k2 = R"("k2":{"name":"two","address":"A2","deleted_on_tv":false,"extra":"e"},)",
                      k3 = R"("k3":{"address":"A3","name":"three"},"note":"not a device"})";
    store_write(kInfoSyncKey, k1 + k2 + k3);
    LogCapture log;
    EXPECT_EQ(halvo_remove_info_sync_device("k2"), 0);
    EXPECT_TRUE(log.contains("mark k2 as deleted on tv"));
    const std::string k2_marked = R"("k2":{"name":"two","address":"A2","deleted_on_tv":true,"extra":"e"},)";
    EXPECT_EQ(store_read(kInfoSyncKey), k1 + k2_marked + k3) << "the mark replaces the member in place";
    EXPECT_EQ(read_info_sync(), (Pairs{{"A1", "one"}, {"A3", "three"}}));

    EXPECT_EQ(halvo_remove_info_sync_device("k3"), 0);
    EXPECT_EQ(store_read(kInfoSyncKey),
              k1 + k2_marked + R"("k3":{"address":"A3","name":"three","deleted_on_tv":true},"note":"not a device"})")
        << "a missing mark is added after the device's members";
    EXPECT_EQ(read_info_sync(), (Pairs{{"A1", "one"}}));
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

    LogCapture log;
    result = -1;
    EXPECT_EQ(walk_blocked(&result, 2), (Pairs{{"CC:03", "third?"}, {"BB:02", "blocked too"}}));
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(log.contains("callback done"));

    /* A NULL callback gives 3 before the store is read, which would give 5. */
    store_remove(kBlockedKey);
    log.clear();
    EXPECT_EQ(halvo_foreach_blocked_devices(nullptr, nullptr), 3);
    EXPECT_TRUE(log.contains("iteration callback is null"));
    EXPECT_FALSE(log.contains("fail to get"));
    EXPECT_TRUE(walk_blocked(&result).empty());
    EXPECT_EQ(result, 5);
    EXPECT_TRUE(log.contains("fail to get db/pellix/pairing_blocked_devices fail"));
}

TEST(BlockedDevices, RemoveDropsOnlyThatMember)
{
    store_write(kBlockedKey, R"({"A":{"isBlocked":true,"name":"a","x":[{"z":1}]},)"
                             R"("B":{"name":"b","isBlocked":true},"C":{"isBlocked":true,"name":"c"},"meta":7})");
    EXPECT_EQ(halvo_remove_pairing_blocked_devices("B"), 0);
    EXPECT_EQ(store_read(kBlockedKey),
              R"({"A":{"isBlocked":true,"name":"a","x":[{"z":1}]},"C":{"isBlocked":true,"name":"c"},"meta":7})");
    EXPECT_EQ(walk_blocked(), (Pairs{{"A", "a"}, {"C", "c"}}));

    EXPECT_EQ(halvo_remove_pairing_blocked_devices("A"), 0);
    EXPECT_EQ(halvo_remove_pairing_blocked_devices("C"), 0);
    EXPECT_EQ(store_read(kBlockedKey), R"({"meta":7})");
    EXPECT_TRUE(walk_blocked().empty());
}

/* ---------------------------------------------------------------- */
/* Both lists                                                         */
/* ---------------------------------------------------------------- */

TEST(StoredLists, DocumentsWithoutDevicesGiveNothing)
{
    LogCapture log;
    for (const std::string &text :
         std::vector<std::string>{"", "   ", "{not json", R"([{"address":"A1","name":"n","isBlocked":true}])",
                                  "\"text\"", "42", "null", "{}", "{}{}", too_deep()}) {
        SCOPED_TRACE(text.substr(0, 40));
        store_write(kInfoSyncKey, text);
        store_write(kBlockedKey, text);
        GSList *list = nullptr;
        EXPECT_EQ(halvo_get_info_sync_devices(&list), 0);
        EXPECT_EQ(list, nullptr);
        int result = -1;
        EXPECT_TRUE(walk_blocked(&result).empty());
        EXPECT_EQ(result, 0);
    }
    EXPECT_EQ(log.count("no blocked devices"), 1) << "only the empty text";
}

TEST(StoredLists, RemoveThatChangesNothingLeavesTheFileByteIdentical)
{
    /* Unknown, already marked, not a device, a prefix, another case. */
    const std::string info_sync = "{ \"k1\" : {\"address\":\"A1\", \"name\":\"one\"},\n"
                                  "  \"gone\": {\"address\":\"A2\",\"deleted_on_tv\" : true},\n"
                                  "  \"odd\": [1, 2] }\n",
                      blocked = "{ \"A\" : {\"isBlocked\": true, \"name\": \"a\"} }\n";
    for (bool is_blocked : {false, true}) {
        const char *key = is_blocked ? kBlockedKey : kInfoSyncKey;
        for (const std::string &text : std::vector<std::string>{is_blocked ? blocked : info_sync, "[{\"k1\":{}}]",
                                                                "[\"A\"]", "", "{broken", "\"k1\"", too_deep()}) {
            for (const char *address : {"unknown", "gone", "odd", "k", "a"}) {
                SCOPED_TRACE(text.substr(0, 30) + " / " + address);
                store_write(key, text);
                EXPECT_EQ(remove_from(is_blocked, address), 0);
                bool ok = false;
                EXPECT_EQ(store_read(key, &ok), text);
                EXPECT_TRUE(ok);
            }
        }

        LogCapture log;
        EXPECT_EQ(remove_from(is_blocked, nullptr), 3);
        EXPECT_TRUE(!is_blocked || log.contains("address is NULL"));
        store_remove(key);
        EXPECT_EQ(remove_from(is_blocked, "A"), 5);
        EXPECT_TRUE(log.contains("fail to read valko"));
        bool ok = true;
        store_read(key, &ok);
        EXPECT_FALSE(ok) << "a failed read writes nothing";
    }
}

TEST(StoredEdits, OnlyTheEditedMemberChangesOrNothingDoes)
{
    /* Device "B" is marked (info-sync) or unblocked; after is NULL where
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
        {false, R"({"B":{"deleted_on_tv":true},"B":{"address":"A"}})", nullptr},
        {false, R"({"B":{"deleted_on_tv":true,"deleted_on_tv":false}})", nullptr},
        {false, R"({"B":{"address":"A"} /* c */})", nullptr},
        {false, R"({'B':{'address':'A'}})", nullptr},
        {false, R"({"B":{},"o":0x10})", nullptr},
        {true, R"({"A":{"n":18446744073709551615},"B":{"isBlocked":true},"C":1e400})",
         R"({"A":{"n":18446744073709551615},"C":1e400})"},
        {true, "{ \"A\" : -0 ,\n \"B\" : {\"isBlocked\":true}\n}", "{ \"A\" : -0\n}"},
        {true, R"({"\u0042":[],"A":"x\"y"})", R"({"A":"x\"y"})"},
        {true, "{ \"B\":{} }", "{  }"},
        {true, R"({"B":1,"B":{"isBlocked":true}})", nullptr},
        {true, R"({"A":01,"B":{}})", nullptr},
        {true, R"({"A":1,"B":{"n":"\u00G9"}})", nullptr},
        /* What json-glib reads leniently but is not plain JSON. */
        {true, "{\"A\":\"a\tb\",\"B\":{}}", nullptr},
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

/* A stored-list operation in both forms.  @arg is its text input; NULL
 * also stands for the NULL list or callback of those that take none. */
struct StoreOp {
    const char *name;
    std::function<int(const char *arg, Pairs &out)> blocking;
    std::function<void(const char *arg, GCancellable *, GAsyncReadyCallback, gpointer)> start;
    std::function<int(GAsyncResult *, const char *arg, Pairs &out)> finish;
};

/* The records of @list, which is then freed as a caller frees it. */
Pairs take_list(GSList *list)
{
    Pairs out = records(list);
    if (list != nullptr)
        halvo_free_info_sync_devices(&list);
    return out;
}

Walk g_walk;

struct AsyncRun {
    const StoreOp *op;
    const char *arg;
    Pairs out;
    int calls = 0, rc = -1000;
    halvo_failure_e failure = HALVO_FAILURE_NONE;
};

void async_done(GObject *, GAsyncResult *result, gpointer data)
{
    auto *run = static_cast<AsyncRun *>(data);
    run->calls++;
    run->rc = run->op->finish(result, run->arg, run->out);
    run->failure = halvo_api_last_failure();
}

} // namespace

TEST(StoredLists, NonBlockingCallsEndAsTheBlockingOnesDo)
{
    const StoreOp ops[] = {
        {"info-sync list",
         [](const char *arg, Pairs &out) {
             GSList *list = nullptr;
             int rc = halvo_get_info_sync_devices(arg ? &list : nullptr);
             out = take_list(list);
             return rc;
         },
         [](const char *, GCancellable *c, GAsyncReadyCallback cb, gpointer d) {
             halvo_get_info_sync_devices_async(c, cb, d);
         },
         [](GAsyncResult *r, const char *arg, Pairs &out) {
             GSList *list = nullptr;
             int rc = halvo_get_info_sync_devices_finish(r, arg ? &list : nullptr);
             out = take_list(list);
             return rc;
         }},
        {"info-sync remove", [](const char *arg, Pairs &) { return halvo_remove_info_sync_device(arg); },
         [](const char *arg, GCancellable *c, GAsyncReadyCallback cb, gpointer d) {
             halvo_remove_info_sync_device_async(arg, c, cb, d);
         },
         [](GAsyncResult *r, const char *, Pairs &) { return halvo_remove_info_sync_device_finish(r); }},
        {"blocked walk",
         [](const char *arg, Pairs &out) {
             g_walk = {};
             int rc = halvo_foreach_blocked_devices(arg ? record_blocked : nullptr, &g_walk);
             out = g_walk.seen;
             return rc;
         },
         [](const char *arg, GCancellable *c, GAsyncReadyCallback cb, gpointer d) {
             g_walk = {};
             halvo_foreach_blocked_devices_async(arg ? record_blocked : nullptr, &g_walk, c, cb, d);
         },
         [](GAsyncResult *r, const char *, Pairs &out) {
             EXPECT_TRUE(g_walk.seen.empty()) << "the walk runs inside _finish";
             int rc = halvo_foreach_blocked_devices_finish(r);
             out = g_walk.seen;
             return rc;
         }},
        {"blocked remove", [](const char *arg, Pairs &) { return halvo_remove_pairing_blocked_devices(arg); },
         [](const char *arg, GCancellable *c, GAsyncReadyCallback cb, gpointer d) {
             halvo_remove_pairing_blocked_devices_async(arg, c, cb, d);
         },
         [](GAsyncResult *r, const char *, Pairs &) { return halvo_remove_pairing_blocked_devices_finish(r); }},
    };
    const struct {
        const char *arg;
        bool stored, cancel;
        int rc;
        halvo_failure_e failure;
    } cases[] = {
        {"B", true, false, 0, HALVO_FAILURE_NONE},
        {nullptr, true, false, 3, HALVO_FAILURE_INVALID_ARGUMENT},
        {"B", false, false, 5, HALVO_FAILURE_STORE},
        {"B", true, true, HALVO_ERROR_CANCELLED, HALVO_FAILURE_CANCELLED},
    };
    auto restore = [](bool stored) {
        if (!stored) {
            store_remove(kInfoSyncKey);
            store_remove(kBlockedKey);
            return;
        }
        store_write(kInfoSyncKey, R"({"A":{"address":"A1","name":"one"},"B":{"address":"B2","name":"two"}})");
        store_write(kBlockedKey, R"({"A":{"isBlocked":true,"name":"a"},"B":{"isBlocked":true,"name":"b"}})");
    };
    for (const StoreOp &op : ops) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(op.name) + " / " + str(c.arg) + (c.stored ? "" : " / unreadable") +
                         (c.cancel ? " / cancelled" : ""));
            restore(c.stored);
            Pairs want;
            if (!c.cancel) {
                EXPECT_EQ(op.blocking(c.arg, want), c.rc);
                EXPECT_EQ(halvo_api_last_failure(), c.failure);
            }
            const std::string info_sync = store_read(kInfoSyncKey), blocked = store_read(kBlockedKey);

            restore(c.stored);
            AsyncRun run{&op, c.arg, {}};
            GCancellable *cancellable = g_cancellable_new();
            if (c.cancel)
                g_cancellable_cancel(cancellable);
            char *arg = g_strdup(c.arg); /* gone once _async returns */
            op.start(arg, cancellable, async_done, &run);
            g_free(arg);
            EXPECT_EQ(run.calls, 0) << "never inside _async";
            ASSERT_TRUE(run_until([&] { return run.calls == 1; }));
            g_object_unref(cancellable);
            EXPECT_EQ(run.rc, c.rc);
            EXPECT_EQ(run.failure, c.failure);
            EXPECT_EQ(run.out, want);
            EXPECT_EQ(store_read(kInfoSyncKey), info_sync) << "a cancelled edit writes nothing";
            EXPECT_EQ(store_read(kBlockedKey), blocked);
        }
    }
}
