/**
 * @file halvo/async.hpp
 * @brief Non-blocking calls: halvo::Call and the halvo::async functions.
 *
 * Each function of halvo::async starts an operation over the C `_async`
 * pair and returns a Call at once; its callable gets what the blocking
 * twin (halvo/calls.hpp) returns, later, in the thread-default GLib main
 * context of the thread that started it.  Destroying the Call, or
 * cancel(), cancels the operation, and then the callable never runs.
 */
#ifndef HALVO_ASYNC_HPP
#define HALVO_ASYNC_HPP

#include <halvo/detail/convert.hpp>
#include <halvo/detail/function.hpp>
#include <halvo/types.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

namespace halvo {
inline namespace v1 {

class Call;

/** @cond INTERNAL */
namespace detail {
template <class F, class Start, class Read>
Call start(F &&fn, bool accepted, Start begin, Read read) noexcept;

/* A call in flight, shared by its Call and the callback GIO runs. */
struct Pending {
    explicit Pending(void (*cancel_fn)(Pending &) noexcept) noexcept
        : cancellable(halvo_cxx_cancellable_new()), cancel(cancel_fn)
    {
    }
    Pending(const Pending &) = delete;
    Pending &operator=(const Pending &) = delete;
    ~Pending() { halvo_cxx_cancellable_unref(cancellable); }
    GCancellable *const cancellable;
    void (*const cancel)(Pending &) noexcept;
    std::mutex mutex;
    std::condition_variable idle;
    bool cancelled = false;        /* guarded by mutex */
    std::thread::id runner;        /* guarded by mutex: where the callable runs, while it runs */
    bool running = false;          /* guarded by mutex */
    std::atomic<bool> done{false}; /* the C side has finished */
};
} // namespace detail
/** @endcond */

/** One non-blocking call (halvo::async): move-only; destroying it or
 *  cancel() cancels the call, and then its callable never runs.  A
 *  default-constructed one holds nothing. */
class [[nodiscard]] Call {
  public:
    /** Holds nothing. */
    Call() noexcept = default;
    /** Takes over @p other's call; @p other then holds nothing. */
    Call(Call &&other) noexcept = default;
    /** Cancels this call, then takes over @p other's. */
    Call &operator=(Call &&other) noexcept
    {
        if (this != &other) {
            cancel();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;
    /** Same as cancel(). */
    ~Call() { cancel(); }

    /** Cancels the call: once this returns, the callable is not running
     *  on another thread (one that was finishes first) and will not start,
     *  and what it captured is released.  From inside the callable it
     *  returns at once.  The call itself ends soon after, in the
     *  background.  A change whose request went out (a volume set, a mute
     *  change, a command) may still be made by the service: read the state
     *  again to know.  Nothing once the call is over. */
    void cancel() noexcept
    {
        if (state_)
            state_->cancel(*state_);
    }

    /** Whether the call is still running: false once its C side has
     *  finished, while its callable runs, and once cancel() returned. */
    bool active() const noexcept
    {
        if (!state_)
            return false;
        std::lock_guard<std::mutex> lock(state_->mutex);
        return !state_->done.load() && !state_->cancelled;
    }

  private:
    /** @cond INTERNAL */
    template <class F, class Start, class Read>
    friend Call detail::start(F &&fn, bool accepted, Start begin, Read read) noexcept;
    /** @endcond */

    explicit Call(std::shared_ptr<detail::Pending> state) noexcept : state_(std::move(state)) {}

    std::shared_ptr<detail::Pending> state_;
};

/** @cond INTERNAL */
namespace detail {

template <class R, class Read>
struct PendingOf : Pending {
    PendingOf(Read r, Function<void(R)> f) : Pending(&cancel_it), read(std::move(r)), fn(std::move(f)) {}
    static void cancel_it(Pending &base) noexcept
    {
        auto &p = static_cast<PendingOf &>(base);
        Function<void(R)> gone; /* released with no lock held */
        {
            std::unique_lock<std::mutex> lock(p.mutex);
            p.cancelled = true;
            gone = std::move(p.fn);
            /* A callable running on another thread finishes first. */
            auto self = std::this_thread::get_id();
            p.idle.wait(lock, [&] { return !p.running || p.runner == self; });
        }
        halvo_cxx_cancellable_cancel(p.cancellable);
    }
    Read read; /* the _finish and the conversion */
    Function<void(R)> fn;
};

/* The end of a call, in the starting thread's context.  _finish always
 * runs, to free the C side's outputs; the callable only when not
 * cancelled.  @p result is NULL for refused inputs. */
template <class R, class Read>
void land(PendingOf<R, Read> &p, GAsyncResult *result) noexcept
{
    R value = result ? p.read(result) : refused<R>();
    Function<void(R)> fn;
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        if (!p.cancelled) {
            fn = std::move(p.fn);
            p.running = true;
            p.runner = std::this_thread::get_id();
        }
        p.done = true;
    }
    if (!fn)
        return;
    guarded([&] { fn(std::move(value)); });
    fn = Function<void(R)>(); /* what it captured goes before a waiting cancel() returns */
    {
        std::lock_guard<std::mutex> lock(p.mutex);
        p.running = false;
    }
    p.idle.notify_all();
}

template <class R, class Read>
using Keep = std::shared_ptr<PendingOf<R, Read>>;

/* GIO's callback: the call's reference goes with it. */
template <class R, class Read>
void landed(GObject *, GAsyncResult *result, void *data) noexcept
{
    std::unique_ptr<Keep<R, Read>> keep(static_cast<Keep<R, Read> *>(data));
    land(**keep, result);
}

/* A refused call's idle; its reference goes with the source, also when
 * the context is destroyed without running it. */
template <class R, class Read>
int land_refused(void *data) noexcept
{
    land(**static_cast<Keep<R, Read> *>(data), nullptr);
    return 0; /* G_SOURCE_REMOVE */
}

template <class R, class Read>
void drop_refused(void *data) noexcept
{
    delete static_cast<Keep<R, Read> *>(data);
}

/* Starts a call with @p begin(cancellable, callback, user_data), the C
 * _async; @p read makes the callable's value of its GAsyncResult.  Refused
 * inputs (@p accepted false) answer through the callable too, never
 * inside this call, as C does. */
template <class F, class Start, class Read>
Call start(F &&fn, bool accepted, Start begin, Read read) noexcept
{
    using R = std::invoke_result_t<Read &, GAsyncResult *>;
    using P = PendingOf<R, Read>;
    auto p = std::make_shared<P>(std::move(read), Function<void(R)>(std::forward<F>(fn)));
    auto *keep = new std::shared_ptr<P>(p);
    if (accepted) {
        begin(p->cancellable, &landed<R, Read>, static_cast<void *>(keep));
    } else {
        halvo_cxx_idle(&land_refused<R, Read>, keep, &drop_refused<R, Read>);
    }
    return Call(std::move(p));
}

} // namespace detail
/** @endcond */

/** Non-blocking twins of the blocking calls (halvo/calls.hpp), over the C `_async` pairs.
 *  Each starts the operation and returns at once with a Call; @p fn (a
 *  callable taking what the blocking twin returns, e.g. Result<int> for
 *  volume()) then runs once, in the thread-default main context of the
 *  thread that started it, never inside the starting call; refused inputs
 *  come back that way too.  Destroying the Call, or cancel(), cancels the
 *  operation and @p fn never runs, so that it may capture an object that
 *  goes with its Call (a screen's `this`).  Inputs are copied before the
 *  starting call returns. */
namespace async {

/** paired_device() without waiting. */
template <class F>
Call paired_device(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { detail::halvo_get_paired_dev_info_async(a.get(), x...); },
                         [](auto *r) { return detail::device_out(&detail::halvo_cxx_paired_device_finish, r); });
}

/** paired_devices() without waiting. */
template <class F>
Call paired_devices(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true,
                         [](auto... x) { detail::halvo_get_paired_dev_info_list_async(x...); },
                         [](auto *r) {
                             return detail::list_out(&detail::free_devices, &detail::device_list,
                                                     &detail::halvo_get_paired_dev_info_list_finish, r);
                         });
}

/** device_type() without waiting. */
template <class F>
Call device_type(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { detail::halvo_get_device_type_async(a.get(), x...); },
                         [](auto *r) { return detail::value_out<int>(&detail::halvo_get_device_type_finish, r); });
}

/** set_dont_use() without waiting. */
template <class F>
Call set_dont_use(std::string_view address, std::string_view name, bool dont_use, F &&fn) noexcept
{
    detail::CText a(address), n(name);
    return detail::start(std::forward<F>(fn), a && n,
                         [&](auto... x) {
                             detail::halvo_set_use_dontuse_status_async(n.get(), a.get(), dont_use, x...);
                         },
                         [](auto *r) { return detail::outcome(detail::halvo_set_use_dontuse_status_finish(r)); });
}

/** dont_use_status() without waiting. */
template <class F>
Call dont_use_status(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { detail::halvo_get_use_dontuse_status_async(a.get(), x...); },
                         [](auto *r) { return detail::mark_of(detail::halvo_get_use_dontuse_status_finish(r)); });
}

