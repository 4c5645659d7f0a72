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
    LogCapture log;

    GSList *list = nullptr;
    ASSERT_EQ(halvo_get_paired_dev_info_list(&list), 0);
    const std::string bare = "<null>|<null>|<null>|<null>|--|-1|-1|-1|0";
    EXPECT_EQ(records(list),
              (Records{"CC:03|third|<null>|<null>|--|-1|-1|-1|33", "AA:01|Remote|svc|prov|cu|513|1118|4|11",
                       "BB:02|second|<null>|<null>|--|-1|-1|-1|0", bare, bare, bare}));
    EXPECT_EQ(log.count("remote_address is NULL"), 3) << "no address, no type call";
    EXPECT_EQ(Peer::calls().size(), 4u) << "one list call and one type call per device";
    EXPECT_EQ(Peer::first_args("get_device_type"), (std::vector<std::string>{"CC:03", "AA:01", "BB:02"}));
    EXPECT_EQ(Peer::calls("get_devices_info")[0].text(), "()");
    EXPECT_EQ(halvo_free_paired_dev_info_list(list), 0);
}

TEST(PairedList, ResultNotTrueOrNoJsonGives5NoDevicesArrayGives0)
{
    const struct {
        const char *text;
        int result;
    } cases[] = {
        {R"({"result":false,"data":{"Devices":[{"address":"AA:01"}]}})", 5},
        {R"({"data":{"Devices":[{"address":"AA:01"}]}})", 5},
        {R"({"result":"true","data":{"Devices":[{"address":"AA:01"}]}})", 5},
        {R"(["result",true])", 5},
        {"org.freedesktop.DBus.Error.Failed: no devices", 5},
        {"", 5},
        {R"({"result":true,"data":{"Devices":[]}})", 0},
        {R"({"result":true,"data":{}})", 0},
        {R"({"result":true})", 0},
        {R"({"result":true,"data":{"Devices":{"0":{"address":"AA:01"}}}})", 0},
        {R"({"result":true,"data":{"Devices":"AA:01"}})", 0},
        {R"({"result":true,"data":"Devices"})", 0},
        /* An array in place of the object that holds it is not the list. */
        {R"({"result":true,"data":[{"address":"AA:01"}]})", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        Peer::reset();
        reply_text("get_devices_info", c.text);
        LogCapture log;
        GSList *list = nullptr;
        EXPECT_EQ(halvo_get_paired_dev_info_list(&list), c.result);
        EXPECT_EQ(list, nullptr);
        EXPECT_EQ(log.contains("no Paired device"), c.result == 5);
        EXPECT_EQ(Peer::calls().size(), 1u) << "no type call";
    }
}

TEST(PairedList, SetTargetGives3FreeAcceptsNullEntriesAndRefusesNoList)
{
    LogCapture log;
    GSList *held = g_slist_prepend(nullptr, nullptr), *list = held;
    EXPECT_EQ(halvo_get_paired_dev_info_list(&list), 3);
    EXPECT_EQ(list, held);
    EXPECT_EQ(g_slist_length(list), 1u);
    EXPECT_TRUE(log.contains("list is not NULL, parameter should be NULL"));
    EXPECT_TRUE(Peer::calls().empty());

    reply_text("get_devices_info", R"({"result":true,"data":{"Devices":[{"name":"only"}]}})");
    list = nullptr;
    ASSERT_EQ(halvo_get_paired_dev_info_list(&list), 0);
    list = g_slist_append(g_slist_concat(held, list), nullptr);
    EXPECT_EQ(halvo_free_paired_dev_info_list(list), 0);
    EXPECT_EQ(log.count("dev_info is NULL"), 2);
    EXPECT_EQ(halvo_free_paired_dev_info_list(nullptr), 3);
    EXPECT_TRUE(log.contains("List is NULL!!"));
    EXPECT_EQ(halvo_free_paired_dev_info(nullptr), 3);
}

/* ---------------------------------------------------------------- */
/* One device and its type                                           */
/* ---------------------------------------------------------------- */

TEST(PairedDevice, NoUsableDeviceGives5)
{
    /* Nor may the root's own members stand in for the device.  No text: an
     * error reply. */
    const struct {
        const char *text, *log;
    } cases[] = {
        {R"({"result":false,"data":{"address":"AA:01"}})", "no Paired device"},
        {R"({"result":true,"address":"AA:root","name":"root","pid":1})", "no device data"},
        {R"({"result":true,"data":"AA:01","address":"AA:root","name":"root"})", "no device data"},
        {R"({"result":true,"data":[{"address":"AA:01"}],"name":"root"})", "no device data"},
        {R"({"result":true,"data":null})", "no device data"},
        {nullptr, "Dbus failed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(str(c.text));
        Peer::reset();
        if (c.text)
            reply_text("get_device_info", c.text);
        else
            Peer::error("get_device_info");
        LogCapture log;
        halvo_device_info_s *info = nullptr;
        EXPECT_EQ(halvo_get_paired_dev_info("AA:01", &info), 5);
        EXPECT_EQ(info, nullptr);
        EXPECT_TRUE(log.contains(c.log));
        EXPECT_TRUE(Peer::calls("get_device_type").empty());
    }
}

TEST(PairedDevice, RecordAndTypeOrBadArgumentsGive3)
{
    LogCapture log;
    halvo_device_info_s held{};
    held.pid = 77;
    halvo_device_info_s *info = &held;
    EXPECT_EQ(halvo_get_paired_dev_info("AA:01", &info), 3);
    EXPECT_EQ(info, &held);
    EXPECT_EQ(held.pid, 77);
    EXPECT_TRUE(log.contains("dev_info is not NULL, parameter should be NULL"));
    info = nullptr;
    EXPECT_EQ(halvo_get_paired_dev_info(nullptr, &info), 3);
    EXPECT_TRUE(log.contains("remote_address is NULL"));
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
        EXPECT_EQ(halvo_set_use_dontuse_status(answer == 1 ? "Spk \"1\"" : nullptr, "AA:01", answer != 2),
                  answer == 1);
        EXPECT_EQ(halvo_get_use_dontuse_status("AA:01"), answer);
        EXPECT_EQ(halvo_remove_use_dontuse_status("AA:01"), answer == 1);
    }
    EXPECT_EQ(Peer::first_args("set_use_dontuse"), (std::vector<std::string>{
                                                 R"({"address":"AA:01","name":"Spk \"1\"","status":false})",
                                                 R"({"address":"AA:01","name":null,"status":false})",
                                                 R"({"address":"AA:01","name":null,"status":true})",
                                             }));
    EXPECT_EQ(Peer::first_args("get_use_dontuse").back(), "AA:01");
    EXPECT_EQ(Peer::first_args("remove_use_donuse_info").back(), "AA:01");
}

