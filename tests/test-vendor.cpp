/* Manufacturer data, custom commands, the device-under-test mode, the
 * remote-control firmware update and the result-callback registry. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <string>
#include <vector>

using namespace halvo_test;

namespace {

GVariant *bytes_value(const std::vector<guint8> &bytes)
{
    return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, bytes.data(), bytes.size(), 1);
}

/* The only recorded call to @method. */
Call only_call(const char *method)
{
    auto calls = Peer::calls(method);
    EXPECT_EQ(calls.size(), 1u) << method;
    return calls.empty() ? Call() : calls[0];
}

const std::vector<guint8> kHighBytes = {0x80, 0xff, 0x00, 0x7f, 0xc3};

/* Checks bytes handed back: @expected, then a zero; frees them. */
void expect_bytes(char *out, int out_length, const std::vector<guint8> &expected)
{
    ASSERT_EQ(out_length, int(expected.size()));
    ASSERT_NE(out, nullptr);
    /* Reading one past the counted bytes must stay inside the buffer. */
    EXPECT_EQ(std::vector<guint8>(out, out + out_length), expected);
    EXPECT_EQ(out[out_length], '\0');
    g_free(out);
}

/* Values out-parameters hold when nothing writes them. */
char kUntouched[] = "untouched";

} // namespace

/* ---------------------------------------------------------------- */
/* Manufacturer data                                                 */
/* ---------------------------------------------------------------- */

TEST(Manufacturer, ParseSendsTheIntegersInOrderAndExactlyLengthBytes)
{
    Peer::reply("parse_manufacturer_data", g_variant_new("(ii@ay)", 4, 5, bytes_value(kHighBytes)));
    const char data[] = "\x01\x80\xff\x7f";
    char *out = nullptr;
    int out_length = -9;
    EXPECT_EQ(halvo_parse_manufacturer_data(2, data, 3, 7, &out, &out_length), 4);

    Call call = only_call("parse_manufacturer_data");
    EXPECT_STREQ(g_variant_get_type_string(call.body.get()), "(iiiay)");
    EXPECT_EQ(call.text(), "(3, 2, 7, [0x01, 0x80, 0xff])") << "length, link type, option, length bytes";
    expect_bytes(out, out_length, kHighBytes);
}

TEST(Manufacturer, ReportedLengthsOutOfStepWithTheBytesStayInBounds)
{
    struct {
        int reported;
        std::vector<guint8> carried;
        std::vector<guint8> expected;
    } cases[] = {
        {0, {0x41, 0x42}, {}},
        {5, kHighBytes, kHighBytes},
        {2, kHighBytes, {0x80, 0xff}},
        {-1, {0x41}, {}},
        {-2147483647, {}, {}},
        /* More reported than carried: the length is cut to what came, so a
         * huge claim allocates nothing huge. */
        {8, {0x80, 0xff, 0x01}, {0x80, 0xff, 0x01}},
        {2147483647, {0x41}, {0x41}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reported);
        Peer::reply("read_specific_manufacturer_data", g_variant_new("(ii@ay)", 0, c.reported, bytes_value(c.carried)));
        char *out = nullptr;
        int out_length = -9;
        LogCapture log;
        ASSERT_EQ(halvo_read_specific_manufacturer_data("AA:01", 3, &out, &out_length), 0);
        expect_bytes(out, out_length, c.expected);
        EXPECT_EQ(log.contains("bytes came"), c.reported > int(c.carried.size())) << "warned of a short reply";
    }
    Call call = Peer::calls("read_specific_manufacturer_data").back();
    EXPECT_EQ(call.text(), "('AA:01', 3)");
}

TEST(Manufacturer, BadArgumentsGive3WithoutACall)
{
    char *out = kUntouched;
    int out_length = -9;
    EXPECT_EQ(halvo_parse_manufacturer_data(0, nullptr, 3, 0, &out, &out_length), 3);
    EXPECT_EQ(halvo_parse_manufacturer_data(0, "abc", 0, 0, &out, &out_length), 3);
    EXPECT_EQ(halvo_parse_manufacturer_data(0, "abc", -4, 0, &out, &out_length), 3);
    EXPECT_EQ(halvo_write_manufacturer_data("AA:01", 0, nullptr, 3), 3);
    EXPECT_EQ(halvo_write_manufacturer_data("AA:01", 0, "abc", 0), 3);
    EXPECT_TRUE(Peer::calls().empty());
    EXPECT_EQ(out, kUntouched);
    EXPECT_EQ(out_length, -9);
}

TEST(Manufacturer, WriteSendsTheTupleAndPassesTheAnswer)
{
    Peer::reply("write_manufacturer_data", g_variant_new("(i)", 9));
    const char data[] = {'\x80', '\x00', '\xff', '\x01'};
    EXPECT_EQ(halvo_write_manufacturer_data("AA:01", 3, data, 4), 9);
    Call call = only_call("write_manufacturer_data");
    EXPECT_STREQ(g_variant_get_type_string(call.body.get()), "(iisay)");
    EXPECT_EQ(call.text(), "(4, 3, 'AA:01', [0x80, 0x00, 0xff, 0x01])") << "a zero byte does not end the data";
}