/** remove_dont_use_status() without waiting. */
template <class F>
Call remove_dont_use_status(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { detail::halvo_remove_use_dontuse_status_async(a.get(), x...); },
                         [](auto *r) { return detail::outcome(detail::halvo_remove_use_dontuse_status_finish(r)); });
}

/** dont_use_devices() without waiting. */
template <class F>
Call dont_use_devices(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true,
                         [](auto... x) { detail::halvo_get_dontuse_device_list_async(x...); },
                         [](auto *r) {
                             return detail::list_out(&detail::free_devices, &detail::device_list,
                                                     &detail::halvo_get_dontuse_device_list_finish, r);
                         });
}

/** parse_manufacturer_data() without waiting. */
template <class F>
Call parse_manufacturer_data(int link_type, const std::vector<std::uint8_t> &bytes, int option, F &&fn) noexcept
{
    const char *in = detail::bytes_in(bytes);
    return detail::start(
        std::forward<F>(fn), in != nullptr,
        [&](auto... x) {
            detail::halvo_parse_manufacturer_data_async(link_type, in, int(bytes.size()), option, x...);
        },
        [](auto *r) { return detail::bytes_out(&detail::halvo_parse_manufacturer_data_finish, r); });
}

/** read_specific_manufacturer_data() without waiting. */
template <class F>
Call read_specific_manufacturer_data(std::string_view address, int option, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(
        std::forward<F>(fn), bool(a),
        [&](auto... x) { detail::halvo_read_specific_manufacturer_data_async(a.get(), option, x...); },
        [](auto *r) { return detail::bytes_out(&detail::halvo_read_specific_manufacturer_data_finish, r); });
}

