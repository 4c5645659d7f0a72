/**
 * @file halvo/halvo.hpp
 * @brief C++17 API over libhalvo-api: values, results and scoped subscriptions.
 *
 * Header-only, over the public C functions of halvo-api.h.  Nothing here
 * throws (it builds with -fno-exceptions too) and the caller frees nothing:
 * records come back as values, lists as std::vector, and each callback is
 * held by a halvo::Subscription that unsets it when it goes.
 *
 * @code
 * auto devices = halvo::paired_devices();
 * if (!devices)
 *     fprintf(stderr, "%s\n", devices.message());
 * auto volume = halvo::on_volume([](std::string_view address, int level) { ... });
 * // ... iterate the main context; the callback ends with `volume`.
 * @endcode
 *
 * Threads and main contexts: every call runs on the caller's thread and
 * returns when done, as in C.  A callback runs in the thread-default GLib
 * main context of the thread that subscribed it (the last-speakers
 * callback: where the configuration store delivers, the same context); no
 * callback runs unless that context is iterated.  A callback may call the
 * library, and may reset or destroy its own subscription.  The
 * subscription bookkeeping is guarded by a mutex per family, so
 * subscriptions may be made and ended from any thread; after reset()
 * returns no new call of that callback starts, but one already running on
 * another thread finishes.
 *
 * One callback per family: the C library holds one, so a second
 * subscription to a family replaces the first, whose handle then becomes
 * inert (active() is false; destroying it unsets nothing).  Do not set the
 * same family through the C functions while a subscription exists.  The
 * bookkeeping lives in this header's inline variables: a program shares it
 * as long as its modules do not hide those symbols from one another.
 *
 * Memory: running out ends the program, as GLib's allocator does.  An
 * exception that a callback throws is caught and dropped at the C frame.
 */
#ifndef HALVO_HALVO_HPP
#define HALVO_HALVO_HPP

#include <halvo-api.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

/** The C++ API of libhalvo-api. */
namespace halvo {

/** A result code of the library (README "Result codes"). */
enum class Error : int {
    None = HALVO_ERROR_NONE,                             /**< success */
    NotInitialized = HALVO_ERROR_NOT_INITIALIZED,        /**< ended without a start */
    InvalidParameter = HALVO_ERROR_INVALID_PARAMETER,    /**< missing or out-of-range value, nothing subscribed */
    OperationFailed = HALVO_ERROR_OPERATION_FAILED,      /**< no bus, no or an error reply, unreadable store */
    InvalidSpeakerInfo = HALVO_ERROR_INVALID_SPEAKER_INFO, /**< a required speaker field is missing */
    AlreadyInitialized = HALVO_ERROR_ALREADY_INITIALIZED, /**< started twice */
    /** Any other integer: the service's own result, passed through (see Result::code()). */
    ServiceResult = INT_MIN,
};

/** The Error that the C result code @p code stands for.  The service's
 *  codes share the library's numbers, so its 3 reads as InvalidParameter. */
constexpr Error to_error(int code) noexcept
{
    switch (code) {
    case HALVO_ERROR_NONE:
    case HALVO_ERROR_NOT_INITIALIZED:
    case HALVO_ERROR_INVALID_PARAMETER:
    case HALVO_ERROR_OPERATION_FAILED:
    case HALVO_ERROR_INVALID_SPEAKER_INFO:
    case HALVO_ERROR_ALREADY_INITIALIZED:
        return Error(code);
    default:
        return Error::ServiceResult;
    }
}

/** @p error in words, e.g. for a message to the user.  Never NULL. */
constexpr const char *describe(Error error) noexcept
{
    switch (error) {
    case Error::None:
        return "success";
    case Error::NotInitialized:
        return "the library is not initialised";
    case Error::InvalidParameter:
        return "invalid parameter: a required value is missing or out of range, an empty list, or nothing "
               "subscribed";
    case Error::OperationFailed:
        return "operation failed: no bus, no reply or an error reply from the service, the store is unreadable, "
               "or its JSON is unusable";
    case Error::InvalidSpeakerInfo:
        return "a required speaker field is missing";
    case Error::AlreadyInitialized:
        return "the library is already initialised";
    case Error::ServiceResult:
        break;
    }
    return "a result of the service's own, passed through unchanged";
}

/** Why an operation gave no value. */
class Failure {
  public:
    /** A failure with C result @p code, described by describe(). */
    constexpr explicit Failure(int code) noexcept : Failure(code, describe(to_error(code))) {}
    /** A failure with C result @p code and @p message (a static string). */
    constexpr Failure(int code, const char *message) noexcept : code_(code), message_(message) {}
    /** The error the code stands for. */
    constexpr Error error() const noexcept { return to_error(code_); }
    /** The integer as the C function returned it (the service's own for ServiceResult). */
    constexpr int code() const noexcept { return code_; }
    /** What went wrong, in words.  Static: never freed. */
    constexpr const char *message() const noexcept { return message_; }