TEST(CustomCommand, AnEmptyResponseIsHandedOver)
{
    Peer::reply("custom_command", g_variant_new("(is)", 17, ""));
    char *response = kUntouched;
    EXPECT_EQ(halvo_send_custom_command("status", &response), 17);
    ASSERT_NE(response, kUntouched);
    EXPECT_STREQ(response, "") << "an empty response is still handed over";
    g_free(response);
    EXPECT_EQ(only_call("custom_command").text(), "('status',)");
}

/* ---------------------------------------------------------------- */
/* Device-under-test mode                                            */
/* ---------------------------------------------------------------- */

TEST(DutMode, EnterWithParametersSendsTheDocumentInOrder)
{
    Peer::reply("enter_bt_dut_mode_with_ui", g_variant_new("(i)", 1));
    EXPECT_TRUE(halvo_enter_bt_dut_mode_new("tx", "ble \"le\"", -1, 10));
    EXPECT_TRUE(halvo_enter_bt_dut_mode_new(nullptr, nullptr, -2147483647 - 1, 2147483647));
    EXPECT_EQ(Peer::first_args("enter_bt_dut_mode_with_ui"),
              (std::vector<std::string>{
                  R"({"test_side":"tx","test_mode":"ble \"le\"","test_channel":-1,"test_power":10})",
                  R"({"test_side":null,"test_mode":null,"test_channel":-2147483648,"test_power":2147483647})"}));
}

TEST(DutMode, OnlyAnAnswerOf1IsTrue)
{
    /* -1: a reply of another signature.  An error reply is in the twin table. */
    for (int answer : {1, 0, 2, -1}) {
        SCOPED_TRACE(answer);
        for (const char *method : {"enter_bt_dut_mode", "enter_bt_dut_mode_with_ui", "stop_bt_dut_mode"})
            Peer::reply(method, answer == -1 ? g_variant_new("(s)", "1") : g_variant_new("(i)", answer));
        EXPECT_EQ(halvo_enter_bt_dut_mode(), answer == 1);
        EXPECT_EQ(halvo_enter_bt_dut_mode_new("a", "b", 1, 2), answer == 1);
        EXPECT_EQ(halvo_stop_bt_dut_mode_new(), answer == 1);
    }
    EXPECT_EQ(Peer::calls("enter_bt_dut_mode")[0].text(), "()");
    EXPECT_EQ(Peer::calls("stop_bt_dut_mode")[0].text(), "()");
}

/* ---------------------------------------------------------------- */
/* Remote-control firmware update                                    */
/* ---------------------------------------------------------------- */

TEST(FirmwareUpdate, AnyAnswerSendsExitOnceOnlyZeroIsOk)
{
    const struct {
        GVariant *answer;
        const char *expected;
        halvo_failure_e failure;
    } cases[] = {{g_variant_new("(i)", 0), "OK", HALVO_FAILURE_NONE},
                 {g_variant_new("(i)", 3), "NG", HALVO_FAILURE_SERVICE_ANSWERED},
                 {g_variant_new("(s)", "0"), "NG", HALVO_FAILURE_BAD_REPLY}};
    size_t n = 0;
    for (const auto &c : cases) {
        Peer::reply("ZEMOFW", c.answer);
        EXPECT_STREQ(halvo_update_zemo_fw(), c.expected) << n;
        EXPECT_EQ(halvo_api_last_failure(), c.failure) << n;
        n++;
        EXPECT_TRUE(run_until([n] { return Peer::calls("EXIT").size() >= n; })) << n;
    }
    /* A refused or absent manager is NG and is not told EXIT; each request
     * is sent after the one before, and after any EXIT it drew. */
    Peer::error("ZEMOFW");
    EXPECT_STREQ(halvo_update_zemo_fw(), "NG");
    EXPECT_STREQ(halvo_update_zemo_fw(), "NG");
    EXPECT_EQ(Peer::calls("EXIT").size(), 3u) << "one EXIT per answered update";
    for (const Call &c : Peer::calls())
        EXPECT_EQ(c.no_reply, c.member == "EXIT") << c.member << ": only EXIT wants no reply";
    EXPECT_EQ(Peer::calls("ZEMOFW").at(0).destination, "com.marlox.tv.bt.updatemanager");
    EXPECT_EQ(Peer::calls("ZEMOFW").at(0).interface, "com.marlox.tv.bt.updatemanager");
    Peer::stop();
    EXPECT_STREQ(halvo_update_zemo_fw(), "NG");
    Peer::start();
}

/* ---------------------------------------------------------------- */
/* The non-blocking pairs                                            */
/* ---------------------------------------------------------------- */