/** read_manufacturer_data() without waiting. */
template <class F>
Call read_manufacturer_data(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { detail::halvo_read_manufacturer_data_async(a.get(), x...); },
                         [](auto *r) {
                             return detail::option_bytes_out(&detail::halvo_read_manufacturer_data_finish, r);
                         });
}

/** write_manufacturer_data() without waiting. */
template <class F>
Call write_manufacturer_data(std::string_view address, int link_type, const std::vector<std::uint8_t> &bytes,
                             F &&fn) noexcept
{
    detail::CText a(address);
    const char *in = detail::bytes_in(bytes);
    return detail::start(
        std::forward<F>(fn), a && in,
        [&](auto... x) {
            detail::halvo_write_manufacturer_data_async(a.get(), link_type, in, int(bytes.size()), x...);
        },
        [](auto *r) { return detail::outcome(detail::halvo_write_manufacturer_data_finish(r)); });
}

/** send_custom_command() without waiting: @p fn(CommandReply). */
template <class F>
Call send_custom_command(std::string_view command, F &&fn) noexcept
{
    detail::CText c(command);
    return detail::start(std::forward<F>(fn), bool(c),
                         [&](auto... x) { detail::halvo_send_custom_command_async(c.get(), x...); },
                         [](auto *r) { return detail::command_out(&detail::halvo_send_custom_command_finish, r); });
}

/** enter_dut_mode() without waiting. */
template <class F>
Call enter_dut_mode(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { detail::halvo_enter_bt_dut_mode_async(x...); },
                         [](auto *r) { return detail::outcome(detail::halvo_enter_bt_dut_mode_finish(r)); });
}

/** enter_dut_mode() with test parameters, without waiting. */
template <class F>
Call enter_dut_mode(std::string_view side, std::string_view mode, int channel, int power, F &&fn) noexcept
{
    detail::CText s(side), m(mode);
    return detail::start(
        std::forward<F>(fn), s && m,
        [&](auto... x) { detail::halvo_enter_bt_dut_mode_new_async(s.get(), m.get(), channel, power, x...); },
        [](auto *r) { return detail::outcome(detail::halvo_enter_bt_dut_mode_new_finish(r)); });
}

/** stop_dut_mode() without waiting. */
template <class F>
Call stop_dut_mode(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { detail::halvo_stop_bt_dut_mode_new_async(x...); },
                         [](auto *r) { return detail::outcome(detail::halvo_stop_bt_dut_mode_new_finish(r)); });
}

/** update_remote_firmware() without waiting (up to 60 s). */
template <class F>
Call update_remote_firmware(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { detail::halvo_update_zemo_fw_async(x...); },
                         [](auto *r) { return detail::accepted_of(detail::halvo_update_zemo_fw_finish(r)); });
}