  private:
    int code_;
    const char *message_;
};

/** @cond INTERNAL */
namespace detail {
/* A Result's value.  A plain member where T has a default: behind an
 * unset std::optional GCC warns (maybe-uninitialized) at reads that ok()
 * guards. */
template <class T, bool Plain = std::is_default_constructible<T>::value>
struct Held {
    Held() noexcept = default;
    explicit Held(T v) noexcept : value(std::move(v)), set(true) {}
    bool has_value() const noexcept { return set; }
    T &operator*() noexcept { return value; }
    const T &operator*() const noexcept { return value; }
    T value{};
    bool set = false;
};
template <class T>
struct Held<T, false> {
    Held() noexcept = default;
    explicit Held(T v) noexcept : value(std::move(v)) {}
    bool has_value() const noexcept { return value.has_value(); }
    T &operator*() noexcept { return *value; }
    const T &operator*() const noexcept { return *value; }
    std::optional<T> value;
};
} // namespace detail
/** @endcond */

/** A value, or the Failure that prevented it.  Test it before reading the
 *  value: value() on a failure aborts the program. */
template <class T>
class [[nodiscard]] Result {
  public:
    /** Success with @p value. */
    Result(T value) noexcept : value_(std::move(value)) {}
    /** The failure @p failure. */
    Result(Failure failure) noexcept : failure_(failure) {}

    /** Whether there is a value. */
    bool ok() const noexcept { return value_.has_value(); }
    /** Same as ok(). */
    explicit operator bool() const noexcept { return ok(); }
    /** The value; aborts on a failure. */
    T &value() & noexcept { return checked(), *value_; }
    /** @copydoc value() */
    const T &value() const & noexcept { return checked(), *value_; }
    /** The value, moved out; aborts on a failure. */
    T &&value() && noexcept { return checked(), std::move(*value_); }
    /** The value. */
    T &operator*() & noexcept { return value(); }
    /** @copydoc operator*() */
    const T &operator*() const & noexcept { return value(); }
    /** A member of the value. */
    T *operator->() noexcept { return &value(); }
    /** @copydoc operator->() */
    const T *operator->() const noexcept { return &value(); }
    /** The value, or @p fallback on a failure. */
    template <class U>
    T value_or(U &&fallback) const & noexcept { return ok() ? *value_ : T(std::forward<U>(fallback)); }
    /** Error::None on success. */
    Error error() const noexcept { return ok() ? Error::None : failure_.error(); }
    /** The C result: 0 on success. */
    int code() const noexcept { return ok() ? 0 : failure_.code(); }
    /** "success", or what went wrong. */
    const char *message() const noexcept { return ok() ? describe(Error::None) : failure_.message(); }

  private:
    void checked() const noexcept
    {
        if (!value_.has_value())
            std::abort();
    }
    detail::Held<T> value_;
    Failure failure_{HALVO_ERROR_NONE};
};

/** A result without a value: success or a Failure. */
template <>
class [[nodiscard]] Result<void> {
  public:
    /** Success. */
    Result() noexcept = default;
    /** The failure @p failure. */
    Result(Failure failure) noexcept : failure_(failure) {}
    /** Whether it succeeded. */
    bool ok() const noexcept { return failure_.code() == HALVO_ERROR_NONE; }
    /** Same as ok(). */
    explicit operator bool() const noexcept { return ok(); }
    /** Error::None on success. */
    Error error() const noexcept { return failure_.error(); }
    /** The C result: 0 on success. */
    int code() const noexcept { return failure_.code(); }
    /** "success", or what went wrong. */
    const char *message() const noexcept { return failure_.message(); }

