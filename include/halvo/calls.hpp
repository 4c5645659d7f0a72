/**
 * @file halvo/calls.hpp
 * @brief The blocking calls, and the library's lifecycle.
 *
 * Each call runs on the caller's thread and returns when its work is
 * done, within 5 s (the firmware-update request 60 s), as in C: use them
 * from worker threads and tools; from a thread that draws a screen use
 * their twins in halvo/async.hpp.
 */
#ifndef HALVO_CALLS_HPP
#define HALVO_CALLS_HPP

#include <halvo/detail/convert.hpp>
#include <halvo/types.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvo {
inline namespace v1 {

/** Keeps the library initialised (the firmware-update result subscribed)
 *  while alive; move-only. */
class [[nodiscard]] Session {
  public:
    /** Initialises the library in the calling thread's main context.
     *  @return the session, or AlreadyInitialized. */
    static Result<Session> start() noexcept
    {
        int rc = detail::halvo_initialize();
        if (rc != int(Error::None))
            return detail::failed(rc);
        return Session(true);
    }
    /** Ends @p other's session here instead. */
    Session(Session &&other) noexcept : live_(std::exchange(other.live_, false)) {}
    /** Ends this session, then takes over @p other's. */
    Session &operator=(Session &&other) noexcept
    {
        if (this != &other) {
            end();
            live_ = std::exchange(other.live_, false);
        }
        return *this;
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    /** Same as end(). */
    ~Session() { end(); }
    /** Deinitialises the library now. */
    void end() noexcept
    {
        if (std::exchange(live_, false))
            detail::halvo_deinitialzie();
    }

  private:
    explicit Session(bool live) noexcept : live_(live) {}
    bool live_ = false;
};

/** The outcome of the last remote-control firmware update once its result
 *  signal came (true: "OK"), empty before; needs a Session.  Free of races
 *  with the signal that writes it. */
inline std::optional<bool> firmware_result() noexcept
{
    int result = detail::halvo_cxx_firmware_result();
    if (result < 0)
        return std::nullopt;
    return result == 1;
}

/** Forgets the last firmware result, e.g. before starting an update. */
inline void clear_firmware_result() noexcept
{
    detail::halvo_cxx_clear_firmware_result();
}

/** Asks the update manager to update the remote control's firmware,
 *  waiting up to 60 s for it to accept; the outcome comes later
 *  (firmware_result()).
 *  @return success when it accepted; OperationFailed otherwise. */
inline Result<void> update_remote_firmware() noexcept
{
    return detail::accepted_of(detail::halvo_update_zemo_fw());
}

/* ------------------------------------------------------------------ */
/* Paired devices and device policy                                    */
/* ------------------------------------------------------------------ */

/** One paired device, with its device type. */
inline Result<Device> paired_device(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::device_out(&detail::halvo_cxx_paired_device, a.get());
}

/** Every paired device, in the service's order. */
inline Result<std::vector<Device>> paired_devices() noexcept
{
    return detail::list_out(&detail::free_devices, &detail::device_list, &detail::halvo_get_paired_dev_info_list);
}

/** The service's device-type code of @p address. */
inline Result<int> device_type(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::value_out<int>(&detail::halvo_get_device_type, a.get());
}

/** Marks @p address (shown as @p name) as not to be used, or as usable.
 *  @return success only when the service confirmed it. */
inline Result<void> set_dont_use(std::string_view address, std::string_view name, bool dont_use) noexcept
{
    detail::CText a(address), n(name);
    if (!a || !n)
        return detail::invalid();
    return detail::outcome(detail::halvo_set_use_dontuse_status(n.get(), a.get(), dont_use));
}

/** The service's mark value of @p address (its meaning is the service's). */
inline Result<int> dont_use_status(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::mark_of(detail::halvo_get_use_dontuse_status(a.get()));
}

/** Makes the service forget the mark of @p address.
 *  @return success only when the service confirmed it. */
inline Result<void> remove_dont_use_status(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::outcome(detail::halvo_remove_use_dontuse_status(a.get()));
}

/** The devices marked as not to be used (address and name only). */
inline Result<std::vector<Device>> dont_use_devices() noexcept
{
    return detail::list_out(&detail::free_devices, &detail::device_list, &detail::halvo_get_dontuse_device_list);
}

/* ------------------------------------------------------------------ */
/* Manufacturer data, custom commands, test mode                       */
/* ------------------------------------------------------------------ */

/** Has the service parse @p bytes (at least one). */
inline Result<ManufacturerData> parse_manufacturer_data(int link_type, const std::vector<std::uint8_t> &bytes,
                                                        int option) noexcept
{
    if (!detail::bytes_in(bytes))
        return detail::invalid();
    return detail::bytes_out(&detail::halvo_parse_manufacturer_data, link_type, detail::bytes_in(bytes),
                             int(bytes.size()),
                             option);
}

/** Item @p option of the manufacturer data the service holds for @p address. */
inline Result<ManufacturerData> read_specific_manufacturer_data(std::string_view address, int option) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::bytes_out(&detail::halvo_read_specific_manufacturer_data, a.get(), option);
}

/** The manufacturer data the service holds for @p address, with its option value. */
inline Result<ManufacturerData> read_manufacturer_data(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::option_bytes_out(&detail::halvo_read_manufacturer_data, a.get());
}

/** Writes @p bytes (at least one) as manufacturer data to @p address. */
inline Result<void> write_manufacturer_data(std::string_view address, int link_type,
                                            const std::vector<std::uint8_t> &bytes) noexcept
{
    detail::CText a(address);
    if (!a || !detail::bytes_in(bytes))
        return detail::invalid();
    return detail::outcome(
        detail::halvo_write_manufacturer_data(a.get(), link_type, detail::bytes_in(bytes), int(bytes.size())));
}

/** Sends the free-form text @p command to the service. */
inline CommandReply send_custom_command(std::string_view command) noexcept
{
    detail::CText c(command);
    if (!c)
        return detail::refused<CommandReply>();
    return detail::command_out(&detail::halvo_send_custom_command, c.get());
}

/** Puts the controller into device-under-test mode. */
inline Result<void> enter_dut_mode() noexcept
{
    return detail::outcome(detail::halvo_enter_bt_dut_mode());
}

/** Enters device-under-test mode with test parameters. */
inline Result<void> enter_dut_mode(std::string_view side, std::string_view mode, int channel, int power) noexcept
{
    detail::CText s(side), m(mode);
    if (!s || !m)
        return detail::invalid();
    return detail::outcome(detail::halvo_enter_bt_dut_mode_new(s.get(), m.get(), channel, power));
}

/** Leaves device-under-test mode. */
inline Result<void> stop_dut_mode() noexcept
{
    return detail::outcome(detail::halvo_stop_bt_dut_mode_new());
}

/* ------------------------------------------------------------------ */
/* Speakers                                                            */
/* ------------------------------------------------------------------ */

/** The connected speakers the service publishes in the store. */
inline Result<std::vector<Speaker>> connected_speakers() noexcept
{
    return detail::list_out(&detail::halvo_free_connected_bt_spaekr_infos, &detail::speaker_list,
                            &detail::halvo_get_connected_bt_speaker_infos);
}

/** Sends one speaker's information to the service, under the identifier @p vsid. */
inline Result<void> set_connected_speaker_info(std::string_view vsid, const SpeakerInfo &info) noexcept
{
    detail::CSpeakerInfo c(vsid, info);
    if (!c)
        return detail::invalid();
    return detail::outcome(detail::halvo_cxx_set_speaker_info(c.v.get(), c.a.get(), c.n.get(), c.i.get(),
                                                              c.audio_type));
}

/** Sends the JSON text @p json as a speaker's information, unchanged. */
inline Result<void> set_connected_speaker_info_json(std::string_view json) noexcept
{
    detail::CText j(json);
    if (!j)
        return detail::invalid();
    return detail::outcome(detail::halvo_set_connected_bt_speaker_info_with_serialization(j.get()));
}

/** The last-used speakers, in stored order, each with its connected flag. */
inline Result<std::vector<LastSpeaker>> last_speakers() noexcept
{
    return detail::list_out(&detail::halvo_free_last_bluetooth_speakers, &detail::last_speaker_list,
                            &detail::halvo_get_last_bluetooth_speakers);
}

/** Asks the service to connect the last-used speakers again; progress
 *  comes through on_connecting_status(). */
inline Result<void> connect_last_speakers(bool show_connecting_ui) noexcept
{
    return detail::outcome(detail::halvo_connect_to_last_bluetooth_speakers(show_connecting_ui));
}

/** Asks the service to disconnect the last-used speakers. */
inline Result<void> disconnect_last_speakers() noexcept
{
    return detail::outcome(detail::halvo_disconnect_to_last_bluetooth_speakers());
}

/** The volume of speaker @p address. */
inline Result<int> volume(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::value_out<int>(&detail::halvo_api_get_volume, a.get());
}

/** Sets the volume of speaker @p address (range and meaning: the service's). */
inline Result<void> set_volume(std::string_view address, int volume) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::outcome(detail::halvo_api_set_volume(a.get(), volume));
}