/** connected_speakers() without waiting. */
template <class F>
Call connected_speakers(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true,
                         [](auto... x) { detail::halvo_get_connected_bt_speaker_infos_async(x...); },
                         [](auto *r) {
                             return detail::list_out(&detail::halvo_free_connected_bt_spaekr_infos,
                                                     &detail::speaker_list,
                                                     &detail::halvo_get_connected_bt_speaker_infos_finish, r);
                         });
}

/** set_connected_speaker_info() without waiting. */
template <class F>
Call set_connected_speaker_info(std::string_view vsid, const SpeakerInfo &info, F &&fn) noexcept
{
    detail::CSpeakerInfo c(vsid, info);
    return detail::start(
        std::forward<F>(fn), bool(c),
        [&](auto... x) { detail::halvo_cxx_set_speaker_info_async(c.v.get(), c.a.get(), c.n.get(), c.i.get(),
                                                                  c.audio_type, x...); },
        [](auto *r) { return detail::outcome(detail::halvo_set_connected_bt_speaker_info_finish(r)); });
}

/** set_connected_speaker_info_json() without waiting. */
template <class F>
Call set_connected_speaker_info_json(std::string_view json, F &&fn) noexcept
{
    detail::CText j(json);
    return detail::start(
        std::forward<F>(fn), bool(j),
        [&](auto... x) { detail::halvo_set_connected_bt_speaker_info_with_serialization_async(j.get(), x...); },
        [](auto *r) {
            return detail::outcome(detail::halvo_set_connected_bt_speaker_info_with_serialization_finish(r));
        });
}

/** last_speakers() without waiting. */
template <class F>
Call last_speakers(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true,
                         [](auto... x) { detail::halvo_get_last_bluetooth_speakers_async(x...); },
                         [](auto *r) {
                             return detail::list_out(&detail::halvo_free_last_bluetooth_speakers,
                                                     &detail::last_speaker_list,
                                                     &detail::halvo_get_last_bluetooth_speakers_finish, r);
                         });
}

/** connect_last_speakers() without waiting. */
template <class F>
Call connect_last_speakers(bool show_connecting_ui, F &&fn) noexcept
{
    return detail::start(
        std::forward<F>(fn), true,
        [&](auto... x) { detail::halvo_connect_to_last_bluetooth_speakers_async(show_connecting_ui, x...); },
        [](auto *r) { return detail::outcome(detail::halvo_connect_to_last_bluetooth_speakers_finish(r)); });
}

/** disconnect_last_speakers() without waiting. */
template <class F>
Call disconnect_last_speakers(F &&fn) noexcept
{
    return detail::start(
        std::forward<F>(fn), true, [](auto... x) { detail::halvo_disconnect_to_last_bluetooth_speakers_async(x...); },
        [](auto *r) { return detail::outcome(detail::halvo_disconnect_to_last_bluetooth_speakers_finish(r)); });
}

/** volume() without waiting. */
template <class F>
Call volume(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { detail::halvo_api_get_volume_async(a.get(), x...); },
                         [](auto *r) { return detail::value_out<int>(&detail::halvo_api_get_volume_finish, r); });
}

/** set_volume() without waiting. */
template <class F>
Call set_volume(std::string_view address, int volume, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { detail::halvo_api_set_volume_async(a.get(), volume, x...); },
                         [](auto *r) { return detail::outcome(detail::halvo_api_set_volume_finish(r)); });
}

/** volume_controllable() without waiting. */
template <class F>
Call volume_controllable(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(
        std::forward<F>(fn), bool(a),
        [&](auto... x) { detail::halvo_api_get_volume_controlable_async(a.get(), x...); },
        [](auto *r) { return detail::value_out<bool>(&detail::halvo_api_get_volume_controlable_finish, r); });
}

/** connected_speaker_count() without waiting. */
template <class F>
Call connected_speaker_count(F &&fn) noexcept
{
    return detail::start(
        std::forward<F>(fn), true, [](auto... x) { detail::halvo_api_get_num_of_connected_spaker_async(x...); },
        [](auto *r) { return detail::value_out<int>(&detail::halvo_api_get_num_of_connected_spaker_finish, r); });
}

/** volume_up() without waiting. */
template <class F>
Call volume_up(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { detail::halvo_api_volume_up_async(x...); },
                         [](auto *r) { return detail::outcome(detail::halvo_api_volume_up_finish(r)); });
}

/** volume_down() without waiting. */
template <class F>
Call volume_down(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { detail::halvo_api_volume_down_async(x...); },
                         [](auto *r) { return detail::outcome(detail::halvo_api_volume_down_finish(r)); });
}