  private:
    Failure failure_{HALVO_ERROR_NONE};
};

/* ------------------------------------------------------------------ */
/* Values                                                              */
/* ------------------------------------------------------------------ */

/** One paired device, or an entry of the don't-use list (then only
 *  address and name are set). */
struct Device {
    std::optional<std::string> address;       /**< "address" */
    std::optional<std::string> name;          /**< "name" */
    bool dont_use = false;                    /**< marked as not to be used */
    bool connected = false;                   /**< "connect" */
    std::optional<int> profile;               /**< "profile" */
    int device_type = 0;                      /**< the service's device-type code; 0 unknown */
    std::optional<std::string> service_name;  /**< "serviceName" */
    std::optional<std::string> provider_name; /**< "providerName" */
    std::optional<int> vid;                   /**< "vid" */
    std::optional<int> pid;                   /**< "pid" */
};

/** One connected speaker. */
struct Speaker {
    std::optional<std::string> vsid;      /**< compact JSON text of the "vsid" string array */
    std::optional<std::string> address;   /**< "address" */
    std::optional<std::string> name;      /**< "name" */
    std::optional<std::string> icon_type; /**< two-character icon-type code */
    std::optional<int> audio_type;        /**< the stored "audioType" minus one */
};

/** A speaker's information as sent to the service. */
struct SpeakerInfo {
    std::string address;   /**< required */
    std::string name;      /**< required */
    std::string icon_type; /**< required */
    int audio_type = 0;    /**< zero-based; sent plus one */
};

/** One last-used speaker. */
struct LastSpeaker {
    bool connected = false;               /**< stored as connected and listed as connected now */
    std::optional<std::string> address;   /**< "address" */
    std::optional<std::string> name;      /**< "name" */
    std::optional<std::string> icon_type; /**< "iconType" */
    std::optional<int> audio_type;        /**< the stored "audioType" minus one */
};

/** One device whose information is synchronised with the television. */
struct InfoSyncDevice {
    std::optional<std::string> address; /**< "address" */
    std::optional<std::string> name;    /**< "name" */
};

/** One device whose pairing is blocked. */
struct BlockedDevice {
    std::optional<std::string> address; /**< its address */
    std::optional<std::string> name;    /**< its name */
};

/** Manufacturer data from the service. */
struct ManufacturerData {
    std::optional<int> option;        /**< the service's option value (read_manufacturer_data() only) */
    std::vector<std::uint8_t> bytes;  /**< the bytes, as many as the service reported */
};

/** The service's answer to a free-form command. */
struct CommandReply {
    Result<void> status;                 /**< success, the service's own result, or why no answer came */
    std::optional<std::string> response; /**< its response text, when one came */
};

/** What the connecting-status callback reports. */
enum class ConnectingStatus : int {
    InProgress = 1, /**< the service reports "InProgress" */
    Ended = 2,      /**< any other report */
};

class Subscription;

/** @cond INTERNAL */
namespace detail {

struct Slot;
template <class Fn, class Set, class Trampoline, class F>
Result<Subscription> subscribe(Slot &slot, Set set, Trampoline trampoline, F &&callback) noexcept;

constexpr const char *kUnconfirmed =
    "the service did not confirm it (no reply, an error reply, or an answer other than 1)";

inline std::optional<std::string> text(const char *s)
{
    return s ? std::optional<std::string>(s) : std::nullopt;
}

inline std::optional<int> unless(int v, int absent)
{
    return v == absent ? std::nullopt : std::optional<int>(v);
}

/* Records hold -2 (0xFFFFFFFE) when "audioType" is missing. */
inline std::optional<int> audio(bt_spk_audio_type_e t)
{
    return unless(int(t), -2);
}

inline std::string_view view(const char *s) noexcept
{
    return s ? std::string_view(s) : std::string_view();
}

inline Result<void> status(int rc) noexcept
{
    return rc == HALVO_ERROR_NONE ? Result<void>() : Result<void>(Failure(rc));
}

inline Result<void> confirmed(bool ok) noexcept
{
    return ok ? Result<void>() : Result<void>(Failure(HALVO_ERROR_OPERATION_FAILED, kUnconfirmed));
}

inline Failure invalid() noexcept
{
    return Failure(HALVO_ERROR_INVALID_PARAMETER);
}

/* A NUL-terminated copy of a view for the C functions; short texts stay
 * on the stack.  False when the view holds a NUL, which C would cut at. */
class CText {
  public:
    explicit CText(std::string_view s) noexcept : ok_(s.find('\0') == std::string_view::npos)
    {
        if (s.size() < sizeof small_) {
            s.copy(small_, s.size());
            small_[s.size()] = '\0';
            p_ = small_;
        } else {
            large_.assign(s);
            p_ = large_.c_str();
        }
    }
    CText(const CText &) = delete;
    CText &operator=(const CText &) = delete;
    explicit operator bool() const noexcept { return ok_; }
    const char *get() const noexcept { return p_; }

  private:
    bool ok_;
    char small_[64];
    std::string large_;
    const char *p_;
};

/* Frees a GSList of records with its C free function on every path. */
template <class Record>
class List {
  public:
    explicit List(int (*release)(GSList **) noexcept) noexcept : release_(release) {}
    ~List()
    {
        if (head)
            release_(&head);
    }
    List(const List &) = delete;
    List &operator=(const List &) = delete;
    template <class Value, class Convert>
    std::vector<Value> convert(Convert to_value) const
    {
        std::vector<Value> out;
        out.reserve(g_slist_length(head));
        for (GSList *l = head; l; l = l->next)
            if (l->data)
                out.push_back(to_value(*static_cast<const Record *>(l->data)));
        return out;
    }
    GSList *head = nullptr;

