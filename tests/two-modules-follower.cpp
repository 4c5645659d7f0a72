/* A module of two-modules.cpp, built twice with -fvisibility=hidden;
 * FOLLOWER names its one export. */
#include <halvo/subscription.hpp>

namespace {
halvo::Subscription *following;
}

/* Counts each change of the mute state into *@heard from now on; with
 * NULL, stops. */
extern "C" __attribute__((visibility("default"))) bool FOLLOWER(int *heard)
{
    delete following;
    following = nullptr;
    if (heard == nullptr)
        return true;
    auto sub = halvo::on_mute([heard](bool) { ++*heard; });
    if (sub.ok())
        following = new halvo::Subscription(std::move(*sub));
    return sub.ok();
}