/** Whether the volume of speaker @p address can be controlled. */
inline Result<bool> volume_controllable(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::value_out<bool>(&detail::halvo_api_get_volume_controlable, a.get());
}

/** How many speakers the service counts as connected. */
inline Result<int> connected_speaker_count() noexcept
{
    return detail::value_out<int>(&detail::halvo_api_get_num_of_connected_spaker);
}

/** Steps the volume of the speakers in use up. */
inline Result<void> volume_up() noexcept
{
    return detail::outcome(detail::halvo_api_volume_up());
}

/** Steps the volume of the speakers in use down. */
inline Result<void> volume_down() noexcept
{
    return detail::outcome(detail::halvo_api_volume_down());
}

/** Toggles the speakers' mute. */
inline Result<void> toggle_mute() noexcept
{
    return detail::outcome(detail::halvo_api_mute_unmute());
}

/** Brings the speakers' mute to @p muted (toggles it only when it differs). */
inline Result<void> set_mute(bool muted) noexcept
{
    return detail::outcome(detail::halvo_api_set_mute(muted));
}

/** The stored mute flag. */
inline Result<bool> muted() noexcept
{
    return detail::value_out<bool>(&detail::halvo_api_get_mute_state);
}

/** The icon file of speaker icon-type code @p code: the service's answer,
 *  else the library's own table. */