/** toggle_mute() without waiting. */
template <class F>
Call toggle_mute(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { detail::halvo_api_mute_unmute_async(x...); },
                         [](auto *r) { return detail::outcome(detail::halvo_api_mute_unmute_finish(r)); });
}

/** set_mute() without waiting. */
template <class F>
Call set_mute(bool muted, F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [&](auto... x) { detail::halvo_api_set_mute_async(muted, x...); },
                         [](auto *r) { return detail::outcome(detail::halvo_api_set_mute_finish(r)); });
}

/** muted() without waiting. */
template <class F>
Call muted(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { detail::halvo_api_get_mute_state_async(x...); },
                         [](auto *r) {
                             return detail::value_out<bool>(&detail::halvo_api_get_mute_state_finish, r);
                         });
}

/** speaker_icon_path() without waiting. */
template <class F>
Call speaker_icon_path(std::string_view code, F &&fn) noexcept
{
    detail::CText c(code);
    return detail::start(
        std::forward<F>(fn), bool(c),
        [&](auto... x) { detail::halvo_api_get_last_bluetooth_speaker_icon_path_async(c.get(), x...); },
        [](auto *r) { return detail::path_out(&detail::halvo_api_get_last_bluetooth_speaker_icon_path_finish, r); });
}

/** replace_current_speaker() without waiting. */
template <class F>
Call replace_current_speaker(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { detail::halvo_api_replace_current_speaker_async(a.get(), x...); },
                         [](auto *r) {
                             return detail::outcome(detail::halvo_api_replace_current_speaker_finish(r));
                         });
}

/** info_sync_devices() without waiting. */
template <class F>
Call info_sync_devices(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true,
                         [](auto... x) { detail::halvo_get_info_sync_devices_async(x...); },
                         [](auto *r) {
                             return detail::list_out(&detail::halvo_free_info_sync_devices, &detail::info_sync_list,
                                                     &detail::halvo_get_info_sync_devices_finish, r);
                         });
}

/** remove_info_sync_device() without waiting. */
template <class F>
Call remove_info_sync_device(std::string_view key, F &&fn) noexcept
{
    detail::CText k(key);
    return detail::start(std::forward<F>(fn), bool(k),
                         [&](auto... x) { detail::halvo_remove_info_sync_device_async(k.get(), x...); },
                         [](auto *r) { return detail::outcome(detail::halvo_remove_info_sync_device_finish(r)); });
}

/** blocked_devices() without waiting. */
template <class F>
Call blocked_devices(F &&fn) noexcept
{
    auto out = std::make_shared<std::vector<BlockedDevice>>();
    return detail::start(
        std::forward<F>(fn), true,
        [&](auto... x) { detail::halvo_foreach_blocked_devices_async(&detail::collect_blocked, out.get(), x...); },
        [out](auto *r) { return detail::blocked_of(detail::halvo_foreach_blocked_devices_finish(r), *out); });
}

/** unblock_device() without waiting. */
template <class F>
Call unblock_device(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(
        std::forward<F>(fn), bool(a),
        [&](auto... x) { detail::halvo_remove_pairing_blocked_devices_async(a.get(), x...); },
        [](auto *r) { return detail::outcome(detail::halvo_remove_pairing_blocked_devices_finish(r)); });
}

/** connect_earphones() without waiting. */
template <class F>
Call connect_earphones(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { detail::halvo_tuvo_switching_connect_async(a.get(), x...); },
                         [](auto *r) { return detail::outcome(detail::halvo_tuvo_switching_connect_finish(r)); });
}

/** disconnect_earphones() without waiting. */
template <class F>
Call disconnect_earphones(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { detail::halvo_tuvo_switching_disconnect_async(a.get(), x...); },
                         [](auto *r) { return detail::outcome(detail::halvo_tuvo_switching_disconnect_finish(r)); });
}

/** A screen's refresh in one call: the connected speakers, each with its
 *  volume and controllability read, the reads overlapped on the bus;
 *  @p fn(Result<std::vector<SpeakerVolume>>).  No blocking twin. */
template <class F>
Call speakers_with_volumes(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true,
                         [](auto... x) { detail::halvo_api_speakers_with_volumes_async(x...); },
                         [](auto *r) {
                             return detail::list_out(&detail::halvo_free_speakers_with_volumes,
                                                     &detail::speaker_volume_list,
                                                     &detail::halvo_api_speakers_with_volumes_finish, r);
                         });
}

} // namespace async

} // inline namespace v1
} // namespace halvo

#endif /* HALVO_ASYNC_HPP */
