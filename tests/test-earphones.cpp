/* Wireless earphone switching: the calls on the service and the relayed
 * connection state, against the peer on a private bus. */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <string>
#include <vector>

using namespace halvo_test;

namespace {

const char *const kStateSignal = "tuvo_swtiching_connection_state_changed";

/* Each callback's deliveries as "result|address|connected", and the user
 * data of the last one. */
std::vector<std::string> g_first, g_second;
void *g_user_data;

std::string state(int result, const char *address, int connected, void *user_data)
{
    g_user_data = user_data;
    return std::to_string(result) + "|" + str(address) + "|" + std::to_string(connected);
}

void first_cb(int result, const char *address, int connected, void *user_data)
{
    g_first.push_back(state(result, address, connected, user_data));
}

void second_cb(int result, const char *address, int connected, void *user_data)
{
    g_second.push_back(state(result, address, connected, user_data));
}

class Earphones : public ::testing::Test {
  protected:
    void SetUp() override
    {
        g_first.clear();
        g_user_data = nullptr;
        g_second.clear();
    }
    void TearDown() override
    {
        halvo_tuvo_switching_unset_connection_state_cb();
        tuvo_switching_connect = "tuvo_switching_connect";
        tuvo_switching_disconnect = "tuvo_switching_disconnect";
    }
};

} // namespace

TEST_F(Earphones, ReplyIntegersPassThroughToTheMethodNamed)
{
    Peer::reply("tuvo_switching_connect", g_variant_new("(i)", 17));
    EXPECT_EQ(halvo_tuvo_switching_connect("AA:BB"), 17);
    EXPECT_EQ(halvo_api_last_failure(), HALVO_FAILURE_SERVICE_ANSWERED);
    Peer::reply("tuvo_switching_disconnect", g_variant_new("(i)", -29359869));
    EXPECT_EQ(halvo_tuvo_switching_disconnect("CC:DD"), -29359869);
    EXPECT_EQ(Peer::first_args("tuvo_switching_connect"), std::vector<std::string>{"AA:BB"});
    EXPECT_EQ(Peer::first_args("tuvo_switching_disconnect"), std::vector<std::string>{"CC:DD"});

    /* Repointed names are the ones called. */
    Peer::reset();
    Peer::reply("other_connect", g_variant_new("(i)", 0));
    Peer::reply("other_disconnect", g_variant_new("(i)", 6));
    tuvo_switching_connect = "other_connect";
    tuvo_switching_disconnect = "other_disconnect";
    EXPECT_EQ(halvo_tuvo_switching_connect("AA"), 0);
    EXPECT_EQ(halvo_tuvo_switching_disconnect("BB"), 6);
    EXPECT_EQ(Peer::first_args("other_connect"), (std::vector<std::string>{"AA"}));
    EXPECT_EQ(Peer::first_args("other_disconnect"), (std::vector<std::string>{"BB"}));
    EXPECT_EQ(Peer::calls().size(), 2u);
}

TEST_F(Earphones, SetTwiceSubscribesOnceUnsetTwiceGives0AndStopsDelivery)
{
    LogCapture log;
    int first_data = 0, second_data = 0;
    EXPECT_EQ(halvo_tuvo_switching_set_connection_state_cb(nullptr, &first_data), 3);
    EXPECT_EQ(callbacks.callback, nullptr) << "a refused set touches nothing";
    EXPECT_EQ(halvo_tuvo_switching_set_connection_state_cb(first_cb, &first_data), 0);
    EXPECT_EQ(halvo_tuvo_switching_set_connection_state_cb(second_cb, &second_data), 0);
    EXPECT_EQ(callbacks.callback, second_cb);
    EXPECT_EQ(callbacks.user_data, &second_data);

    Peer::emit(kStateSignal, g_variant_new("(isi)", 0, "AA:BB", 1));
    Peer::sync_signals();
    EXPECT_TRUE(g_first.empty());
    EXPECT_EQ(g_second, std::vector<std::string>{"0|AA:BB|1"}) << "one subscription, one delivery";
    EXPECT_EQ(g_user_data, &second_data);

    EXPECT_EQ(halvo_tuvo_switching_unset_connection_state_cb(), 0);
    EXPECT_FALSE(log.contains("this signal was not subcribed."));
    EXPECT_EQ(halvo_tuvo_switching_unset_connection_state_cb(), 0);
    EXPECT_TRUE(log.contains("this signal was not subcribed."));
    EXPECT_EQ(callbacks.callback, nullptr);
    EXPECT_EQ(callbacks.user_data, nullptr);
    Peer::emit(kStateSignal, g_variant_new("(isi)", 0, "AA:BB", 1));
    Peer::sync_signals();
    EXPECT_EQ(g_second.size(), 1u);
}

TEST_F(Earphones, EmptyAddressIsDeliveredAnotherPayloadIsNot)
{
    int data = 0;
    ASSERT_EQ(halvo_tuvo_switching_set_connection_state_cb(first_cb, &data), 0);
    Peer::emit(kStateSignal, g_variant_new("(si)", "AA:BB", 1));
    Peer::emit(kStateSignal, g_variant_new("(isi)", -3, "", 0));
    Peer::sync_signals();
    EXPECT_EQ(g_first, std::vector<std::string>{"-3||0"});
    EXPECT_EQ(g_user_data, &data);
}

namespace {

const Twin kTwins[] = {
    {"tuvo_switching_connect", "(0,)", true, TWIN_CALLS(outcome, halvo_tuvo_switching_connect, address(bad))},
    {"tuvo_switching_disconnect", "(0,)", true, TWIN_CALLS(outcome, halvo_tuvo_switching_disconnect, address(bad))},
};

} // namespace

TEST_F(Earphones, NonBlockingCallsEndAsTheBlockingOnesDo)
{
    expect_twins_agree(kTwins, G_N_ELEMENTS(kTwins));
}