TEST(DontUseList, AppendsToWhatTheListHoldsMissingOrWrongKindFieldsStayNull)
{
    reply_text("get_dontuse_dev_list",
               R"({"DontUseDevices":[{"name":"one","address":"AA:01"},{"name":"two","address":"BB:02"}]})");
    GSList *list = nullptr;
    ASSERT_TRUE(halvo_get_dontuse_device_list(&list));
    ASSERT_EQ(g_slist_length(list), 2u);
    GSList *head = list;

    reply_text("get_dontuse_dev_list",
               R"({"DontUseDevices":[{"address":"CC:03"},{"name":5,"address":null},7,)"
               R"({"name":"x","address":"DD:04"}]})");
    ASSERT_TRUE(halvo_get_dontuse_device_list(&list));
    EXPECT_EQ(list, head);
    /* The walk goes on after a bad element. */
    const std::string bare = "<null>|<null>|<null>|<null>|-u|0|0|0|0";
    EXPECT_EQ(records(list), (Records{"AA:01|one|<null>|<null>|-u|0|0|0|0", "BB:02|two|<null>|<null>|-u|0|0|0|0",
                                      "CC:03|<null>|<null>|<null>|-u|0|0|0|0", bare, bare,
                                      "DD:04|x|<null>|<null>|-u|0|0|0|0"}));
    EXPECT_EQ(Peer::calls("get_device_type").size(), 0u) << "the list asks for no types";
    EXPECT_EQ(halvo_free_paired_dev_info_list(list), 0);
}

TEST(DontUseList, NoArrayOrNoTextLeavesTheListAndSucceeds)
{
    const char *texts[] = {
        R"({"DontUseDevices":[]})",
        R"({"DontUseDevices":{"name":"x","address":"AA:01"}})",
        R"({"Devices":[{"name":"x","address":"AA:01"}]})",
        R"([{"name":"x","address":"AA:01"}])",
        "not json",
        "{}",
    };
    LogCapture log;
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        reply_text("get_dontuse_dev_list", text);
        GSList *list = nullptr;
        EXPECT_TRUE(halvo_get_dontuse_device_list(&list));
        EXPECT_EQ(list, nullptr);
    }
    EXPECT_TRUE(log.contains("# of devices : -1"));
}