  private:
    int (*release_)(GSList **) noexcept;
};

inline int free_devices(GSList **list) noexcept
{
    return halvo_free_paired_dev_info_list(*list);
}

inline Device device(const halvo_device_info_s &d)
{
    return {text(d.address), text(d.name), d.usedontuse, d.connected, unless(d.profile, -1), d.device_type,
            text(d.service_name), text(d.provider_name), unless(d.vid, -1), unless(d.pid, -1)};
}

inline Speaker speaker(const speaker_t &s)
{
    return {text(s.vsid), text(s.address), text(s.name), text(s.icon_type), audio(s.audio_type)};
}

inline LastSpeaker last_speaker(const last_spk_info_t &s)
{
    return {s.connected, text(s.address), text(s.name), text(s.icon_type), audio(s.audio_type)};
}

inline InfoSyncDevice info_sync_device(const info_sync_device_t &d)
{
    return {text(d.address), text(d.name)};
}

/* Bytes the library handed out with g_malloc. */
inline std::vector<std::uint8_t> take_bytes(char *data, int length)
{
    std::vector<std::uint8_t> out;
    if (data && length > 0)
        out.assign(data, data + length);
    g_free(data);
    return out;
}

/* Calls a user callback; an exception stops at this C frame. */
template <class F>
void guarded(F &&f) noexcept
{
#if defined(__cpp_exceptions) || defined(__EXCEPTIONS)
    try {
        f();
    } catch (...) {
    }
#else
    f();
#endif
}

/* A family's subscriber.  `registration` orders the C set and unset
 * calls; `mutex` guards `current`, which a delivery copies out and calls
 * with no lock held. */
struct Slot {
    constexpr explicit Slot(int (*unset_fn)() noexcept) noexcept : unset(unset_fn) {}
    std::mutex registration;
    std::mutex mutex;
    std::shared_ptr<void> current;
    int (*const unset)() noexcept;

    template <class Fn>
    std::shared_ptr<std::function<Fn>> take() noexcept
    {
        std::lock_guard<std::mutex> lock(mutex);
        return std::static_pointer_cast<std::function<Fn>>(current);
    }
};

inline Slot speaker_info_slot{&halvo_unregister_bt_spaeker_info_changed_cb};
inline Slot last_speakers_slot{&halvo_unset_last_bluetooth_speakers_changed_cb};
inline Slot connecting_slot{&halvo_unset_last_bluetooth_speakers_connecting_status_changed_cb};
inline Slot volume_slot{&halvo_api_unset_volume_changed_callback};
inline Slot controllable_slot{&halvo_api_unset_volume_controlable_changed_callback};
inline Slot earphones_slot{&halvo_tuvo_switching_unset_connection_state_cb};

using SpeakerInfoFn = void(const std::optional<Speaker> &);
using LastSpeakersFn = void(std::vector<LastSpeaker>);
using ConnectingFn = void(ConnectingStatus);
using VolumeFn = void(std::string_view, int);
using ControllableFn = void(std::string_view, bool);
using EarphonesFn = void(int, std::string_view, bool);

inline void on_speaker_info(speaker_t *s, void *) noexcept
{
    if (auto fn = speaker_info_slot.take<SpeakerInfoFn>())
        guarded([&] { (*fn)(s ? std::optional<Speaker>(speaker(*s)) : std::nullopt); });
}

inline void on_last_speakers(GSList *list, void *) noexcept
{
    List<last_spk_info_t> owned(&halvo_free_last_bluetooth_speakers);
    owned.head = list;
    if (auto fn = last_speakers_slot.take<LastSpeakersFn>())
        guarded([&] { (*fn)(owned.convert<LastSpeaker>(last_speaker)); });
}

inline void on_connecting(int status, void *) noexcept
{
    if (auto fn = connecting_slot.take<ConnectingFn>())
        guarded([&] { (*fn)(ConnectingStatus(status)); });
}

inline void on_volume(const char *address, int volume, void *) noexcept
{
    if (auto fn = volume_slot.take<VolumeFn>())
        guarded([&] { (*fn)(view(address), volume); });
}

inline void on_controllable(const char *address, bool controllable, void *) noexcept
{
    if (auto fn = controllable_slot.take<ControllableFn>())
        guarded([&] { (*fn)(view(address), controllable); });
}

inline void on_earphones(int result, const char *address, int connected, void *) noexcept
{
    if (auto fn = earphones_slot.take<EarphonesFn>())
        guarded([&] { (*fn)(result, view(address), connected != 0); });
}

} // namespace detail
/** @endcond */

/* ------------------------------------------------------------------ */
/* Subscriptions                                                       */
/* ------------------------------------------------------------------ */

/** Holds one callback of a family: move-only; destroying it or reset()
 *  unsets the callback.  A later subscription to the same family makes
 *  this one inert.  A default-constructed one holds nothing. */
class [[nodiscard]] Subscription {
  public:
    /** Holds nothing. */
    Subscription() noexcept = default;
    /** Takes over @p other's callback; @p other then holds nothing. */
    Subscription(Subscription &&other) noexcept
        : slot_(std::exchange(other.slot_, nullptr)), state_(std::move(other.state_))
    {
    }
    /** Ends this subscription's callback, then takes over @p other's. */
    Subscription &operator=(Subscription &&other) noexcept
    {
        if (this != &other) {
            reset();
            slot_ = std::exchange(other.slot_, nullptr);
            state_ = std::move(other.state_);
        }
        return *this;
    }
    Subscription(const Subscription &) = delete;
    Subscription &operator=(const Subscription &) = delete;
    /** Same as reset(). */
    ~Subscription() { reset(); }

