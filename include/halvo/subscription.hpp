/**
 * @file halvo/subscription.hpp
 * @brief Scoped callbacks: halvo::Subscription and the on_ functions.
 *
 * Each subscription is a listener of the C library (halvo_api_connect()),
 * called in the thread-default GLib main context of the thread that
 * subscribed it (the store's families: where the store delivers, the same
 * context), and ended when its Subscription goes.  Several subscriptions
 * per family each get every event.  The registry of listeners lives in
 * the library, one per process, whatever the visibility of the modules
 * that use this header; a Subscription destroyed at exit, or after
 * halvo_deinitialzie(), is harmless.
 */
#ifndef HALVO_SUBSCRIPTION_HPP
#define HALVO_SUBSCRIPTION_HPP

#include <halvo/detail/convert.hpp>
#include <halvo/detail/function.hpp>
#include <halvo/types.hpp>

#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace halvo {
inline namespace v1 {

class Subscription;

/** @cond INTERNAL */
namespace detail {

/* The events a listener follows: halvo-api.h's halvo_event_e. */
enum class Event : int {
    SpeakerInfo = 1,
    LastSpeakers = 2,
    ConnectingStatus = 3,
    Volume = 4,
    VolumeControllable = 5,
    Mute = 6,
    ConnectedSpeakers = 7,
    Earphones = 8,
    Service = 9,
};

template <class Fn, class Trampoline, class F>
Result<Subscription> subscribe(Event event, Trampoline trampoline, F &&callback) noexcept;

/* A subscriber's callable, held by the library's listener registry,
 * which deletes it once the listener is disconnected and not running. */
template <class Fn>
struct Callable {
    Function<Fn> fn;
    static void drop(void *self) noexcept { delete static_cast<Callable *>(self); }
};

template <class Fn, class... A>
void call(void *held, A &&...a) noexcept
{
    auto &fn = static_cast<Callable<Fn> *>(held)->fn;
    guarded([&] { fn(std::forward<A>(a)...); });
}

using SpeakerInfoFn = void(const std::optional<Speaker> &);
using LastSpeakersFn = void(std::vector<LastSpeaker>);
using ConnectingFn = void(ConnectingStatus);
using VolumeFn = void(std::string_view, int);
using ControllableFn = void(std::string_view, bool);
using EarphonesFn = void(int, std::string_view, bool);
using MuteFn = void(bool);
using ConnectedSpeakersFn = void(std::vector<Speaker>);
using ServiceFn = void(bool);

/* The trampolines: each runs in its subscriber's own context.  A
 * speaker's record is the library's (NULL when the service sent none). */
inline void on_speaker_info(const void *record, void *held) noexcept
{
    std::optional<Speaker> speaker;
    halvo_cxx_visit_speaker(record, &add_speaker<std::optional<Speaker>>, &speaker);
    call<SpeakerInfoFn>(held, speaker);
}

/* The last-speakers list passes to the listener: freed here. */
inline void on_last_speakers(GSList *list, void *held) noexcept
{
    List owned(&halvo_free_last_bluetooth_speakers);
    owned.head = list;
    call<LastSpeakersFn>(held, last_speaker_list(list));
}

inline void on_connecting(int status, void *held) noexcept
{
    call<ConnectingFn>(held, ConnectingStatus(status));
}

inline void on_volume(const char *address, int volume, void *held) noexcept
{
    call<VolumeFn>(held, view(address), volume);
}

inline void on_controllable(const char *address, bool controllable, void *held) noexcept
{
    call<ControllableFn>(held, view(address), controllable);
}

inline void on_earphones(int result, const char *address, int connected, void *held) noexcept
{
    call<EarphonesFn>(held, result, view(address), connected != 0);
}

inline void on_mute(bool muted, void *held) noexcept
{
    call<MuteFn>(held, muted);
}

/* The list stays the library's. */
inline void on_connected_speakers(GSList *list, void *held) noexcept
{
    call<ConnectedSpeakersFn>(held, speaker_list(list));
}

inline void on_service(bool present, void *held) noexcept
{
    call<ServiceFn>(held, present);
}

} // namespace detail
/** @endcond */

/** Holds one callback of a family: move-only; destroying it or reset()
 *  ends the callback (and unsets the C callback when it was the family's
 *  last).  Other subscriptions to the same family are independent of it.
 *  A default-constructed one holds nothing. */
class [[nodiscard]] Subscription {
  public:
    /** Holds nothing. */
    Subscription() noexcept = default;
    /** Takes over @p other's callback; @p other then holds nothing. */
    Subscription(Subscription &&other) noexcept : id_(std::exchange(other.id_, 0)) {}
    /** Ends this subscription's callback, then takes over @p other's. */
    Subscription &operator=(Subscription &&other) noexcept
    {
        if (this != &other) {
            reset();
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    Subscription(const Subscription &) = delete;
    Subscription &operator=(const Subscription &) = delete;
    /** Same as reset(). */
    ~Subscription() { reset(); }

    /** Ends the callback (halvo_api_disconnect()) and releases what it
     *  captured.  Returns once the callback is not running on another
     *  thread and will not start.  Safe from inside any callback, its own
     *  included: then what it captured goes when it returns. */
    void reset() noexcept
    {
        if (id_ != 0)
            detail::halvo_api_disconnect(std::exchange(id_, 0));
    }

    /** Whether this subscription holds a callback. */
    bool active() const noexcept { return id_ != 0; }

  private:
    /** @cond INTERNAL */
    template <class Fn, class Trampoline, class F>
    friend Result<Subscription> detail::subscribe(detail::Event event, Trampoline trampoline, F &&callback) noexcept;
    /** @endcond */

    explicit Subscription(unsigned long id) noexcept : id_(id) {}

    unsigned long id_ = 0;
};

/** @cond INTERNAL */
template <class Fn, class Trampoline, class F>
Result<Subscription> detail::subscribe(detail::Event event, Trampoline trampoline, F &&callback) noexcept
{
    auto *held = new (std::nothrow) detail::Callable<Fn>{detail::Function<Fn>(std::forward<F>(callback))};
    if (held == nullptr || !held->fn) {
        delete held;
        return detail::invalid();
    }
    unsigned long id = detail::halvo_cxx_connect(int(event), reinterpret_cast<void (*)()>(trampoline), held,
                                                 &detail::Callable<Fn>::drop);
    if (id == 0) {
        delete held;
        return detail::failed(int(Error::OperationFailed));
    }
    return Subscription(id);
}
/** @endcond */

/** Calls @p callback(const std::optional<Speaker> &) each time the service
 *  announces a speaker's information; empty when it announced none.
 *  @return the subscription (never waiting on the bus: the events come once it is there). */
template <class F>
Result<Subscription> on_speaker_info(F &&callback) noexcept
{
    return detail::subscribe<detail::SpeakerInfoFn>(detail::Event::SpeakerInfo, &detail::on_speaker_info,
                                                    std::forward<F>(callback));
}

/** Calls @p callback(std::vector<LastSpeaker>) with the list read afresh
 *  after each change of the stored last-speakers list.
 *  @return the subscription, or OperationFailed when the store refused the watch. */
template <class F>
Result<Subscription> on_last_speakers(F &&callback) noexcept
{
    return detail::subscribe<detail::LastSpeakersFn>(detail::Event::LastSpeakers, &detail::on_last_speakers,
                                                     std::forward<F>(callback));
}

/** Calls @p callback(ConnectingStatus) as the service reports the
 *  reconnection of the last speakers.
 *  @return the subscription (never waiting on the bus: the events come once it is there). */
template <class F>
Result<Subscription> on_connecting_status(F &&callback) noexcept
{
    return detail::subscribe<detail::ConnectingFn>(detail::Event::ConnectingStatus, &detail::on_connecting,
                                                   std::forward<F>(callback));
}

/** Calls @p callback(std::string_view address, int volume) each time the
 *  service announces a speaker's volume; the address is valid during the
 *  call only.
 *  @return the subscription (never waiting on the bus: the events come once it is there). */
template <class F>
Result<Subscription> on_volume(F &&callback) noexcept
{
    return detail::subscribe<detail::VolumeFn>(detail::Event::Volume, &detail::on_volume,
                                               std::forward<F>(callback));
}

/** Calls @p callback(std::string_view address, bool controllable) each
 *  time the service announces whether a speaker's volume can be
 *  controlled; the address is valid during the call only.
 *  @return the subscription (never waiting on the bus: the events come once it is there). */
template <class F>
Result<Subscription> on_volume_controllable(F &&callback) noexcept
{
    return detail::subscribe<detail::ControllableFn>(detail::Event::VolumeControllable, &detail::on_controllable,
                                                     std::forward<F>(callback));
}

/** Calls @p callback(int result, std::string_view address, bool connected)
 *  each time the service reports earphones' connection state; the address
 *  is valid during the call only.  Subscribing never waits on the bus: the
 *  events come once it is there.
 *  @return the subscription. */
template <class F>
Result<Subscription> on_earphones(F &&callback) noexcept
{
    return detail::subscribe<detail::EarphonesFn>(detail::Event::Earphones, &detail::on_earphones,
                                                  std::forward<F>(callback));
}

/** Calls @p callback(bool muted) each time the stored mute state changes.
 *  @return the subscription, or OperationFailed when the store cannot watch it. */
template <class F>
Result<Subscription> on_mute(F &&callback) noexcept
{
    return detail::subscribe<detail::MuteFn>(detail::Event::Mute, &detail::on_mute, std::forward<F>(callback));
}

/** Calls @p callback(std::vector<Speaker>) with the connected speakers
 *  each time their stored list changes (empty for none or an unusable
 *  document).
 *  @return the subscription, or OperationFailed when the store cannot watch it. */
template <class F>
Result<Subscription> on_connected_speakers(F &&callback) noexcept
{
    return detail::subscribe<detail::ConnectedSpeakersFn>(detail::Event::ConnectedSpeakers, &detail::on_connected_speakers,
                                                          std::forward<F>(callback));
}

/** Calls @p callback(bool present) each time the service's bus name
 *  gains or loses its owner (a restart is a loss, then a gain).  Refresh
 *  what the screen shows when it comes back; while it is absent, the
 *  stored lists may be stale.
 *  @return the subscription. */
template <class F>
Result<Subscription> on_service(F &&callback) noexcept
{
    return detail::subscribe<detail::ServiceFn>(detail::Event::Service, &detail::on_service,
                                                std::forward<F>(callback));
}

/** Whether the service is there, as last heard; answers at once. */
inline bool service_present() noexcept
{
    return detail::halvo_api_service_present();
}

} // inline namespace v1
} // namespace halvo

#endif /* HALVO_SUBSCRIPTION_HPP */
