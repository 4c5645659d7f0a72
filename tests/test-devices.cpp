/* Paired devices, device types, the use / don't-use mark and the don't-use
 * list, against the peer on a private bus. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <string>
#include <vector>

using namespace halvo_test;

namespace {

void reply_text(const char *method, const std::string &text)
{
    Peer::reply(method, g_variant_new("(s)", text.c_str()));
}

void reply_type(const char *address, int type)
{
    Peer::reply("get_device_type", g_variant_new("(i)", type), address);
}

using Records = std::vector<std::string>;

/* The records of @list, one line each, compared whole:
 * "address|name|service|provider|<c or -><u or ->|pid|vid|profile|type". */
Records records(GSList *list)
{
    Records out;
    for (GSList *l = list; l != nullptr; l = l->next) {
        auto *d = static_cast<halvo_device_info_s *>(l->data);
        out.push_back(str(d->address) + "|" + str(d->name) + "|" + str(d->service_name) + "|" +
                      str(d->provider_name) + "|" + (d->connected ? "c" : "-") + (d->usedontuse ? "u" : "-") + "|" +
                      std::to_string(d->pid) + "|" + std::to_string(d->vid) + "|" + std::to_string(d->profile) +
                      "|" + std::to_string(d->device_type));
    }
    return out;
}

const char *const kFullDevice = R"({"address":"AA:01","name":"Remote","serviceName":"svc","providerName":"prov",
                                    "connect":true,"usedontuse":true,"pid":513,"vid":1118,"profile":4,"extra":[1]})";

} // namespace

/* ---------------------------------------------------------------- */
/* The paired-device list                                            */
/* ---------------------------------------------------------------- */

TEST(PairedList, CostsOnePlusNCallsKeepsOrderAndTypesPerAddress)
{
    /* After the named devices: a bare one, one with members of the wrong
     * kind and an element that is no object at all. */
    reply_text("get_devices_info",
               std::string(R"({"result":true,"data":{"Devices":[{"address":"CC:03","name":"third"},)") + kFullDevice +
                   R"(,{"address":"BB:02","name":"second"},{},)" +
                   R"({"address":7,"name":["x"],"connect":"yes","pid":"1","vid":1.5,"profile":null},42]}})");
    reply_type("AA:01", 11);
    /* A type look-up that answers nothing gives type 0; the list still succeeds. */
    Peer::reply("get_device_type", g_variant_new("(s)", "22"), "BB:02");
    reply_type("CC:03", 33);

    GSList *list = nullptr;
    ASSERT_EQ(halvo_get_paired_dev_info_list(&list), 0);
    const std::string bare = "<null>|<null>|<null>|<null>|--|-1|-1|-1|0";
    EXPECT_EQ(records(list),
              (Records{"CC:03|third|<null>|<null>|--|-1|-1|-1|33", "AA:01|Remote|svc|prov|cu|513|1118|4|11",
                       "BB:02|second|<null>|<null>|--|-1|-1|-1|0", bare, bare, bare}));
    EXPECT_EQ(Peer::calls().size(), 4u) << "one list call and one type call per device";
    EXPECT_EQ(Peer::first_args("get_device_type"), (std::vector<std::string>{"CC:03", "AA:01", "BB:02"}));
    EXPECT_EQ(Peer::calls("get_devices_info")[0].text(), "()");
    EXPECT_EQ(halvo_free_paired_dev_info_list(list), 0);
}

/* Replies that hold no record: the list or the device stays NULL and no
 * type is asked.  No text: an error reply.  A list call whose result is
 * not true says so; nor may the root's own members stand in for the
 * device; anything but an array of devices is none, the don't-use list
 * succeeding all the same. */
