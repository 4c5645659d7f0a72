/* Malformed input, grouped by where it comes from: replies of the service,
 * arguments of the application, and signal payloads.  Each case checks the
 * documented result; a g_critical would end the test (fatal criticals),
 * and no callback may be fed what the payload does not hold. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <cstring>

using namespace halvo_test;

/* ------------------------------------------------------------------ */
/* Replies of the service                                              */
/* ------------------------------------------------------------------ */

namespace {

/* One method: the operation that calls it, and its failure value, which an
 * error reply, a reply of another signature and the right reply with an
 * extra argument (@extra) all give alike.  The call folds what it must not
 * do into its result: a record, list or output written on failure adds 100
 * (or, for a flag, the result is shown * 10 beside it).  A method of each
 * kind of reply, and each whose name can be repointed: every call checks
 * its reply's type in one place, and the twin tables hold each method's
 * error reply.  The test-mode methods' failures are held by their own
 * table, and the single device's by its cases; documents that are not
 * usable are in the tables of their families. */
struct Method {
    const char *name;
    int (*call)();
    int failed;
    GVariant *(*extra)();
};

GVariant *ii_reply() { return g_variant_new("(ii)", 1, 2); }
GVariant *iii_reply() { return g_variant_new("(iii)", 1, 2, 3); }
GVariant *ss_reply() { return g_variant_new("(ss)", R"({"result":true,"data":{"address":"AA"}})", "x"); }
GVariant *iiayi_reply() { return g_variant_new("(iiayi)", 1, 0, nullptr, 9); }
GVariant *iiiayi_reply() { return g_variant_new("(iiiayi)", 1, 0, 0, nullptr, 9); }
GVariant *iss_reply() { return g_variant_new("(iss)", 1, "a", "b"); }

const char kAddr[] = "AA:BB:CC:DD:EE:01";

/* Outputs preset to sentinels; fold() adds 100 to a result when one was
 * written, and presets them again. */
char *out = nullptr;
int len = -7, opt = -7;
int fold(int r)
{
    bool written = out != nullptr || len != -7 || opt != -7;
    g_free(out);
    out = nullptr;
    len = opt = -7;
    return written ? 100 + r : r;
}

const Method methods[] = {
    {"get_devices_info", [] { GSList *l = nullptr; int r = halvo_get_paired_dev_info_list(&l);
                              if (l) { halvo_free_paired_dev_info_list(l); }
                              return l ? 100 + r : r; }, 5, ss_reply},
    {"set_use_dontuse", [] { return int(halvo_set_use_dontuse_status("n", kAddr, true)); }, 0, ii_reply},
    {"get_use_dontuse", [] { return halvo_get_use_dontuse_status(kAddr); }, -1, ii_reply},
    {"get_dontuse_dev_list", [] { GSList *l = nullptr; bool ok = halvo_get_dontuse_device_list(&l);
                                  if (l) { halvo_free_paired_dev_info_list(l); }
                                  return l ? 100 : int(ok); }, 0, ss_reply},
    {"parse_manufacturer_data", [] { return fold(halvo_parse_manufacturer_data(1, "ab", 2, 0, &out, &len)); }, 5,
     iiayi_reply},
    {"read_specific_manufacturer_data",
     [] { return fold(halvo_read_specific_manufacturer_data(kAddr, 0, &out, &len)); }, 5, iiayi_reply},
    {"read_manufacturer_data", [] { return fold(halvo_read_manufacturer_data(kAddr, &opt, &out, &len)); }, 5,
     iiiayi_reply},
    {"write_manufacturer_data", [] { return halvo_write_manufacturer_data(kAddr, 1, "ab", 2); }, 5, ii_reply},
    {"custom_command", [] { return fold(halvo_send_custom_command("cmd", &out)); }, 5, iss_reply},
    {"get_volume_controlable_by_address", [] { bool c = true; int r = halvo_api_get_volume_controlable(kAddr, &c);
                                               return r * 10 + int(c); }, 51, iii_reply},
    {"get_volume_by_address", [] { return fold(halvo_api_get_volume(kAddr, &len)); }, 5, iii_reply},
    {"spk_mute_unmute", [] { return halvo_api_mute_unmute(); }, 5, ii_reply},
    {"tuvo_switching_connect", [] { return halvo_tuvo_switching_connect(kAddr); }, 5, ii_reply},
    {"tuvo_switching_disconnect", [] { return halvo_tuvo_switching_disconnect(kAddr); }, 5, ii_reply},
};

} // namespace