    /** Unsets the callback, unless another subscription replaced it, and
     *  releases what it captured.  Safe from inside the callback itself. */
    void reset() noexcept
    {
        if (!slot_)
            return;
        {
            std::lock_guard<std::mutex> registration(slot_->registration);
            std::lock_guard<std::mutex> lock(slot_->mutex);
            if (slot_->current == state_) {
                slot_->current.reset();
                slot_->unset();
            }
        }
        /* The captured state goes with no lock held: its destructors may
         * call the library. */
        state_.reset();
        slot_ = nullptr;
    }

    /** Whether this subscription's callback is the one its family calls. */
    bool active() const noexcept
    {
        if (!slot_)
            return false;
        std::lock_guard<std::mutex> lock(slot_->mutex);
        return slot_->current == state_;
    }

  private:
    /** @cond INTERNAL */
    template <class Fn, class Set, class Trampoline, class F>
    friend Result<Subscription> detail::subscribe(detail::Slot &slot, Set set, Trampoline trampoline,
                                                  F &&callback) noexcept;
    /** @endcond */

    Subscription(detail::Slot *slot, std::shared_ptr<void> state) noexcept : slot_(slot), state_(std::move(state)) {}

    detail::Slot *slot_ = nullptr;
    std::shared_ptr<void> state_;
};

/** @cond INTERNAL */
template <class Fn, class Set, class Trampoline, class F>
Result<Subscription> detail::subscribe(detail::Slot &slot, Set set, Trampoline trampoline, F &&callback) noexcept
{
    auto state = std::make_shared<std::function<Fn>>(std::forward<F>(callback));
    if (!*state)
        return detail::invalid();
    std::shared_ptr<void> replaced; /* dropped after the locks */
    {
        std::lock_guard<std::mutex> registration(slot.registration);
        int rc = set(trampoline, nullptr);
        if (rc != HALVO_ERROR_NONE)
            return Failure(rc);
        std::lock_guard<std::mutex> lock(slot.mutex);
        replaced = std::exchange(slot.current, state);
    }
    return Subscription(&slot, std::move(state));
}
/** @endcond */

/** Calls @p callback(const std::optional<Speaker> &) each time the service
 *  announces a speaker's information; empty when it announced none.
 *  @return the subscription, or the C set's failure (OperationFailed: no bus). */
template <class F>
Result<Subscription> on_speaker_info(F &&callback) noexcept
{
    return detail::subscribe<detail::SpeakerInfoFn>(detail::speaker_info_slot, &halvo_register_bt_spaeker_info_changed_cb,
                                            &detail::on_speaker_info, std::forward<F>(callback));
}

/** Calls @p callback(std::vector<LastSpeaker>) with the list read afresh
 *  after each change of the stored last-speakers list.
 *  @return the subscription, or OperationFailed when the store refused the watch. */
template <class F>
Result<Subscription> on_last_speakers(F &&callback) noexcept
{
    return detail::subscribe<detail::LastSpeakersFn>(detail::last_speakers_slot,
                                             &halvo_set_last_bluetooth_speakers_changed_cb,
                                             &detail::on_last_speakers, std::forward<F>(callback));
}

/** Calls @p callback(ConnectingStatus) as the service reports the
 *  reconnection of the last speakers.
 *  @return the subscription, or OperationFailed (no bus). */
template <class F>
Result<Subscription> on_connecting_status(F &&callback) noexcept
{
    return detail::subscribe<detail::ConnectingFn>(detail::connecting_slot,
                                           &halvo_set_last_bluetooth_speakers_connecting_status_changed_cb,
                                           &detail::on_connecting, std::forward<F>(callback));
}

/** Calls @p callback(std::string_view address, int volume) each time the
 *  service announces a speaker's volume; the address is valid during the
 *  call only.
 *  @return the subscription, or OperationFailed (no bus). */
template <class F>
Result<Subscription> on_volume(F &&callback) noexcept
{
    return detail::subscribe<detail::VolumeFn>(detail::volume_slot, &halvo_api_set_volume_changed_callback,
                                       &detail::on_volume, std::forward<F>(callback));
}

/** Calls @p callback(std::string_view address, bool controllable) each
 *  time the service announces whether a speaker's volume can be
 *  controlled; the address is valid during the call only.
 *  @return the subscription, or OperationFailed (no bus). */
template <class F>
Result<Subscription> on_volume_controllable(F &&callback) noexcept
{
    return detail::subscribe<detail::ControllableFn>(detail::controllable_slot,
                                             &halvo_api_set_volume_controlable_changed_callback,
                                             &detail::on_controllable, std::forward<F>(callback));
}

/** Calls @p callback(int result, std::string_view address, bool connected)
 *  each time the service reports earphones' connection state; the address
 *  is valid during the call only.  When the bus cannot be reached the
 *  subscription still succeeds and nothing arrives.
 *  @return the subscription. */
template <class F>
Result<Subscription> on_earphones(F &&callback) noexcept
{
    return detail::subscribe<detail::EarphonesFn>(detail::earphones_slot, &halvo_tuvo_switching_set_connection_state_cb,
                                          &detail::on_earphones, std::forward<F>(callback));
}

/* ------------------------------------------------------------------ */
/* Lifecycle and the firmware-update result                           */
/* ------------------------------------------------------------------ */

/** Keeps the library initialised (the firmware-update result subscribed)
 *  while alive; move-only. */
class [[nodiscard]] Session {
  public:
    /** Initialises the library in the calling thread's main context.
     *  @return the session, or AlreadyInitialized. */
    static Result<Session> start() noexcept
    {
        int rc = halvo_initialize();
        if (rc != HALVO_ERROR_NONE)
            return Failure(rc);
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
            halvo_deinitialzie();
    }