TEST(PairedDevices, RepliesWithoutUsableRecordsGiveNone)
{
    /* What the failure reads as: the service's own "no", or a reply of no use. */
    constexpr halvo_failure_e NO = HALVO_FAILURE_SERVICE_ANSWERED, BAD = HALVO_FAILURE_BAD_REPLY;
    const struct {
        const char *method, *text;
        int result;
        const char *log;
        halvo_failure_e kind = HALVO_FAILURE_NONE;
    } cases[] = {
        {"get_devices_info", R"({"result":false,"data":{"Devices":[{"address":"AA:01"}]}})", 5, "no Paired device", NO},
        {"get_devices_info", R"({"data":{"Devices":[{"address":"AA:01"}]}})", 5, "no Paired device", NO},
        {"get_devices_info", R"(["result",true])", 5, "no Paired device", NO},
        {"get_devices_info", "org.freedesktop.DBus.Error.Failed: no devices", 5, "no Paired device", BAD},
        {"get_devices_info", "", 5, "no Paired device", NO},
        {"get_devices_info", R"({"result":true,"data":{"Devices":[]}})", 0, ""},
        {"get_devices_info", R"({"result":true,"data":{}})", 0, ""},
        {"get_devices_info", R"({"result":true,"data":{"Devices":{"0":{"address":"AA:01"}}}})", 0, ""},
        {"get_devices_info", R"({"result":true,"data":"Devices"})", 0, ""},
        {"get_devices_info", R"({"result":true,"data":[{"address":"AA:01"}]})", 0, ""},
        {"get_device_info", R"({"result":false,"data":{"address":"AA:01"}})", 5, "no Paired device", NO},
        /* json-glib keeps the complete first value of this one. */
        {"get_device_info", R"({"result":true,"data":{"address":"AA"}} trailing)", 5, "no Paired device", BAD},
        {"get_device_info", R"({"result":true,"address":"AA:root","name":"root","pid":1})", 5, "no device data", BAD},
        {"get_device_info", R"({"result":true,"data":"AA:01","address":"AA:root","name":"root"})", 5, "no device data", BAD},
        {"get_device_info", nullptr, 5, "Dbus failed", HALVO_FAILURE_ERROR_REPLY},
        {"get_dontuse_dev_list", R"({"DontUseDevices":[]})", 1, "# of devices : 0"},
        {"get_dontuse_dev_list", R"({"DontUseDevices":{"name":"x","address":"AA:01"}})", 1, "# of devices : -1"},
        {"get_dontuse_dev_list", R"([{"name":"x","address":"AA:01"}])", 1, "# of devices : -1"},
        {"get_dontuse_dev_list", "not json", 1, "# of devices : -1"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + str(c.text));
        Peer::reset();
        c.text ? reply_text(c.method, c.text) : Peer::error(c.method);
        LogCapture log;
        GSList *list = nullptr;
        halvo_device_info_s *info = nullptr;
        const std::string method = c.method;
        EXPECT_EQ(method == "get_device_info"    ? halvo_get_paired_dev_info("AA:01", &info)
                  : method == "get_devices_info" ? halvo_get_paired_dev_info_list(&list)
                                                 : int(halvo_get_dontuse_device_list(&list)),
                  c.result);
        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(info, nullptr);
        EXPECT_TRUE(log.contains(c.log));
        EXPECT_EQ(halvo_api_last_failure(), c.kind) << halvo_api_failure_name(halvo_api_last_failure());
        EXPECT_EQ(log.contains("no Paired device"), std::string(c.log) == "no Paired device");
        EXPECT_TRUE(Peer::calls("get_device_type").empty());
    }
}

TEST(PairedList, SetTargetGives3FreeAcceptsNullEntriesAndRefusesNoList)
{
    GSList *held = g_slist_prepend(nullptr, nullptr), *list = held;
    EXPECT_EQ(halvo_get_paired_dev_info_list(&list), 3);
    EXPECT_EQ(list, held);
    EXPECT_EQ(g_slist_length(list), 1u);
    EXPECT_TRUE(Peer::calls().empty());

    reply_text("get_devices_info", R"({"result":true,"data":{"Devices":[{"name":"only"}]}})");
    list = nullptr;
    ASSERT_EQ(halvo_get_paired_dev_info_list(&list), 0);
    list = g_slist_append(g_slist_concat(held, list), nullptr);
    EXPECT_EQ(halvo_free_paired_dev_info_list(list), 0);
    EXPECT_EQ(halvo_free_paired_dev_info_list(nullptr), 3);
    EXPECT_EQ(halvo_free_paired_dev_info(nullptr), 3);
}