TEST(Replies, ErrorReplyWrongSignatureAndExtraArgumentsFailAlike)
{
    for (const Method &m : methods) {
        Peer::reset();
        Peer::error(m.name);
        EXPECT_EQ(m.call(), m.failed) << m.name << ": error reply";
        for (GVariant *reply : {m.extra(), g_variant_new("(b)", TRUE)}) {
            Peer::reply(m.name, reply);
            EXPECT_EQ(m.call(), m.failed) << m.name << ": reply of another signature";
        }
        EXPECT_EQ(Peer::calls(m.name).size(), 3u) << m.name << " was called";
    }
}

/* ------------------------------------------------------------------ */
/* Arguments of the application                                        */
/* ------------------------------------------------------------------ */

namespace {

const char kBad[] = "\xc3\x28"; /* not UTF-8: GVariant would raise a critical */

/* Every operation that sends a string of the application or writes through
 * one of its pointers, and its failure value for text that is not UTF-8, a
 * NULL address or a NULL output.  One check refuses NULL and bad text alike:
 * where one of the two is refused here or in the file of its family, the other
 * is not tried again.  A result code refused for bad text is held by the twin
 * tables, which send an address that is not UTF-8. */
const struct Refusal {
    const char *what;
    int (*call)();
    int refused;
} refusals[] = {
    {"device, no output", [] { return halvo_get_paired_dev_info(kAddr, nullptr); }, 3},
    {"device list, no output", [] { return halvo_get_paired_dev_info_list(nullptr); }, 3},
    {"device type, no output", [] { return halvo_get_device_type(kAddr, nullptr); }, 3},
    {"set mark, bad name", [] { return int(halvo_set_use_dontuse_status(kBad, kAddr, true)); }, 0},
    {"set mark, bad address", [] { return int(halvo_set_use_dontuse_status("n", kBad, true)); }, 0},
    {"remove mark", [] { return int(halvo_remove_use_dontuse_status(kBad)); }, 0},
    {"don't-use list, no output", [] { return int(halvo_get_dontuse_device_list(nullptr)); }, 0},
    {"parse, no data out", [] { return fold(halvo_parse_manufacturer_data(1, "ab", 2, 0, nullptr, &len)); }, 3},
    {"parse, no length out", [] { return fold(halvo_parse_manufacturer_data(1, "ab", 2, 0, &out, nullptr)); }, 3},
    {"read specific, no length out", [] { return fold(halvo_read_specific_manufacturer_data(kAddr, 0, &out, nullptr)); }, 3},
    {"read, no option out", [] { return fold(halvo_read_manufacturer_data(kAddr, nullptr, &out, &len)); }, 3},
    {"read, no data out", [] { return fold(halvo_read_manufacturer_data(kAddr, &opt, nullptr, &len)); }, 3},
    {"custom command, no output", [] { return halvo_send_custom_command("c", nullptr); }, 3},
    {"test mode, bad side", [] { return int(halvo_enter_bt_dut_mode_new(kBad, "m", 1, 2)); }, 0},
    {"test mode, bad mode", [] { return int(halvo_enter_bt_dut_mode_new("s", kBad, 1, 2)); }, 0},
    {"controllability, no output", [] { return halvo_api_get_volume_controlable(kAddr, nullptr); }, 3},
    {"get volume, no output", [] { return halvo_api_get_volume(kAddr, nullptr); }, 3},
    {"speaker count, no output", [] { return halvo_api_get_num_of_connected_spaker(nullptr); }, 3},
    {"mute state, no output", [] { return halvo_api_get_mute_state(nullptr); }, 3},
    {"icon path, no output", [] { return halvo_api_get_last_bluetooth_speaker_icon_path("SB", nullptr); }, 3},
    {"local icon path, no output", [] { return halvo_api_get_common_icon_path_internal("SB", nullptr); }, 3},
    {"connected speakers, no output", [] { return halvo_get_connected_bt_speaker_infos(nullptr); }, 3},
    {"last speakers, no output", [] { return halvo_get_last_bluetooth_speakers(nullptr); }, 3},
};

} // namespace