namespace {

/* The outputs of a byte read, which start untouched, after the outcome
 * of @result; the bytes handed back are shown with their zero, and freed. */
struct Bytes {
    char *data = kUntouched;
    int len = -9, opt = -9;
};

std::string bytes(int result, Bytes *o)
{
    std::string s = outcome(result) + "|" + std::to_string(o->len) + "|" + std::to_string(o->opt) + "|";
    if (o->data != kUntouched) {
        s.append(o->data, size_t(o->len) + 1);
        g_free(o->data);
    }
    return s;
}

const Twin kTwins[] = {
    {"parse_manufacturer_data", "(0, 3, [byte 0x80, 0x00, 0x41])", true,
     TWIN_OUTS_CALLS(bytes, Bytes, {}, (&o.data, &o.len), halvo_parse_manufacturer_data, 1, arg("ab"), bad ? 0 : 2,
                     5)},
    {"read_specific_manufacturer_data", "(0, 3, [byte 0x80, 0x00, 0x41])", true,
     TWIN_OUTS_CALLS(bytes, Bytes, {}, (&o.data, &o.len), halvo_read_specific_manufacturer_data, address(bad), 4)},
    /* With the option, 7, after the length. */
    {"read_manufacturer_data", "(0, 3, 7, [byte 0x80, 0x00, 0x41])", true,
     TWIN_OUTS_CALLS(bytes, Bytes, {}, (&o.opt, &o.data, &o.len), halvo_read_manufacturer_data, address(bad))},
    {"write_manufacturer_data", "(0,)", true,
     TWIN_CALLS(outcome, halvo_write_manufacturer_data, address(bad), 1, arg("ab"), 2)},
    {"custom_command", "(0, 'done')", true,
     TWIN_OUT_CALLS(outcome, char *, nullptr, halvo_send_custom_command, address(bad))},
    {"enter_bt_dut_mode", "(1,)", false, TWIN_CALLS(outcome, halvo_enter_bt_dut_mode)},
    {"enter_bt_dut_mode_with_ui", "(1,)", true,
     TWIN_CALLS(outcome, halvo_enter_bt_dut_mode_new, address(bad), arg("m"), 1, 2)},
    {"stop_bt_dut_mode", "(1,)", false, TWIN_CALLS(outcome, halvo_stop_bt_dut_mode_new)},
    {"ZEMOFW", "(0,)", false, TWIN_CALLS(outcome, halvo_update_zemo_fw)},
};

} // namespace

TEST(VendorTwins, EachPairFinishesAsItsBlockingCall)
{
    expect_twins_agree(kTwins, G_N_ELEMENTS(kTwins));
}

/* ---------------------------------------------------------------- */
/* Result-callback registry                                          */
/* ---------------------------------------------------------------- */

namespace {

int cb_a, cb_b, data_a, data_b;

/* Getting @cb_type leaves the record as it was. */
void expect_nothing_got(int cb_type)
{
    halvo_cb_container_s c{cb_type, kUntouched, &cb_b, &data_b};
    _halvo_get_cb(&c);
    EXPECT_EQ(c.remote_address, kUntouched) << cb_type;
    EXPECT_EQ(c.callback, &cb_b) << cb_type;
    EXPECT_EQ(c.user_data, &data_b) << cb_type;
}

} // namespace

TEST(Registry, SetAgainReplacesAndEachGetIsAFreshCopy)
{
    for (int row : {0, 1, 2}) {
        SCOPED_TRACE(row);
        _halvo_set_cb(row, "AA:01", &cb_a, &data_a);
        _halvo_set_cb(row, "BB:02", &cb_b, &data_b);
        halvo_cb_container_s one{row, nullptr, nullptr, nullptr}, two = one;
        _halvo_get_cb(&one);
        _halvo_get_cb(&two);
        EXPECT_EQ(one.callback, &cb_b);
        EXPECT_EQ(one.user_data, &data_b);
        EXPECT_STREQ(one.remote_address, "BB:02");
        EXPECT_STREQ(two.remote_address, "BB:02");
        EXPECT_NE(one.remote_address, two.remote_address);
        free(one.remote_address);
        free(two.remote_address);

        /* A registration without an address hands back NULL, not the old one. */
        _halvo_set_cb(row, nullptr, &cb_a, &data_a);
        halvo_cb_container_s c = {row, kUntouched, nullptr, nullptr};
        _halvo_get_cb(&c);
        EXPECT_EQ(c.remote_address, nullptr);
        EXPECT_EQ(c.callback, &cb_a);
        EXPECT_EQ(c.user_data, &data_a);
        _halvo_unset_cb(row);
    }
}

TEST(Registry, KindsOutsideTheRowsAreIgnoredAndLogged)
{
    LogCapture log;
    for (int kind : {3, -1, 1000000}) {
        _halvo_set_cb(kind, "AA:01", &cb_a, &data_a);
        expect_nothing_got(kind);
        _halvo_unset_cb(kind);
    }
    EXPECT_EQ(log.count("no such cb_type"), 9);
    /* The real rows stay unregistered, and unsetting one empties it. */
    _halvo_set_cb(1, "AA:01", &cb_a, &data_a);
    _halvo_unset_cb(1);
    for (int kind : {0, 1, 2})
        expect_nothing_got(kind);
}