  private:
    explicit Session(bool live) noexcept : live_(live) {}
    bool live_ = false;
};

/** The outcome of the last remote-control firmware update once its result
 *  signal came (true: "OK"), empty before; needs a Session.  Read without
 *  a lock, as the C globals are. */
inline std::optional<bool> firmware_result() noexcept
{
    return g_is_zemo_update_done ? std::optional<bool>(g_zemo_update_result == 1) : std::nullopt;
}

/** Forgets the last firmware result, e.g. before starting an update. */
inline void clear_firmware_result() noexcept
{
    g_is_zemo_update_done = false;
}

/** Asks the update manager to update the remote control's firmware,
 *  waiting up to 60 s for it to accept; the outcome comes later
 *  (firmware_result()).
 *  @return success when it accepted; OperationFailed otherwise. */
inline Result<void> update_remote_firmware() noexcept
{
    std::string_view answer = detail::view(halvo_update_zemo_fw());
    return answer == "OK" ? Result<void>()
                          : Result<void>(Failure(HALVO_ERROR_OPERATION_FAILED,
                                                 "the update manager did not accept the update"));
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
    halvo_device_info_s *d = nullptr;
    int rc = halvo_get_paired_dev_info(a.get(), &d);
    std::unique_ptr<halvo_device_info_s, int (*)(halvo_device_info_s *) noexcept> owned(
        d, &halvo_free_paired_dev_info);
    if (rc != HALVO_ERROR_NONE)
        return Failure(rc);
    if (!d)
        return Failure(HALVO_ERROR_OPERATION_FAILED);
    return detail::device(*d);
}

/** Every paired device, in the service's order. */
inline Result<std::vector<Device>> paired_devices() noexcept
{
    detail::List<halvo_device_info_s> list(&detail::free_devices);
    int rc = halvo_get_paired_dev_info_list(&list.head);
    if (rc != HALVO_ERROR_NONE)
        return Failure(rc);
    return list.convert<Device>(detail::device);
}

/** The service's device-type code of @p address. */
inline Result<int> device_type(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    int type = 0;
    int rc = halvo_get_device_type(a.get(), &type);
    return rc == HALVO_ERROR_NONE ? Result<int>(type) : Result<int>(Failure(rc));
}

/** Marks @p address (shown as @p name) as not to be used, or as usable.
 *  @return success only when the service confirmed it. */
inline Result<void> set_dont_use(std::string_view address, std::string_view name, bool dont_use) noexcept
{
    detail::CText a(address), n(name);
    if (!a || !n)
        return detail::invalid();
    return detail::confirmed(halvo_set_use_dontuse_status(n.get(), a.get(), dont_use));
}

/** The service's mark value of @p address (its meaning is the service's). */
inline Result<int> dont_use_status(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    int status = halvo_get_use_dontuse_status(a.get());
    if (status == -1)
        return Failure(HALVO_ERROR_OPERATION_FAILED, "no reply or an error reply from the service");
    return status;
}

/** Makes the service forget the mark of @p address.
 *  @return success only when the service confirmed it. */
inline Result<void> remove_dont_use_status(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::confirmed(halvo_remove_use_dontuse_status(a.get()));
}

/** The devices marked as not to be used (address and name only). */
inline Result<std::vector<Device>> dont_use_devices() noexcept
{
    detail::List<halvo_device_info_s> list(&detail::free_devices);
    if (!halvo_get_dontuse_device_list(&list.head))
        return Failure(HALVO_ERROR_OPERATION_FAILED, detail::kUnconfirmed);
    return list.convert<Device>(detail::device);
}

/* ------------------------------------------------------------------ */
/* Manufacturer data, custom commands, test mode                       */
/* ------------------------------------------------------------------ */

/** Has the service parse @p bytes (at least one). */
inline Result<ManufacturerData> parse_manufacturer_data(int link_type, const std::vector<std::uint8_t> &bytes,
                                                        int option) noexcept
{
    if (bytes.empty() || bytes.size() > size_t(INT_MAX))
        return detail::invalid();
    char *data = nullptr;
    int length = 0;
    int rc = halvo_parse_manufacturer_data(link_type, reinterpret_cast<const char *>(bytes.data()),
                                           int(bytes.size()), option, &data, &length);
    auto out = detail::take_bytes(data, length);
    if (rc != HALVO_ERROR_NONE)
        return Failure(rc);
    return ManufacturerData{std::nullopt, std::move(out)};
}

/** Item @p option of the manufacturer data the service holds for @p address. */
inline Result<ManufacturerData> read_specific_manufacturer_data(std::string_view address, int option) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    char *data = nullptr;
    int length = 0;
    int rc = halvo_read_specific_manufacturer_data(a.get(), option, &data, &length);
    auto out = detail::take_bytes(data, length);
    if (rc != HALVO_ERROR_NONE)
        return Failure(rc);
    return ManufacturerData{std::nullopt, std::move(out)};
}