/* ---------------------------------------------------------------- */
/* One device and its type                                           */
/* ---------------------------------------------------------------- */

TEST(PairedDevice, RecordAndTypeOrBadArgumentsGive3)
{
    halvo_device_info_s held{};
    held.pid = 77;
    halvo_device_info_s *info = &held;
    EXPECT_EQ(halvo_get_paired_dev_info("AA:01", &info), 3);
    EXPECT_EQ(info, &held);
    EXPECT_EQ(held.pid, 77);
    info = nullptr;
    EXPECT_EQ(halvo_get_paired_dev_info(nullptr, &info), 3);
    int type = -5;
    EXPECT_EQ(halvo_get_device_type(nullptr, &type), 3);
    EXPECT_TRUE(Peer::calls().empty());

    reply_text("get_device_info", std::string(R"({"result":true,"data":)") + kFullDevice + "}");
    reply_type("AA:01", 9);
    ASSERT_EQ(halvo_get_paired_dev_info("AA:01", &info), 0);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(str(info->provider_name), "prov");
    EXPECT_EQ(info->device_type, 9);
    EXPECT_EQ(Peer::first_args("get_device_info"), std::vector<std::string>{"AA:01"});
    EXPECT_EQ(halvo_free_paired_dev_info(info), 0);
    EXPECT_EQ(type, -5);
    EXPECT_EQ(halvo_get_device_type("AA:01", &type), 0);
    EXPECT_EQ(type, 9);
}

/* ---------------------------------------------------------------- */
/* The use / don't-use mark                                          */
/* ---------------------------------------------------------------- */

TEST(UseDontUse, SetSendsCompactDocumentWithStatusNegatedAnswersPassThrough)
{
    for (int answer : {1, 0, 2}) {
        SCOPED_TRACE(answer);
        Peer::reply("set_use_dontuse", g_variant_new("(i)", answer));
        Peer::reply("get_use_dontuse", g_variant_new("(i)", answer));
        Peer::reply("remove_use_donuse_info", g_variant_new("(i)", answer));
        EXPECT_EQ(halvo_set_use_dontuse_status(answer == 1 ? "Spk \"1\"" : nullptr, answer == 2 ? nullptr : "AA:01",
                                               answer != 2),
                  answer == 1);
        EXPECT_EQ(halvo_get_use_dontuse_status("AA:01"), answer);
        EXPECT_EQ(halvo_remove_use_dontuse_status("AA:01"), answer == 1);
    }
    EXPECT_EQ(Peer::first_args("set_use_dontuse"), (std::vector<std::string>{
                                                 R"({"address":"AA:01","name":"Spk \"1\"","status":false})",
                                                 R"({"address":"AA:01","name":null,"status":false})",
                                                 R"({"address":null,"name":null,"status":true})",
                                             }));
    EXPECT_EQ(Peer::first_args("get_use_dontuse").back(), "AA:01");
    EXPECT_EQ(Peer::first_args("remove_use_donuse_info").back(), "AA:01");
}

/* Appending to the caller's list is in the twin table. */
TEST(DontUseList, MissingOrWrongKindFieldsStayNullAndTheWalkGoesOn)
{
    reply_text("get_dontuse_dev_list", R"({"DontUseDevices":[{"name":"one","address":"AA:01"},{"address":"CC:03"},)"
                                       R"({"name":5,"address":null},7,{"name":"x","address":"DD:04"}]})");
    GSList *list = nullptr;
    ASSERT_TRUE(halvo_get_dontuse_device_list(&list));
    const std::string bare = "<null>|<null>|<null>|<null>|-u|0|0|0|0";
    EXPECT_EQ(records(list), (Records{"AA:01|one|<null>|<null>|-u|0|0|0|0", "CC:03|<null>|<null>|<null>|-u|0|0|0|0",
                                      bare, bare, "DD:04|x|<null>|<null>|-u|0|0|0|0"}));
    EXPECT_EQ(Peer::calls("get_device_type").size(), 0u) << "the list asks for no types";
    EXPECT_EQ(halvo_free_paired_dev_info_list(list), 0);
}

