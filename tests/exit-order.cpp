/* Subscriptions of static storage, filled in main and ended at exit after
 * the library was deinitialised: the process exits cleanly (also under
 * AddressSanitizer). */
#include <halvo/subscription.hpp>

#include <halvo-api.h>

static halvo::Subscription mute, volume;

int main()
{
    auto m = halvo::on_mute([](bool) {});
    auto v = halvo::on_volume([](std::string_view, int) {});
    if (!m.ok() || !v.ok())
        return 2;
    mute = std::move(*m);
    volume = std::move(*v);
    halvo_deinitialzie();
    return 0;
}