/* ---------------------------------------------------------------- */
/* The non-blocking pairs                                            */
/* ---------------------------------------------------------------- */

namespace {

using Dev = halvo_device_info_s;
using Cb = GAsyncReadyCallback;

/* The outcome and the records the operation wrote to *@list, freed. */
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

std::string fold(int result, const int *value)
{
    return outcome(result) + "|" + std::to_string(*value);
}

/* The don't-use list appends: it starts from a list holding a blank record. */
std::string dont_use(const std::function<bool(GSList **)> &get)
{
    GSList *list = g_slist_prepend(nullptr, calloc(1, sizeof(Dev)));
    return fold(get(&list), &list);
}

const char *address(bool bad)
{
    return bad ? "\xff" : "AA:01";
}

const Twin kTwins[] = {
    {"get_device_info",
     [] { return g_variant_new("(s)", (std::string(R"({"result":true,"data":)") + kFullDevice + "}").c_str()); },
     true, [](bool bad) { Dev *d = nullptr; return fold(halvo_get_paired_dev_info(address(bad), &d), &d); },
     [](bool bad, Cb cb, gpointer data) { halvo_get_paired_dev_info_async(address(bad), nullptr, cb, data); },
     [](GAsyncResult *r) { Dev *d = nullptr; return fold(halvo_get_paired_dev_info_finish(r, &d), &d); }},
    {"get_devices_info",
     [] { return g_variant_new("(s)", R"({"result":true,"data":{"Devices":[{"address":"AA:01"},{"name":"x"}]}})"); },
     false, [](bool) { GSList *l = nullptr; return fold(halvo_get_paired_dev_info_list(&l), &l); },
     [](bool, Cb cb, gpointer data) { halvo_get_paired_dev_info_list_async(nullptr, cb, data); },
     [](GAsyncResult *r) { GSList *l = nullptr; return fold(halvo_get_paired_dev_info_list_finish(r, &l), &l); }},
    {"get_device_type", [] { return g_variant_new("(i)", 9); }, true,
     [](bool bad) { int t = -1; return fold(halvo_get_device_type(address(bad), &t), &t); },
     [](bool bad, Cb cb, gpointer data) { halvo_get_device_type_async(address(bad), nullptr, cb, data); },
     [](GAsyncResult *r) { int t = -1; return fold(halvo_get_device_type_finish(r, &t), &t); }},
    {"set_use_dontuse", [] { return g_variant_new("(i)", 1); }, true,
     [](bool bad) { return outcome(halvo_set_use_dontuse_status("n", address(bad), true)); },
     [](bool bad, Cb cb, gpointer d) { halvo_set_use_dontuse_status_async("n", address(bad), true, nullptr, cb, d); },
     [](GAsyncResult *r) { return outcome(halvo_set_use_dontuse_status_finish(r)); }},
    /* A status other than 0 is a value, not a failure. */
    {"get_use_dontuse", [] { return g_variant_new("(i)", 2); }, true,
     [](bool bad) { return outcome(halvo_get_use_dontuse_status(address(bad))); },
     [](bool bad, Cb cb, gpointer data) { halvo_get_use_dontuse_status_async(address(bad), nullptr, cb, data); },
     [](GAsyncResult *r) { return outcome(halvo_get_use_dontuse_status_finish(r)); }},
    {"remove_use_donuse_info", [] { return g_variant_new("(i)", 1); }, true,
     [](bool bad) { return outcome(halvo_remove_use_dontuse_status(address(bad))); },
     [](bool bad, Cb cb, gpointer data) { halvo_remove_use_dontuse_status_async(address(bad), nullptr, cb, data); },
     [](GAsyncResult *r) { return outcome(halvo_remove_use_dontuse_status_finish(r)); }},
    {"get_dontuse_dev_list", [] { return g_variant_new("(s)", R"({"DontUseDevices":[{"address":"AA:01"}]})"); }, false,
     [](bool) { return dont_use(halvo_get_dontuse_device_list); },
     [](bool, Cb cb, gpointer data) { halvo_get_dontuse_device_list_async(nullptr, cb, data); },
     [](GAsyncResult *r) { return dont_use([r](GSList **l) { return halvo_get_dontuse_device_list_finish(r, l); }); }},
};

} // namespace

TEST(DeviceTwins, EachPairFinishesAsItsBlockingCallACancelledListKeepsNothing)
{
    expect_twins_agree(kTwins, G_N_ELEMENTS(kTwins), [] { reply_type("AA:01", 9); });

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