/** The manufacturer data the service holds for @p address, with its option value. */
inline Result<ManufacturerData> read_manufacturer_data(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    char *data = nullptr;
    int length = 0, option = 0;
    int rc = halvo_read_manufacturer_data(a.get(), &option, &data, &length);
    auto out = detail::take_bytes(data, length);
    if (rc != HALVO_ERROR_NONE)
        return Failure(rc);
    return ManufacturerData{option, std::move(out)};
}

/** Writes @p bytes (at least one) as manufacturer data to @p address. */
inline Result<void> write_manufacturer_data(std::string_view address, int link_type,
                                            const std::vector<std::uint8_t> &bytes) noexcept
{
    detail::CText a(address);
    if (!a || bytes.empty() || bytes.size() > size_t(INT_MAX))
        return detail::invalid();
    return detail::status(halvo_write_manufacturer_data(a.get(), link_type,
                                                        reinterpret_cast<const char *>(bytes.data()),
                                                        int(bytes.size())));
}

/** Sends the free-form text @p command to the service. */
inline CommandReply send_custom_command(std::string_view command) noexcept
{
    detail::CText c(command);
    if (!c)
        return {detail::invalid(), std::nullopt};
    char *response = nullptr;
    int rc = halvo_send_custom_command(c.get(), &response);
    CommandReply reply{detail::status(rc), detail::text(response)};
    g_free(response);
    return reply;
}

/** Puts the controller into device-under-test mode. */
inline Result<void> enter_dut_mode() noexcept
{
    return detail::confirmed(halvo_enter_bt_dut_mode());
}

/** Enters device-under-test mode with test parameters. */
inline Result<void> enter_dut_mode(std::string_view side, std::string_view mode, int channel, int power) noexcept
{
    detail::CText s(side), m(mode);
    if (!s || !m)
        return detail::invalid();
    return detail::confirmed(halvo_enter_bt_dut_mode_new(s.get(), m.get(), channel, power));
}

/** Leaves device-under-test mode. */
inline Result<void> stop_dut_mode() noexcept
{
    return detail::confirmed(halvo_stop_bt_dut_mode_new());
}

/* ------------------------------------------------------------------ */
/* Speakers                                                            */
/* ------------------------------------------------------------------ */

/** The connected speakers the service publishes in the store. */
inline Result<std::vector<Speaker>> connected_speakers() noexcept
{
    detail::List<speaker_t> list(&halvo_free_connected_bt_spaekr_infos);
    int rc = halvo_get_connected_bt_speaker_infos(&list.head);
    if (rc != HALVO_ERROR_NONE)
        return Failure(rc);
    return list.convert<Speaker>(detail::speaker);
}

/** Sends one speaker's information to the service, under the identifier @p vsid. */
inline Result<void> set_connected_speaker_info(std::string_view vsid, const SpeakerInfo &info) noexcept
{
    detail::CText v(vsid), a(info.address), n(info.name), i(info.icon_type);
    if (!v || !a || !n || !i)
        return detail::invalid();
    bt_spk_info_t c{const_cast<char *>(a.get()), const_cast<char *>(n.get()), const_cast<char *>(i.get()),
                    bt_spk_audio_type_e(info.audio_type)};
    return detail::status(halvo_set_connected_bt_speaker_info(v.get(), &c));
}

/** Sends the JSON text @p json as a speaker's information, unchanged. */
inline Result<void> set_connected_speaker_info_json(std::string_view json) noexcept
{
    detail::CText j(json);
    if (!j)
        return detail::invalid();
    return detail::status(halvo_set_connected_bt_speaker_info_with_serialization(j.get()));
}

/** The last-used speakers, in stored order, each with its connected flag. */
inline Result<std::vector<LastSpeaker>> last_speakers() noexcept
{
    detail::List<last_spk_info_t> list(&halvo_free_last_bluetooth_speakers);
    int rc = halvo_get_last_bluetooth_speakers(&list.head);
    if (rc != HALVO_ERROR_NONE)
        return Failure(rc);
    return list.convert<LastSpeaker>(detail::last_speaker);
}

/** Asks the service to connect the last-used speakers again; progress
 *  comes through on_connecting_status(). */
inline Result<void> connect_last_speakers(bool show_connecting_ui) noexcept
{
    return detail::status(halvo_connect_to_last_bluetooth_speakers(show_connecting_ui));
}

/** Asks the service to disconnect the last-used speakers. */
inline Result<void> disconnect_last_speakers() noexcept
{
    return detail::status(halvo_disconnect_to_last_bluetooth_speakers());
}