TEST(Arguments, BadTextAndMissingPointersAreRefusedBeforeAnythingIsSent)
{
    for (const Refusal &r : refusals)
        EXPECT_EQ(r.call(), r.refused) << r.what;
    EXPECT_TRUE(Peer::calls().empty());
}

TEST(Arguments, MethodNamesThatAreNoMemberNameAreRefusedBeforeAnythingIsSent)
{
    /* Each repointable name, repointed at text that is no member name; its
     * default names the row of the reply table that calls it. */
    int refused = 0;
    for (const char **name : {&halvo_parse_manufacturer, &halvo_read_specific_manufacturer, &halvo_read_manufacturer,
                              &halvo_write_manufacturer, &halvo_custom_command, &tuvo_switching_connect,
                              &tuvo_switching_disconnect}) {
        const char *saved = *name;
        *name = kBad;
        for (const Method &m : methods) {
            if (strcmp(m.name, saved) == 0) {
                EXPECT_EQ(m.call(), 3) << saved;
                refused++;
            }
        }
        *name = saved;
    }
    EXPECT_EQ(refused, 7);
    EXPECT_TRUE(Peer::calls().empty());
}

/* ------------------------------------------------------------------ */
/* Signal payloads                                                     */
/* ------------------------------------------------------------------ */

namespace {

/* Calls per callback, whatever its arguments. */
enum Kind { kInfo, kStatus, kVolume, kControlable, kTuvo, kKinds };
int g_calls[kKinds];
template <Kind K, typename... Args> void hit(Args...)
{
    g_calls[K]++;
}

const char *const signal_names[] = {"bt_spk_info_changed",
                                    "last_connecting_status_changed",
                                    "bt_spk_volume_changed_by_address",
                                    "bt_spk_volume_controlable_changed_by_address",
                                    "tuvo_swtiching_connection_state_changed"};

} // namespace

TEST(SignalPayloads, WrongSignaturesFeedNoCallback)
{
    /* The firmware result's shape is held by its own case. */
    for (int r : {halvo_register_bt_spaeker_info_changed_cb(hit<kInfo>, nullptr),
                  halvo_set_last_bluetooth_speakers_connecting_status_changed_cb(hit<kStatus>, nullptr),
                  halvo_api_set_volume_changed_callback(hit<kVolume>, nullptr),
                  halvo_api_set_volume_controlable_changed_callback(hit<kControlable>, nullptr),
                  halvo_tuvo_switching_set_connection_state_cb(hit<kTuvo>, nullptr)})
        ASSERT_EQ(r, 0);
    GVariant *wrong[] = {g_variant_new("(i)", 1), g_variant_new("(b)", TRUE), g_variant_new("(ss)", "AA", "x"),
                         g_variant_new("(is)", 1, "AA"), g_variant_new("(as)", nullptr),
                         g_variant_new("(sii)", "AA", 1, 2)};
    for (GVariant *payload : wrong) {
        g_variant_ref_sink(payload);
        for (const char *name : signal_names)
            Peer::emit(name, payload);
        g_variant_unref(payload);
    }
    Peer::sync_signals();
    for (int calls : g_calls)
        EXPECT_EQ(calls, 0);
    halvo_unregister_bt_spaeker_info_changed_cb();
    halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb();
    halvo_api_unset_volume_changed_callback();
    halvo_api_unset_volume_controlable_changed_callback();
    halvo_tuvo_switching_unset_connection_state_cb();
}