/* ---------------------------------------------------------------- */
/* The non-blocking pairs                                            */
/* ---------------------------------------------------------------- */

namespace {

using Dev = halvo_device_info_s;

/* The outcome and the records the operation left in *@list, freed. */
std::string fold(int result, GSList **list)
{
    std::string s = outcome(result);
    for (const std::string &r : records(*list))
        s += "|" + r;
    if (*list != nullptr)
        halvo_free_paired_dev_info_list(*list);
    return s;
}

std::string fold(int result, Dev **info)
{
    GSList *list = *info ? g_slist_prepend(nullptr, *info) : nullptr;
    return fold(result, &list);
}

const Twin kTwins[] = {
    {"get_device_info", R"(('{"result":true,"data":{"address":"AA:01","name":"Remote","pid":513}}',))", true,
     TWIN_OUT_CALLS(fold, Dev *, nullptr, halvo_get_paired_dev_info, address(bad))},
    {"get_devices_info", R"(('{"result":true,"data":{"Devices":[{"address":"AA:01"},{"name":"x"}]}}',))", false,
     TWIN_OUT_CALLS(fold, GSList *, nullptr, halvo_get_paired_dev_info_list)},
    {"get_device_type", "(9,)", true, TWIN_OUT_CALLS(outcome, int, -7, halvo_get_device_type, address(bad))},
    {"set_use_dontuse", "(1,)", true, TWIN_CALLS(outcome, halvo_set_use_dontuse_status, arg("n"), address(bad), true)},
    /* A status other than 0 is a value, not a failure. */
    {"get_use_dontuse", "(2,)", true, TWIN_CALLS(outcome, halvo_get_use_dontuse_status, address(bad))},
    {"remove_use_donuse_info", "(1,)", true, TWIN_CALLS(outcome, halvo_remove_use_dontuse_status, address(bad))},
    {"get_dontuse_dev_list", R"(('{"DontUseDevices":[{"address":"AA:01"}]}',))", false,
     TWIN_OUT_CALLS(fold, GSList *, held_list(sizeof(Dev)), halvo_get_dontuse_device_list)},
};

} // namespace

TEST(DeviceTwins, EachPairFinishesAsItsBlockingCallACancelledListKeepsNothing)
{
    expect_twins_agree(kTwins, G_N_ELEMENTS(kTwins), [](bool failing) {
        if (!failing)
            reply_type("AA:01", 9);
    });

    /* Cancelled while the first type is asked: the records made so far go
     * with the call. */
    Peer::reset();
    reply_text("get_devices_info", R"({"result":true,"data":{"Devices":[{"address":"AA:01"},{"address":"BB:02"}]}})");
    Peer::hold("get_device_type", g_variant_new("(i)", 9));
    GCancellable *cancel = g_cancellable_new();
    int seen = 0; /* the result * 10, plus 1 when a list came */
    halvo_get_paired_dev_info_list_async(cancel, [](GObject *, GAsyncResult *r, gpointer data) {
        GSList *list = nullptr;
        *static_cast<int *>(data) = halvo_get_paired_dev_info_list_finish(r, &list) * 10 + (list != nullptr);
    }, &seen);
    ASSERT_TRUE(run_until([] { return Peer::calls("get_device_type").size() == 1; }));
    g_cancellable_cancel(cancel);
    ASSERT_TRUE(run_until([&] { return seen != 0; }));
    EXPECT_EQ(seen, HALVO_ERROR_CANCELLED * 10);
    EXPECT_EQ(halvo_api_last_failure(), HALVO_FAILURE_CANCELLED);
    EXPECT_EQ(Peer::first_args("get_device_type"), std::vector<std::string>{"AA:01"}) << "none after the cancel";
    g_object_unref(cancel);
}
