/* Lifecycle, transport, subscriptions, the firmware result and emission,
 * against the peer on a private bus. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <utility>

using namespace halvo_test;

namespace {

int g_count = 0;

GVariant *call(const char *method, GVariant *args = nullptr) { return _halvo_api_send_method_call_sync(method, args); }

void count_handler(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *, GVariant *, gpointer)
{
    g_count++;
}

} // namespace

TEST(Lifecycle, InitialiseTwiceSubscribesOnceAndReinitialiseSubscribesAgain)
{
    EXPECT_EQ(halvo_deinitialzie(), HALVO_ERROR_NOT_INITIALIZED);
    ASSERT_EQ(halvo_initialize(), 0);
    ASSERT_EQ(halvo_deinitialzie(), 0);
    LogCapture log;
    ASSERT_EQ(halvo_initialize(), 0);
    EXPECT_EQ(halvo_initialize(), HALVO_ERROR_ALREADY_INITIALIZED);
    EXPECT_EQ(halvo_initialize(), -29359869);
    EXPECT_FALSE(log.contains("same signal is already subscribed"))
        << "deinitialise dropped the subscription; a second initialise is refused before subscribing";

    Peer::emit("zemo_fw_update_result", g_variant_new("(s)", "OK"));
    Peer::sync_signals();
    EXPECT_EQ(log.count("signal zemo_fw_update_result recieved"), 1) << "one subscription, one delivery";
    EXPECT_EQ(halvo_deinitialzie(), 0);
    EXPECT_EQ(halvo_deinitialzie(), HALVO_ERROR_NOT_INITIALIZED);
}

TEST(Transport, InvalidCallsSendNothingAndNoArgumentsIsNoBody)
{
    EXPECT_EQ(call("not a member!", g_variant_new("(s)", "x")), nullptr);
    EXPECT_EQ(call(nullptr, nullptr), nullptr);
    EXPECT_EQ(call("get_volume_by_address", g_variant_new_string("not a tuple")), nullptr);
    EXPECT_TRUE(Peer::calls().empty()) << "refused without a critical";

    Peer::reply("get_devices_info", g_variant_new("(s)", "{}"));
    GVariant *r = call("get_devices_info");
    ASSERT_NE(r, nullptr);
    g_variant_unref(r);
    auto calls = Peer::calls("get_devices_info");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text(), "()");
    EXPECT_EQ(calls[0].destination, "com.marlox.tv.bt.connectionmanager");
    EXPECT_EQ(calls[0].interface, "org.velmo.pellix.ApiInterface");
}

TEST(Transport, UnreachableBusFailsAndIsTriedAgain)
{
    forget_system_bus();

    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/halvo-bus", TRUE);
    EXPECT_EQ(call("get_volume_by_address", g_variant_new("(s)", "AA")), nullptr);
    EXPECT_EQ(_halvo_api_subscribe_internal_signal(2, count_handler, nullptr), 5);
    EXPECT_EQ(halvo_initialize(), 0) << "initialises even without a bus";

    g_setenv("DBUS_SYSTEM_BUS_ADDRESS", bus_address().c_str(), TRUE);
    Peer::reply("get_volume_by_address", g_variant_new("(ii)", 0, 1));
    GVariant *r = call("get_volume_by_address", g_variant_new("(s)", "AA"));
    ASSERT_NE(r, nullptr) << "the next call tries the bus again";
    g_variant_unref(r);
    EXPECT_EQ(_halvo_api_subscribe_internal_signal(2, count_handler, nullptr), 0);
    EXPECT_EQ(_halvo_api_unsubscribe_internal_signal(2), 0);
    EXPECT_EQ(halvo_deinitialzie(), 0);
}

TEST(Subscription, TwiceSubscribesOnceAndRowsFilterOnMemberAndPathOnly)
{
    g_count = 0;
    EXPECT_EQ(_halvo_api_subscribe_internal_signal(2, count_handler, nullptr), 0);
    EXPECT_EQ(_halvo_api_subscribe_internal_signal(2, count_handler, nullptr), 0);
    ASSERT_EQ(_halvo_api_subscribe_internal_signal(1, count_handler, nullptr), 0);

    Peer::emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 3));
    /* Any interface passes; another path or member does not. */
    Peer::emit("last_connecting_status_changed", g_variant_new("(s)", "x"), "/org/velmo/pellix", "com.other.Iface");
    Peer::emit("last_connecting_status_changed", g_variant_new("(s)", "x"), "/org/other/path", "org.velmo.pellix");
    Peer::emit("other_member", g_variant_new("(s)", "x"));
    Peer::sync_signals();
    EXPECT_EQ(g_count, 2);

    EXPECT_EQ(_halvo_api_unsubscribe_internal_signal(1), 0);
    EXPECT_EQ(_halvo_api_unsubscribe_internal_signal(2), 0);
    EXPECT_EQ(_halvo_api_unsubscribe_internal_signal(2), 3);
    Peer::emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", "AA", 3));
    Peer::sync_signals();
    EXPECT_EQ(g_count, 2) << "nothing after unsubscribe";
    EXPECT_EQ(_halvo_api_unsubscribe_signal(0), 3);

    /* The public row by its index; an index out of range, or no handler,
     * is refused. */
    EXPECT_EQ(_halvo_api_subscribe_signal(HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT, nullptr), 0);
    EXPECT_NE(signal_info[HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT].subscription_id, 0u);
    /* ... and leaves the row just past the internal ones (the public one) alone. */
    for (int i : {-1, int(HALVO_PUBLIC_SIGNAL_COUNT)}) {
        EXPECT_EQ(_halvo_api_subscribe_signal(i, nullptr), 3);
        EXPECT_EQ(_halvo_api_unsubscribe_signal(i), 3);
    }
    for (int i : {-1, int(HALVO_INTERNAL_SIGNAL_COUNT)}) {
        EXPECT_EQ(_halvo_api_subscribe_internal_signal(i, count_handler, nullptr), 3);
        EXPECT_EQ(_halvo_api_unsubscribe_internal_signal(i), 3);
    }
    EXPECT_EQ(_halvo_api_unsubscribe_signal(HALVO_PUBLIC_SIGNAL_ZEMO_FW_UPDATE_RESULT), 0);
    EXPECT_EQ(_halvo_api_subscribe_internal_signal(1, nullptr, nullptr), 3);
}