/** The volume of speaker @p address. */
inline Result<int> volume(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    int v = 0;
    int rc = halvo_api_get_volume(a.get(), &v);
    return rc == HALVO_ERROR_NONE ? Result<int>(v) : Result<int>(Failure(rc));
}

/** Sets the volume of speaker @p address (range and meaning: the service's). */
inline Result<void> set_volume(std::string_view address, int volume) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::status(halvo_api_set_volume(a.get(), volume));
}

/** Whether the volume of speaker @p address can be controlled. */
inline Result<bool> volume_controllable(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    bool v = false;
    int rc = halvo_api_get_volume_controlable(a.get(), &v);
    return rc == HALVO_ERROR_NONE ? Result<bool>(v) : Result<bool>(Failure(rc));
}

/** How many speakers the service counts as connected. */
inline Result<int> connected_speaker_count() noexcept
{
    int n = 0;
    int rc = halvo_api_get_num_of_connected_spaker(&n);
    return rc == HALVO_ERROR_NONE ? Result<int>(n) : Result<int>(Failure(rc));
}

/** Steps the volume of the speakers in use up. */
inline Result<void> volume_up() noexcept
{
    return detail::status(halvo_api_volume_up());
}

/** Steps the volume of the speakers in use down. */
inline Result<void> volume_down() noexcept
{
    return detail::status(halvo_api_volume_down());
}

/** Toggles the speakers' mute. */
inline Result<void> toggle_mute() noexcept
{
    return detail::status(halvo_api_mute_unmute());
}

/** The stored mute flag. */
inline Result<bool> muted() noexcept
{
    bool m = false;
    int rc = halvo_api_get_mute_state(&m);
    return rc == HALVO_ERROR_NONE ? Result<bool>(m) : Result<bool>(Failure(rc));
}

/** @cond INTERNAL */
namespace detail {
inline Result<std::string> icon(int (*lookup)(const char *, char **) noexcept, std::string_view code) noexcept
{
    CText c(code);
    if (!c)
        return invalid();
    char *path = nullptr;
    int rc = lookup(c.get(), &path);
    std::optional<std::string> out = text(path);
    free(path);
    if (rc != HALVO_ERROR_NONE)
        return Failure(rc);
    return out ? Result<std::string>(std::move(*out)) : Result<std::string>(Failure(HALVO_ERROR_OPERATION_FAILED));
}
} // namespace detail
/** @endcond */

/** The icon file of speaker icon-type code @p code: the service's answer,
 *  else the library's own table. */
inline Result<std::string> speaker_icon_path(std::string_view code) noexcept
{
    return detail::icon(&halvo_api_get_last_bluetooth_speaker_icon_path, code);
}

/** The icon file of @p code from the library's own table only. */
inline Result<std::string> library_icon_path(std::string_view code) noexcept
{
    return detail::icon(&halvo_api_get_common_icon_path_internal, code);
}

/** Asks the service to use speaker @p address instead of the current one. */
inline Result<void> replace_current_speaker(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::status(halvo_api_replace_current_speaker(a.get()));
}

/* ------------------------------------------------------------------ */
/* Stored device lists and earphones                                   */
/* ------------------------------------------------------------------ */

/** The info-sync devices not deleted on the television, in stored order. */
inline Result<std::vector<InfoSyncDevice>> info_sync_devices() noexcept
{
    detail::List<info_sync_device_t> list(&halvo_free_info_sync_devices);
    int rc = halvo_get_info_sync_devices(&list.head);
    if (rc != HALVO_ERROR_NONE)
        return Failure(rc);
    return list.convert<InfoSyncDevice>(detail::info_sync_device);
}

/** Marks the info-sync device stored under @p key as deleted on the television. */
inline Result<void> remove_info_sync_device(std::string_view key) noexcept
{
    detail::CText k(key);
    if (!k)
        return detail::invalid();
    return detail::status(halvo_remove_info_sync_device(k.get()));
}

/** The devices whose pairing is blocked, in stored order. */
inline Result<std::vector<BlockedDevice>> blocked_devices() noexcept
{
    std::vector<BlockedDevice> out;
    int rc = halvo_foreach_blocked_devices(
        [](const char *address, char *name, void *user_data) noexcept {
            static_cast<std::vector<BlockedDevice> *>(user_data)->push_back(
                {detail::text(address), detail::text(name)});
            return true;
        },
        &out);
    if (rc != HALVO_ERROR_NONE)
        return Failure(rc);
    return out;
}

/** Takes @p address off the pairing-blocked list. */
inline Result<void> unblock_device(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::status(halvo_remove_pairing_blocked_devices(a.get()));
}

/** Asks the service to switch earphones @p address to the television; the
 *  new state comes through on_earphones(). */
inline Result<void> connect_earphones(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::status(halvo_tuvo_switching_connect(a.get()));
}

/** Asks the service to switch earphones @p address away from the television. */
inline Result<void> disconnect_earphones(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::status(halvo_tuvo_switching_disconnect(a.get()));
}

} // namespace halvo

#endif /* HALVO_HALVO_HPP */