inline Result<std::string> speaker_icon_path(std::string_view code) noexcept
{
    detail::CText c(code);
    if (!c)
        return detail::invalid();
    return detail::path_out(&detail::halvo_api_get_last_bluetooth_speaker_icon_path, c.get());
}

/** The icon file of @p code from the library's own table only. */
inline Result<std::string> library_icon_path(std::string_view code) noexcept
{
    detail::CText c(code);
    if (!c)
        return detail::invalid();
    return detail::path_out(&detail::halvo_api_get_common_icon_path_internal, c.get());
}

/** Asks the service to use speaker @p address instead of the current one. */
inline Result<void> replace_current_speaker(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::outcome(detail::halvo_api_replace_current_speaker(a.get()));
}

/* ------------------------------------------------------------------ */
/* Stored device lists and earphones                                   */
/* ------------------------------------------------------------------ */

/** The info-sync devices not deleted on the television, in stored order. */
inline Result<std::vector<InfoSyncDevice>> info_sync_devices() noexcept
{
    return detail::list_out(&detail::halvo_free_info_sync_devices, &detail::info_sync_list,
                            &detail::halvo_get_info_sync_devices);
}

/** Marks the info-sync device stored under @p key as deleted on the television. */
inline Result<void> remove_info_sync_device(std::string_view key) noexcept
{
    detail::CText k(key);
    if (!k)
        return detail::invalid();
    return detail::outcome(detail::halvo_remove_info_sync_device(k.get()));
}

/** The devices whose pairing is blocked, in stored order. */
inline Result<std::vector<BlockedDevice>> blocked_devices() noexcept
{
    std::vector<BlockedDevice> out;
    return detail::blocked_of(detail::halvo_foreach_blocked_devices(&detail::collect_blocked, &out), out);
}

/** Takes @p address off the pairing-blocked list. */
inline Result<void> unblock_device(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::outcome(detail::halvo_remove_pairing_blocked_devices(a.get()));
}

/** Asks the service to switch earphones @p address to the television; the
 *  new state comes through on_earphones(). */
inline Result<void> connect_earphones(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::outcome(detail::halvo_tuvo_switching_connect(a.get()));
}

/** Asks the service to switch earphones @p address away from the television. */
inline Result<void> disconnect_earphones(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::outcome(detail::halvo_tuvo_switching_disconnect(a.get()));
}

} // inline namespace v1
} // namespace halvo

#endif /* HALVO_CALLS_HPP */