TEST(FirmwareResult, OnlyExactOkSucceedsAndTheFlagRisesEitherWay)
{
    ASSERT_EQ(halvo_initialize(), 0);
    const std::pair<const char *, int> cases[] = {{"OK", 1}, {"OK!", 0}, {"ok", 0}, {"", 0}, {"OK", 1}, {"NG", 0}};
    for (const auto &[text, result] : cases) {
        g_is_zemo_update_done = false;
        g_zemo_update_result = 1 - result;
        Peer::emit("zemo_fw_update_result", g_variant_new("(s)", text));
        Peer::sync_signals();
        EXPECT_TRUE(g_is_zemo_update_done) << text;
        EXPECT_EQ(g_zemo_update_result, result) << text;
    }

    /* Another payload shape, or another interface, records nothing. */
    g_is_zemo_update_done = false;
    Peer::emit("zemo_fw_update_result", g_variant_new("(i)", 1));
    Peer::emit("zemo_fw_update_result", g_variant_new("(s)", "OK"), "/org/velmo/pellix", "com.other.Iface");
    Peer::sync_signals();
    EXPECT_FALSE(g_is_zemo_update_done);
    EXPECT_EQ(halvo_deinitialzie(), 0);

    /* The event handler itself: another event, or no payload, records nothing. */
    GVariant *ok = g_variant_ref_sink(g_variant_new("(s)", "OK"));
    _halvo_event_handler(0, ok);
    _halvo_event_handler(6, nullptr);
    EXPECT_FALSE(g_is_zemo_update_done);
    _halvo_event_handler(6, ok);
    EXPECT_TRUE(g_is_zemo_update_done);
    EXPECT_EQ(g_zemo_update_result, 1);
    g_variant_unref(ok);
}

TEST(Emission, SubscriberOnTheBusReceivesTheSignalAndInvalidOnesAreRefused)
{
    GError *error = nullptr;
    GDBusConnection *listener = g_dbus_connection_new_for_address_sync(
        bus_address().c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    ASSERT_NE(listener, nullptr) << error->message;
    struct Seen {
        int count = 0;
        std::string path, iface, member, body;
    } seen;
    guint id = g_dbus_connection_signal_subscribe(
        listener, nullptr, "org.velmo.halvo_api.signal", nullptr, "/org/velmo/halvo_api", nullptr,
        G_DBUS_SIGNAL_FLAGS_NONE,
        [](GDBusConnection *, const gchar *, const gchar *path, const gchar *iface, const gchar *member, GVariant *p,
           gpointer d) {
            auto *s = static_cast<Seen *>(d);
            s->count++;
            s->path = path, s->iface = iface, s->member = member;
            s->body = take(g_variant_print(p, TRUE));
        },
        &seen, nullptr);
    /* The bus has the match rule once it has answered a later call. */
    g_autoptr(GVariant) pong = g_dbus_connection_call_sync(listener, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                           "org.freedesktop.DBus.Peer", "Ping", nullptr, nullptr,
                                                           G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);

    EXPECT_EQ(_halvo_api_emit_signal(nullptr, "name", g_variant_new("(i)", 7)), 0);
    EXPECT_TRUE(run_until([&] { return seen.count > 0; })) << "the signal did not reach the subscriber";
    EXPECT_EQ(seen.path, "/org/velmo/halvo_api");
    EXPECT_EQ(seen.iface, "org.velmo.halvo_api.signal");
    EXPECT_EQ(seen.member, "name");
    EXPECT_EQ(seen.body, "(7,)");
    /* Sent to one name, it reaches that name only: had the first gone to
     * everyone, it would have arrived before the second. */
    EXPECT_EQ(_halvo_api_emit_signal("com.marlox.tv.bt.connectionmanager", "to_other", nullptr), 0);
    EXPECT_EQ(_halvo_api_emit_signal(g_dbus_connection_get_unique_name(listener), "to_one", nullptr), 0);
    EXPECT_TRUE(run_until([&] { return seen.member == "to_one"; }));
    EXPECT_EQ(seen.count, 2);
    EXPECT_EQ(seen.body, "()");

    /* Still refused, without a critical; floating parameters are released. */
    EXPECT_EQ(_halvo_api_emit_signal(nullptr, "not a member!", g_variant_new("(s)", "x")), 5);
    EXPECT_EQ(_halvo_api_emit_signal("not a name", "changed", nullptr), 5);
    /* A value the caller holds a reference to stays valid. */
    GVariant *held = g_variant_ref_sink(g_variant_new_int32(1));
    EXPECT_EQ(_halvo_api_emit_signal(nullptr, "changed", held), 5);
    EXPECT_TRUE(g_variant_is_of_type(held, G_VARIANT_TYPE_INT32));
    g_variant_unref(held);

    g_dbus_connection_signal_unsubscribe(listener, id);
    g_object_unref(listener);
}
