/* halvo.hpp alone: it builds without a warning (tests/CMakeLists.txt has
 * the flags), and brings neither GLib's macros nor the C header's names. */
#include <halvo/halvo.hpp>

#include <vector>

#if defined(TRUE) || defined(FALSE) || defined(MIN) || defined(MAX) || defined(G_BEGIN_DECLS) || \
    defined(G_GNUC_CONST) || defined(HALVO_API_H) || defined(HALVO_ERROR_NONE)
#error "a macro of GLib or of halvo-api.h came with halvo.hpp"
#endif

/* An application's own globals, named as the C header's are. */
#ifdef __clang__
#pragma clang diagnostic ignored "-Wexit-time-destructors"
#endif
static std::vector<int> callbacks;
static int tuvo_switching_connect;

/* Every template of the layer, made. */
void use(std::vector<std::uint8_t> bytes)
{
    auto any = [](auto &&...) {};
    halvo::Result<halvo::Subscription> subscriptions[] = {
        halvo::on_speaker_info(any), halvo::on_last_speakers(any), halvo::on_connecting_status(any),
        halvo::on_volume(any),       halvo::on_volume_controllable(any), halvo::on_earphones(any),
        halvo::on_mute(any),         halvo::on_connected_speakers(any),  halvo::on_service(any)};
    namespace a = halvo::async;
    halvo::Call calls[] = {
        a::paired_device("", any), a::paired_devices(any), a::device_type("", any), a::set_dont_use("", "", true, any),
        a::dont_use_status("", any), a::remove_dont_use_status("", any), a::dont_use_devices(any),
        a::parse_manufacturer_data(0, bytes, 0, any), a::read_specific_manufacturer_data("", 0, any),
        a::read_manufacturer_data("", any), a::write_manufacturer_data("", 0, bytes, any),
        a::send_custom_command("", any), a::enter_dut_mode(any), a::enter_dut_mode("", "", 0, 0, any),
        a::stop_dut_mode(any), a::update_remote_firmware(any), a::connected_speakers(any),
        a::set_connected_speaker_info("", {}, any), a::set_connected_speaker_info_json("", any),
        a::last_speakers(any), a::connect_last_speakers(true, any), a::disconnect_last_speakers(any),
        a::volume("", any), a::set_volume("", 0, any), a::volume_controllable("", any),
        a::connected_speaker_count(any), a::volume_up(any), a::volume_down(any), a::toggle_mute(any),
        a::set_mute(true, any), a::muted(any), a::speaker_icon_path("", any), a::replace_current_speaker("", any),
        a::info_sync_devices(any), a::remove_info_sync_device("", any), a::blocked_devices(any),
        a::unblock_device("", any), a::connect_earphones("", any), a::disconnect_earphones("", any),
        a::speakers_with_volumes(any)};
    callbacks.push_back(tuvo_switching_connect + int(std::size(subscriptions) + std::size(calls)));
}
