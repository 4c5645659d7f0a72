/**
 * @file halvo/halvo.hpp
 * @brief C++17 API over libhalvo-api: values, results, scoped subscriptions and calls.
 *
 * Header-only, over the public C functions of halvo-api.h.  Nothing here
 * throws (it builds with -fno-exceptions too) and the caller frees nothing:
 * records come back as values, lists as std::vector, each callback is held
 * by a halvo::Subscription that ends it when it goes, and each
 * non-blocking call (halvo::async) by a halvo::Call that cancels it when
 * it goes.
 *
 * <!-- fragment -->
 * @code
 * auto devices = halvo::paired_devices();
 * if (!devices)
 *     fprintf(stderr, "%s\n", devices.message());
 * auto following = halvo::on_volume([](std::string_view address, int level) { printf("%d\n", level); });
 * refresh_ = halvo::async::volume(address, [this](halvo::Result<int> level) { show(level); });
 * // ... iterate the main context; the callback ends with `following`, the call with `refresh_`.
 * @endcode
 *
 * Threads and main contexts: every blocking call runs on the caller's
 * thread and returns when done, as in C.  A callback runs in the
 * thread-default GLib main context of the thread that subscribed it (the
 * store's families: where the store delivers, the same context), and a
 * non-blocking call's callable in that of the thread that started it; no
 * callback runs unless that context is iterated.  A callback may call the
 * library, and may reset or destroy any subscription, its own included.
 * Which threads may call the library at once is the C library's rule
 * (halvo-api.h); this layer adds none.  After reset() or cancel()
 * returns, that callback or callable is not running on another thread and
 * will not start (one running on this thread, the caller's own, finishes).
 *
 * Several subscriptions per family: each gets every event (a volume pop-up
 * and a settings page both follow the volume).  Each subscription is a
 * listener of the C library (halvo_api_connect()), served in its own
 * context, so a thread that stops iterating starves only its own
 * subscriptions; C listeners and single-slot C callbacks of the same
 * family mix freely with them.  The bookkeeping lives inside the library,
 * one per process, whatever the visibility of the modules that use this
 * header; a Subscription or Call destroyed at exit, or after
 * halvo_deinitialzie(), is harmless.  The layer's types live in an inline
 * namespace (halvo::v1), so that a module built against another layout
 * fails to link with this one.
 *
 * A Result<bool> (muted(), volume_controllable()) has no test that would
 * read like its value: say ok() or has_value(), then value() or *.
 * Callables may be move-only.
 *
 * Failures: a Result that holds no value says why in three ways: code()
 * and error(), the C result as before; failure(), the kind the library
 * noted (halvo_api_last_failure(), read right after the C call); and
 * message(), words built from the kind, e.g. "the service answered 3" for
 * a result of the service's own, which error() would read as one of the
 * library's codes.
 *
 * Memory: running out ends the program, as GLib's allocator does.  An
 * exception that a callback throws is caught and dropped at the C frame.
 */
#ifndef HALVO_HALVO_HPP
#define HALVO_HALVO_HPP

#include <halvo-api.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

/** The C++ API of libhalvo-api. */
namespace halvo {
/** The layer's layout version: a change of layout is a new inline
 *  namespace, so that modules built against different layouts fail to
 *  link instead of sharing objects they disagree on. */
inline namespace v1 {

/** A result code of the library (README "Result codes"). */
enum class Error : int {
    None = HALVO_ERROR_NONE,                             /**< success */
    NotInitialized = HALVO_ERROR_NOT_INITIALIZED,        /**< ended without a start */
    InvalidParameter = HALVO_ERROR_INVALID_PARAMETER,    /**< missing or out-of-range value, nothing subscribed */
    OperationFailed = HALVO_ERROR_OPERATION_FAILED,      /**< no bus, no or an error reply, unreadable store */
    InvalidSpeakerInfo = HALVO_ERROR_INVALID_SPEAKER_INFO, /**< a required speaker field is missing */
    AlreadyInitialized = HALVO_ERROR_ALREADY_INITIALIZED, /**< started twice */
    Cancelled = HALVO_ERROR_CANCELLED,                   /**< cancelled before it ended */
    /** Any other integer: the service's own result, passed through (see Result::code()). */
    ServiceResult = INT_MIN,
};

/** The Error that the C result code @p code stands for.  The service's
 *  codes share the library's numbers, so its 3 reads as InvalidParameter:
 *  Result::failure() tells them apart. */
constexpr Error to_error(int code) noexcept
{
    switch (code) {
    case HALVO_ERROR_NONE:
    case HALVO_ERROR_NOT_INITIALIZED:
    case HALVO_ERROR_INVALID_PARAMETER:
    case HALVO_ERROR_OPERATION_FAILED:
    case HALVO_ERROR_INVALID_SPEAKER_INFO:
    case HALVO_ERROR_ALREADY_INITIALIZED:
    case HALVO_ERROR_CANCELLED:
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
    case Error::Cancelled:
        return "cancelled";
    case Error::ServiceResult:
        break;
    }
    return "a result of the service's own, passed through unchanged";
}

/** The failure kind @p failure in a sentence; a kind this header does not
 *  know by its C name (halvo_api_failure_name()).  Never NULL.  The
 *  service's own answer has a sentence with its number: Failure::message(). */
inline const char *describe(halvo_failure_e failure) noexcept
{
    switch (failure) {
    case HALVO_FAILURE_NONE:
        return "success";
    case HALVO_FAILURE_INVALID_ARGUMENT:
        return describe(Error::InvalidParameter);
    case HALVO_FAILURE_NO_BUS:
        return "no bus: there is no connection to the system bus";
    case HALVO_FAILURE_NO_SERVICE:
        return "no service: nobody owns the service's name on the bus";
    case HALVO_FAILURE_TIMEOUT:
        return "timed out: no answer came within the operation's time";
    case HALVO_FAILURE_ERROR_REPLY:
        return "error reply: the service answered with a D-Bus error";
    case HALVO_FAILURE_BAD_REPLY:
        return "bad reply: the answer has another type or content than the method's";
    case HALVO_FAILURE_SERVICE_ANSWERED:
        return "the service answered a failure of its own";
    case HALVO_FAILURE_STORE:
        return "store: a key of the configuration store is unreadable or unwritable, or holds unusable JSON";
    case HALVO_FAILURE_CANCELLED:
        return "cancelled";
    }
    return halvo_api_failure_name(failure);
}

/** Why an operation gave no value. */
class Failure {
  public:
    /** A failure with C result @p code, described by describe(); its kind unknown. */
    constexpr explicit Failure(int code) noexcept : Failure(code, describe(to_error(code))) {}
    /** A failure with C result @p code and @p message (a static string); its kind unknown. */
    constexpr Failure(int code, const char *message) noexcept : code_(code), message_(message) {}
    /** A failure with C result @p code of kind @p failure, in words of the
     *  kind unless @p message (a static string) is given. */
    Failure(int code, halvo_failure_e failure, const char *message = nullptr) noexcept
        : code_(code), failure_(failure), message_(message)
    {
        if (message_ != nullptr)
            return;
        /* A service may answer 1 or -22 itself, not the library's 0xFE400103. */
        Error e = to_error(code);
        if (e == Error::AlreadyInitialized)
            message_ = describe(e);
        else if (failure == HALVO_FAILURE_SERVICE_ANSWERED)
            std::snprintf(answered_, sizeof answered_, "the service answered %d", code);
        else if (failure == HALVO_FAILURE_NONE || e == Error::NotInitialized || e == Error::InvalidSpeakerInfo)
            message_ = describe(e);
        else
            message_ = describe(failure);
    }
    /** The error the code stands for. */
    constexpr Error error() const noexcept { return to_error(code_); }
    /** The integer as the C function returned it (the service's own for ServiceResult). */
    constexpr int code() const noexcept { return code_; }
    /** The kind of failure the library noted; HALVO_FAILURE_NONE when not known. */
    constexpr halvo_failure_e failure() const noexcept { return failure_; }
    /** What went wrong, in words.  Valid as long as this Failure (or the
     *  Result holding it); never freed by the caller. */
    constexpr const char *message() const noexcept { return message_ ? message_ : answered_; }

  private:
    int code_;
    halvo_failure_e failure_ = HALVO_FAILURE_NONE;
    const char *message_;
    char answered_[40] = {}; /* "the service answered N" */
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
    bool has_value() const noexcept { return ok(); }
    /** Same as ok(); not for Result<bool>, where `if (r)` would read as
     *  the value: there, say ok() or value(). */
    template <class U = T, std::enable_if_t<!std::is_same<U, bool>::value, int> = 0>
    explicit operator bool() const noexcept
    {
        return ok();
    }
    /** The value; aborts on a failure. */
    T &value() & noexcept { return checked(), *value_; }
    /** @copydoc value() */
    const T &value() const & noexcept { return checked(), *value_; }
    /** The value, moved out (a value, not a reference into this
     *  temporary); aborts on a failure. */
    T value() && noexcept { return checked(), std::move(*value_); }
    /** The value. */
    T &operator*() & noexcept { return value(); }
    /** @copydoc operator*() */
    const T &operator*() const & noexcept { return value(); }
    /** The value, moved out of a temporary: safe to keep, or to iterate. */
    T operator*() && noexcept { return std::move(*this).value(); }
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
    /** HALVO_FAILURE_NONE on success, else the kind the library noted. */
    halvo_failure_e failure() const noexcept { return ok() ? HALVO_FAILURE_NONE : failure_.failure(); }
    /** "success", or what went wrong (valid as long as this Result). */
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
    /** HALVO_FAILURE_NONE on success, else the kind the library noted. */
    halvo_failure_e failure() const noexcept { return failure_.failure(); }
    /** "success", or what went wrong (valid as long as this Result). */
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

/** One connected speaker with its volume, as a screen's refresh reads it
 *  (async::speakers_with_volumes()).  Each read has its own result: a
 *  failed one holds the service's result or the library's code, and the
 *  failure kind the library noted for that read (failure(), message()). */
struct SpeakerVolume {
    Speaker speaker;            /**< the stored record */
    Result<int> volume;         /**< its volume */
    Result<bool> controllable;  /**< whether its volume can be controlled */
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
class Call;

/** @cond INTERNAL */
namespace detail {

template <class Fn, class Trampoline, class F>
Result<Subscription> subscribe(halvo_event_e event, Trampoline trampoline, F &&callback) noexcept;
template <class F, class Start, class Read>
Call start(F &&fn, bool accepted, Start begin, Read read) noexcept;

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

inline Failure invalid() noexcept
{
    return Failure(HALVO_ERROR_INVALID_PARAMETER, HALVO_FAILURE_INVALID_ARGUMENT);
}

/* Each failure below reads the thread's failure detail: build it right
 * after the C call, before anything else calls the library. */
inline Failure failed(int rc) noexcept
{
    return Failure(rc, halvo_api_last_failure());
}

/* A failure whose C call gave no code (a bool, a marker value): @p answered
 * says it when the service's answer was the failure, @p unknown when no
 * kind was noted. */
inline Failure failed(int code, const char *answered, const char *unknown) noexcept
{
    halvo_failure_e why = halvo_api_last_failure();
    if (why == HALVO_FAILURE_INVALID_ARGUMENT)
        return invalid();
    return Failure(code, why,
                   why == HALVO_FAILURE_SERVICE_ANSWERED ? answered : why == HALVO_FAILURE_NONE ? unknown : nullptr);
}

/* C functions report either a result code or whether the service confirmed. */
inline bool succeeded(int rc) noexcept
{
    return rc == HALVO_ERROR_NONE;
}
inline bool succeeded(bool confirmed) noexcept
{
    return confirmed;
}
inline Failure failure_of(int rc) noexcept
{
    return failed(rc);
}
inline Failure failure_of(bool) noexcept
{
    return failed(HALVO_ERROR_OPERATION_FAILED, "the service answered, but not 1: it did not confirm it",
                  "the service did not confirm it (no reply, an error reply, or an answer other than 1)");
}

template <class Rc>
Result<void> outcome(Rc rc) noexcept
{
    return succeeded(rc) ? Result<void>() : Result<void>(failure_of(rc));
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

/* A speaker's information as the C functions take it. */
struct CSpeakerInfo {
    CSpeakerInfo(std::string_view vsid, const SpeakerInfo &info) noexcept
        : v(vsid), a(info.address), n(info.name), i(info.icon_type),
          c{const_cast<char *>(a.get()), const_cast<char *>(n.get()), const_cast<char *>(i.get()),
            bt_spk_audio_type_e(info.audio_type)}
    {
    }
    explicit operator bool() const noexcept { return v && a && n && i; }
    CText v, a, n, i;
    bt_spk_info_t c;
};

/* The values of a GSList of records. */
template <class Value, class Record, class Convert>
std::vector<Value> values(GSList *head, Convert to_value)
{
    std::vector<Value> out;
    out.reserve(g_slist_length(head));
    for (GSList *l = head; l; l = l->next)
        if (l->data)
            out.push_back(to_value(*static_cast<const Record *>(l->data)));
    return out;
}

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
        return values<Value, Record>(head, to_value);
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

template <class T>
Result<T> speaker_read(int rc, halvo_failure_e failure, T value) noexcept
{
    return rc == HALVO_ERROR_NONE ? Result<T>(value) : Result<T>(Failure(rc, failure));
}

inline SpeakerVolume speaker_volume(const halvo_speaker_volume_t &s)
{
    return {s.speaker ? speaker(*s.speaker) : Speaker{}, speaker_read<int>(s.volume_result, s.volume_failure, s.volume),
            speaker_read<bool>(s.controlable_result, s.controlable_failure, s.controlable)};
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

/* Readers: each calls @p f (a blocking C function or a _finish) with
 * @p in... and its outputs, and makes the C++ value of what came back, so
 * that both ways of running an operation share them. */
template <class T, class F, class... In>
Result<T> value_out(F f, In... in) noexcept
{
    T v{};
    int rc = f(in..., &v);
    return rc == HALVO_ERROR_NONE ? Result<T>(v) : Result<T>(failed(rc));
}

template <class Record, class Value, class F, class... In>
Result<std::vector<Value>> list_out(int (*release)(GSList **) noexcept, Value (*convert)(const Record &), F f,
                                    In... in) noexcept
{
    List<Record> list(release);
    auto rc = f(in..., &list.head);
    if (!succeeded(rc))
        return failure_of(rc);
    return list.template convert<Value>(convert);
}

template <class F, class... In>
Result<Device> device_out(F f, In... in) noexcept
{
    halvo_device_info_s *d = nullptr;
    int rc = f(in..., &d);
    std::unique_ptr<halvo_device_info_s, int (*)(halvo_device_info_s *) noexcept> owned(
        d, &halvo_free_paired_dev_info);
    if (rc != HALVO_ERROR_NONE)
        return failed(rc);
    if (!d)
        return Failure(HALVO_ERROR_OPERATION_FAILED);
    return device(*d);
}

template <class F, class... In>
Result<ManufacturerData> bytes_out(F f, In... in) noexcept
{
    char *data = nullptr;
    int length = 0;
    int rc = f(in..., &data, &length);
    if (rc != HALVO_ERROR_NONE) {
        Failure why = failed(rc);
        g_free(data);
        return why;
    }
    return ManufacturerData{std::nullopt, take_bytes(data, length)};
}

template <class F, class... In>
Result<ManufacturerData> option_bytes_out(F f, In... in) noexcept
{
    int option = 0;
    Result<ManufacturerData> r = bytes_out(f, in..., &option);
    if (r)
        r->option = option;
    return r;
}

template <class F, class... In>
CommandReply command_out(F f, In... in) noexcept
{
    char *response = nullptr;
    int rc = f(in..., &response);
    CommandReply reply{outcome(rc), text(response)};
    g_free(response);
    return reply;
}

template <class F, class... In>
Result<std::string> path_out(F f, In... in) noexcept
{
    char *path = nullptr;
    int rc = f(in..., &path);
    if (rc != HALVO_ERROR_NONE) {
        Failure why = failed(rc);
        free(path);
        return why;
    }
    std::optional<std::string> out = text(path);
    free(path);
    return out ? Result<std::string>(std::move(*out)) : Result<std::string>(Failure(HALVO_ERROR_OPERATION_FAILED));
}

/* The don't-use mark: the answer is the value, -1 a failure. */
inline Result<int> mark_of(int status) noexcept
{
    if (status == -1)
        return failed(HALVO_ERROR_OPERATION_FAILED, "the service answered -1",
                      "no reply or an error reply from the service");
    return status;
}

inline Result<void> accepted_of(const char *answer) noexcept
{
    if (view(answer) == "OK")
        return Result<void>();
    constexpr const char *refused = "the update manager did not accept the update";
    return failed(HALVO_ERROR_OPERATION_FAILED, refused, refused);
}

inline bool collect_blocked(const char *address, char *name, void *out) noexcept
{
    static_cast<std::vector<BlockedDevice> *>(out)->push_back({text(address), text(name)});
    return true;
}

inline Result<std::vector<BlockedDevice>> blocked_of(int rc, std::vector<BlockedDevice> &out) noexcept
{
    if (rc != HALVO_ERROR_NONE)
        return failed(rc);
    return std::move(out);
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

/* A callable of signature @p Sig that may be move-only (std::function
 * wants a copyable one).  Empty when made from a null pointer or an empty
 * std::function.  No virtual functions: nothing of it is emitted per
 * module. */
template <class Sig>
class Function;

template <class T>
struct IsStdFunction : std::false_type {
};
template <class S>
struct IsStdFunction<std::function<S>> : std::true_type {
};

template <class R, class... A>
class Function<R(A...)> {
  public:
    Function() noexcept = default;
    template <class F, class D = std::decay_t<F>, std::enable_if_t<!std::is_same<D, Function>::value, int> = 0>
    Function(F &&f)
    {
        if constexpr (!std::is_null_pointer<D>::value) {
            /* Only what can be null is tested: a function's own name never is. */
            if constexpr (std::is_pointer<std::remove_reference_t<F>>::value || std::is_member_pointer<D>::value ||
                          IsStdFunction<D>::value) {
                if (!f)
                    return;
            }
            object_ = new D(std::forward<F>(f));
            call_ = [](void *o, A... a) -> R { return (*static_cast<D *>(o))(std::forward<A>(a)...); };
            drop_ = [](void *o) noexcept { delete static_cast<D *>(o); };
        }
    }
    Function(Function &&other) noexcept
        : object_(std::exchange(other.object_, nullptr)), call_(other.call_), drop_(other.drop_)
    {
    }
    Function &operator=(Function &&other) noexcept
    {
        Function gone(std::move(*this));
        object_ = std::exchange(other.object_, nullptr);
        call_ = other.call_;
        drop_ = other.drop_;
        return *this;
    }
    Function(const Function &) = delete;
    Function &operator=(const Function &) = delete;
    ~Function()
    {
        if (object_ != nullptr)
            drop_(object_);
    }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    R operator()(A... a) const { return call_(object_, std::forward<A>(a)...); }

  private:
    void *object_ = nullptr;
    R (*call_)(void *, A...) = nullptr;
    void (*drop_)(void *) noexcept = nullptr;
};

/* A subscriber's callable, held by the library's listener registry,
 * which deletes it once the listener is disconnected and not running. */
template <class Fn>
struct Callable {
    Function<Fn> fn;
    static void drop(gpointer self) noexcept { delete static_cast<Callable *>(self); }
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

/* The trampolines: each runs in its subscriber's own context. */
inline void on_speaker_info(speaker_t *s, void *held) noexcept
{
    call<SpeakerInfoFn>(held, s ? std::optional<Speaker>(speaker(*s)) : std::nullopt);
}

/* The last-speakers list passes to the listener: freed here. */
inline void on_last_speakers(GSList *list, void *held) noexcept
{
    List<last_spk_info_t> owned(&halvo_free_last_bluetooth_speakers);
    owned.head = list;
    call<LastSpeakersFn>(held, owned.convert<LastSpeaker>(last_speaker));
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
    call<ConnectedSpeakersFn>(held, values<Speaker, speaker_t>(list, speaker));
}

inline void on_service(bool present, gpointer held) noexcept
{
    call<ServiceFn>(held, present);
}

} // namespace detail
/** @endcond */

/* ------------------------------------------------------------------ */
/* Subscriptions                                                       */
/* ------------------------------------------------------------------ */

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
            halvo_api_disconnect(std::exchange(id_, 0));
    }

    /** Whether this subscription holds a callback. */
    bool active() const noexcept { return id_ != 0; }

  private:
    /** @cond INTERNAL */
    template <class Fn, class Trampoline, class F>
    friend Result<Subscription> detail::subscribe(halvo_event_e event, Trampoline trampoline, F &&callback) noexcept;
    /** @endcond */

    explicit Subscription(gulong id) noexcept : id_(id) {}

    gulong id_ = 0;
};

/** @cond INTERNAL */
template <class Fn, class Trampoline, class F>
Result<Subscription> detail::subscribe(halvo_event_e event, Trampoline trampoline, F &&callback) noexcept
{
    auto *held = new (std::nothrow) detail::Callable<Fn>{detail::Function<Fn>(std::forward<F>(callback))};
    if (held == nullptr || !held->fn) {
        delete held;
        return detail::invalid();
    }
    gulong id = halvo_api_connect(event, reinterpret_cast<GCallback>(trampoline), held, &detail::Callable<Fn>::drop);
    if (id == 0) {
        delete held;
        return detail::failed(HALVO_ERROR_OPERATION_FAILED);
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
    return detail::subscribe<detail::SpeakerInfoFn>(HALVO_EVENT_SPEAKER_INFO_CHANGED, &detail::on_speaker_info, std::forward<F>(callback));
}

/** Calls @p callback(std::vector<LastSpeaker>) with the list read afresh
 *  after each change of the stored last-speakers list.
 *  @return the subscription, or OperationFailed when the store refused the watch. */
template <class F>
Result<Subscription> on_last_speakers(F &&callback) noexcept
{
    return detail::subscribe<detail::LastSpeakersFn>(HALVO_EVENT_LAST_SPEAKERS_CHANGED, &detail::on_last_speakers, std::forward<F>(callback));
}

/** Calls @p callback(ConnectingStatus) as the service reports the
 *  reconnection of the last speakers.
 *  @return the subscription (never waiting on the bus: the events come once it is there). */
template <class F>
Result<Subscription> on_connecting_status(F &&callback) noexcept
{
    return detail::subscribe<detail::ConnectingFn>(HALVO_EVENT_CONNECTING_STATUS_CHANGED, &detail::on_connecting, std::forward<F>(callback));
}

/** Calls @p callback(std::string_view address, int volume) each time the
 *  service announces a speaker's volume; the address is valid during the
 *  call only.
 *  @return the subscription (never waiting on the bus: the events come once it is there). */
template <class F>
Result<Subscription> on_volume(F &&callback) noexcept
{
    return detail::subscribe<detail::VolumeFn>(HALVO_EVENT_VOLUME_CHANGED, &detail::on_volume, std::forward<F>(callback));
}

/** Calls @p callback(std::string_view address, bool controllable) each
 *  time the service announces whether a speaker's volume can be
 *  controlled; the address is valid during the call only.
 *  @return the subscription (never waiting on the bus: the events come once it is there). */
template <class F>
Result<Subscription> on_volume_controllable(F &&callback) noexcept
{
    return detail::subscribe<detail::ControllableFn>(HALVO_EVENT_VOLUME_CONTROLABLE_CHANGED, &detail::on_controllable, std::forward<F>(callback));
}

/** Calls @p callback(int result, std::string_view address, bool connected)
 *  each time the service reports earphones' connection state; the address
 *  is valid during the call only.  Subscribing never waits on the bus: the
 *  events come once it is there.
 *  @return the subscription. */
template <class F>
Result<Subscription> on_earphones(F &&callback) noexcept
{
    return detail::subscribe<detail::EarphonesFn>(HALVO_EVENT_EARPHONES_CHANGED, &detail::on_earphones, std::forward<F>(callback));
}

/** Calls @p callback(bool muted) each time the stored mute state changes.
 *  @return the subscription, or OperationFailed when the store cannot watch it. */
template <class F>
Result<Subscription> on_mute(F &&callback) noexcept
{
    return detail::subscribe<detail::MuteFn>(HALVO_EVENT_MUTE_CHANGED, &detail::on_mute, std::forward<F>(callback));
}

/** Calls @p callback(std::vector<Speaker>) with the connected speakers
 *  each time their stored list changes (empty for none or an unusable
 *  document).
 *  @return the subscription, or OperationFailed when the store cannot watch it. */
template <class F>
Result<Subscription> on_connected_speakers(F &&callback) noexcept
{
    return detail::subscribe<detail::ConnectedSpeakersFn>(HALVO_EVENT_CONNECTED_SPEAKERS_CHANGED, &detail::on_connected_speakers, std::forward<F>(callback));
}

/** Calls @p callback(bool present) each time the service's bus name
 *  gains or loses its owner (a restart is a loss, then a gain).  Refresh
 *  what the screen shows when it comes back; while it is absent, the
 *  stored lists may be stale.
 *  @return the subscription. */
template <class F>
Result<Subscription> on_service(F &&callback) noexcept
{
    return detail::subscribe<detail::ServiceFn>(HALVO_EVENT_SERVICE_CHANGED, &detail::on_service,
                                                std::forward<F>(callback));
}

/** Whether the service is there, as last heard; answers at once. */
inline bool service_present() noexcept
{
    return halvo_api_service_present();
}

/* ------------------------------------------------------------------ */
/* Non-blocking calls                                                  */
/* ------------------------------------------------------------------ */

/** @cond INTERNAL */
namespace detail {
/* A call in flight, shared by its Call and the callback GIO runs. */
struct Pending {
    explicit Pending(void (*cancel_fn)(Pending &) noexcept) noexcept
        : cancellable(g_cancellable_new()), cancel(cancel_fn)
    {
    }
    Pending(const Pending &) = delete;
    Pending &operator=(const Pending &) = delete;
    ~Pending() { g_object_unref(cancellable); }
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
        g_cancellable_cancel(p.cancellable);
    }
    Read read; /* the _finish and the conversion */
    Function<void(R)> fn;
};

/* What a call whose inputs this layer refused gives. */
template <class R>
R refused() noexcept
{
    if constexpr (std::is_same<R, CommandReply>::value)
        return CommandReply{invalid(), std::nullopt};
    else
        return invalid();
}

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
void landed(GObject *, GAsyncResult *result, gpointer data) noexcept
{
    std::unique_ptr<Keep<R, Read>> keep(static_cast<Keep<R, Read> *>(data));
    land(**keep, result);
}

/* A refused call's idle; its reference goes with the source, also when
 * the context is destroyed without running it. */
template <class R, class Read>
gboolean land_refused(gpointer data) noexcept
{
    land(**static_cast<Keep<R, Read> *>(data), nullptr);
    return G_SOURCE_REMOVE;
}

template <class R, class Read>
void drop_refused(gpointer data) noexcept
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
        begin(p->cancellable, &landed<R, Read>, static_cast<gpointer>(keep));
    } else {
        GSource *idle = g_idle_source_new();
        g_source_set_priority(idle, G_PRIORITY_DEFAULT);
        g_source_set_callback(idle, &land_refused<R, Read>, keep, &drop_refused<R, Read>);
        GMainContext *here = g_main_context_ref_thread_default();
        g_source_attach(idle, here);
        g_main_context_unref(here);
        g_source_unref(idle);
    }
    return Call(std::move(p));
}

} // namespace detail
/** @endcond */

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
            halvo_deinitialzie();
    }

  private:
    explicit Session(bool live) noexcept : live_(live) {}
    bool live_ = false;
};

/** The outcome of the last remote-control firmware update once its result
 *  signal came (true: "OK"), empty before; needs a Session.  The globals
 *  are read atomically: the flag, raised after the result is written,
 *  first. */
inline std::optional<bool> firmware_result() noexcept
{
    if (!__atomic_load_n(&g_is_zemo_update_done, __ATOMIC_ACQUIRE))
        return std::nullopt;
    return __atomic_load_n(&g_zemo_update_result, __ATOMIC_RELAXED) == 1;
}

/** Forgets the last firmware result, e.g. before starting an update. */
inline void clear_firmware_result() noexcept
{
    __atomic_store_n(&g_is_zemo_update_done, false, __ATOMIC_RELEASE);
}

/** Asks the update manager to update the remote control's firmware,
 *  waiting up to 60 s for it to accept; the outcome comes later
 *  (firmware_result()).
 *  @return success when it accepted; OperationFailed otherwise. */
inline Result<void> update_remote_firmware() noexcept
{
    return detail::accepted_of(halvo_update_zemo_fw());
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
    return detail::device_out(&halvo_get_paired_dev_info, a.get());
}

/** Every paired device, in the service's order. */
inline Result<std::vector<Device>> paired_devices() noexcept
{
    return detail::list_out(&detail::free_devices, &detail::device, &halvo_get_paired_dev_info_list);
}

/** The service's device-type code of @p address. */
inline Result<int> device_type(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::value_out<int>(&halvo_get_device_type, a.get());
}

/** Marks @p address (shown as @p name) as not to be used, or as usable.
 *  @return success only when the service confirmed it. */
inline Result<void> set_dont_use(std::string_view address, std::string_view name, bool dont_use) noexcept
{
    detail::CText a(address), n(name);
    if (!a || !n)
        return detail::invalid();
    return detail::outcome(halvo_set_use_dontuse_status(n.get(), a.get(), dont_use));
}

/** The service's mark value of @p address (its meaning is the service's). */
inline Result<int> dont_use_status(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::mark_of(halvo_get_use_dontuse_status(a.get()));
}

/** Makes the service forget the mark of @p address.
 *  @return success only when the service confirmed it. */
inline Result<void> remove_dont_use_status(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::outcome(halvo_remove_use_dontuse_status(a.get()));
}

/** The devices marked as not to be used (address and name only). */
inline Result<std::vector<Device>> dont_use_devices() noexcept
{
    return detail::list_out(&detail::free_devices, &detail::device, &halvo_get_dontuse_device_list);
}

/* ------------------------------------------------------------------ */
/* Manufacturer data, custom commands, test mode                       */
/* ------------------------------------------------------------------ */

/** @cond INTERNAL */
namespace detail {
/* Bytes as C takes them: NULL when C would refuse them or cut them short. */
inline const char *bytes_in(const std::vector<std::uint8_t> &bytes) noexcept
{
    return bytes.empty() || bytes.size() > size_t(INT_MAX) ? nullptr
                                                           : reinterpret_cast<const char *>(bytes.data());
}
} // namespace detail
/** @endcond */

/** Has the service parse @p bytes (at least one). */
inline Result<ManufacturerData> parse_manufacturer_data(int link_type, const std::vector<std::uint8_t> &bytes,
                                                        int option) noexcept
{
    if (!detail::bytes_in(bytes))
        return detail::invalid();
    return detail::bytes_out(&halvo_parse_manufacturer_data, link_type, detail::bytes_in(bytes), int(bytes.size()),
                             option);
}

/** Item @p option of the manufacturer data the service holds for @p address. */
inline Result<ManufacturerData> read_specific_manufacturer_data(std::string_view address, int option) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::bytes_out(&halvo_read_specific_manufacturer_data, a.get(), option);
}

/** The manufacturer data the service holds for @p address, with its option value. */
inline Result<ManufacturerData> read_manufacturer_data(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::option_bytes_out(&halvo_read_manufacturer_data, a.get());
}

/** Writes @p bytes (at least one) as manufacturer data to @p address. */
inline Result<void> write_manufacturer_data(std::string_view address, int link_type,
                                            const std::vector<std::uint8_t> &bytes) noexcept
{
    detail::CText a(address);
    if (!a || !detail::bytes_in(bytes))
        return detail::invalid();
    return detail::outcome(
        halvo_write_manufacturer_data(a.get(), link_type, detail::bytes_in(bytes), int(bytes.size())));
}

/** Sends the free-form text @p command to the service. */
inline CommandReply send_custom_command(std::string_view command) noexcept
{
    detail::CText c(command);
    if (!c)
        return detail::refused<CommandReply>();
    return detail::command_out(&halvo_send_custom_command, c.get());
}

/** Puts the controller into device-under-test mode. */
inline Result<void> enter_dut_mode() noexcept
{
    return detail::outcome(halvo_enter_bt_dut_mode());
}

/** Enters device-under-test mode with test parameters. */
inline Result<void> enter_dut_mode(std::string_view side, std::string_view mode, int channel, int power) noexcept
{
    detail::CText s(side), m(mode);
    if (!s || !m)
        return detail::invalid();
    return detail::outcome(halvo_enter_bt_dut_mode_new(s.get(), m.get(), channel, power));
}

/** Leaves device-under-test mode. */
inline Result<void> stop_dut_mode() noexcept
{
    return detail::outcome(halvo_stop_bt_dut_mode_new());
}

/* ------------------------------------------------------------------ */
/* Speakers                                                            */
/* ------------------------------------------------------------------ */

/** The connected speakers the service publishes in the store. */
inline Result<std::vector<Speaker>> connected_speakers() noexcept
{
    return detail::list_out(&halvo_free_connected_bt_spaekr_infos, &detail::speaker,
                            &halvo_get_connected_bt_speaker_infos);
}

/** Sends one speaker's information to the service, under the identifier @p vsid. */
inline Result<void> set_connected_speaker_info(std::string_view vsid, const SpeakerInfo &info) noexcept
{
    detail::CSpeakerInfo c(vsid, info);
    if (!c)
        return detail::invalid();
    return detail::outcome(halvo_set_connected_bt_speaker_info(c.v.get(), &c.c));
}

/** Sends the JSON text @p json as a speaker's information, unchanged. */
inline Result<void> set_connected_speaker_info_json(std::string_view json) noexcept
{
    detail::CText j(json);
    if (!j)
        return detail::invalid();
    return detail::outcome(halvo_set_connected_bt_speaker_info_with_serialization(j.get()));
}

/** The last-used speakers, in stored order, each with its connected flag. */
inline Result<std::vector<LastSpeaker>> last_speakers() noexcept
{
    return detail::list_out(&halvo_free_last_bluetooth_speakers, &detail::last_speaker,
                            &halvo_get_last_bluetooth_speakers);
}

/** Asks the service to connect the last-used speakers again; progress
 *  comes through on_connecting_status(). */
inline Result<void> connect_last_speakers(bool show_connecting_ui) noexcept
{
    return detail::outcome(halvo_connect_to_last_bluetooth_speakers(show_connecting_ui));
}

/** Asks the service to disconnect the last-used speakers. */
inline Result<void> disconnect_last_speakers() noexcept
{
    return detail::outcome(halvo_disconnect_to_last_bluetooth_speakers());
}

/** The volume of speaker @p address. */
inline Result<int> volume(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::value_out<int>(&halvo_api_get_volume, a.get());
}

/** Sets the volume of speaker @p address (range and meaning: the service's). */
inline Result<void> set_volume(std::string_view address, int volume) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::outcome(halvo_api_set_volume(a.get(), volume));
}

/** Whether the volume of speaker @p address can be controlled. */
inline Result<bool> volume_controllable(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::value_out<bool>(&halvo_api_get_volume_controlable, a.get());
}

/** How many speakers the service counts as connected. */
inline Result<int> connected_speaker_count() noexcept
{
    return detail::value_out<int>(&halvo_api_get_num_of_connected_spaker);
}

/** Steps the volume of the speakers in use up. */
inline Result<void> volume_up() noexcept
{
    return detail::outcome(halvo_api_volume_up());
}

/** Steps the volume of the speakers in use down. */
inline Result<void> volume_down() noexcept
{
    return detail::outcome(halvo_api_volume_down());
}

/** Toggles the speakers' mute. */
inline Result<void> toggle_mute() noexcept
{
    return detail::outcome(halvo_api_mute_unmute());
}

/** Brings the speakers' mute to @p muted (toggles it only when it differs). */
inline Result<void> set_mute(bool muted) noexcept
{
    return detail::outcome(halvo_api_set_mute(muted));
}

/** The stored mute flag. */
inline Result<bool> muted() noexcept
{
    return detail::value_out<bool>(&halvo_api_get_mute_state);
}

/** The icon file of speaker icon-type code @p code: the service's answer,
 *  else the library's own table. */
inline Result<std::string> speaker_icon_path(std::string_view code) noexcept
{
    detail::CText c(code);
    if (!c)
        return detail::invalid();
    return detail::path_out(&halvo_api_get_last_bluetooth_speaker_icon_path, c.get());
}

/** The icon file of @p code from the library's own table only. */
inline Result<std::string> library_icon_path(std::string_view code) noexcept
{
    detail::CText c(code);
    if (!c)
        return detail::invalid();
    return detail::path_out(&halvo_api_get_common_icon_path_internal, c.get());
}

/** Asks the service to use speaker @p address instead of the current one. */
inline Result<void> replace_current_speaker(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::outcome(halvo_api_replace_current_speaker(a.get()));
}

/* ------------------------------------------------------------------ */
/* Stored device lists and earphones                                   */
/* ------------------------------------------------------------------ */

/** The info-sync devices not deleted on the television, in stored order. */
inline Result<std::vector<InfoSyncDevice>> info_sync_devices() noexcept
{
    return detail::list_out(&halvo_free_info_sync_devices, &detail::info_sync_device, &halvo_get_info_sync_devices);
}

/** Marks the info-sync device stored under @p key as deleted on the television. */
inline Result<void> remove_info_sync_device(std::string_view key) noexcept
{
    detail::CText k(key);
    if (!k)
        return detail::invalid();
    return detail::outcome(halvo_remove_info_sync_device(k.get()));
}

/** The devices whose pairing is blocked, in stored order. */
inline Result<std::vector<BlockedDevice>> blocked_devices() noexcept
{
    std::vector<BlockedDevice> out;
    return detail::blocked_of(halvo_foreach_blocked_devices(&detail::collect_blocked, &out), out);
}

/** Takes @p address off the pairing-blocked list. */
inline Result<void> unblock_device(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::outcome(halvo_remove_pairing_blocked_devices(a.get()));
}

/** Asks the service to switch earphones @p address to the television; the
 *  new state comes through on_earphones(). */
inline Result<void> connect_earphones(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::outcome(halvo_tuvo_switching_connect(a.get()));
}

/** Asks the service to switch earphones @p address away from the television. */
inline Result<void> disconnect_earphones(std::string_view address) noexcept
{
    detail::CText a(address);
    if (!a)
        return detail::invalid();
    return detail::outcome(halvo_tuvo_switching_disconnect(a.get()));
}

/* ------------------------------------------------------------------ */
/* Non-blocking twins                                                  */
/* ------------------------------------------------------------------ */

/** Non-blocking twins of the operations above, over the C `_async` pairs.
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
                         [&](auto... x) { halvo_get_paired_dev_info_async(a.get(), x...); },
                         [](GAsyncResult *r) { return detail::device_out(&halvo_get_paired_dev_info_finish, r); });
}

/** paired_devices() without waiting. */
template <class F>
Call paired_devices(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { halvo_get_paired_dev_info_list_async(x...); },
                         [](GAsyncResult *r) {
                             return detail::list_out(&detail::free_devices, &detail::device,
                                                     &halvo_get_paired_dev_info_list_finish, r);
                         });
}

/** device_type() without waiting. */
template <class F>
Call device_type(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a), [&](auto... x) { halvo_get_device_type_async(a.get(), x...); },
                         [](GAsyncResult *r) { return detail::value_out<int>(&halvo_get_device_type_finish, r); });
}

/** set_dont_use() without waiting. */
template <class F>
Call set_dont_use(std::string_view address, std::string_view name, bool dont_use, F &&fn) noexcept
{
    detail::CText a(address), n(name);
    return detail::start(std::forward<F>(fn), a && n,
                         [&](auto... x) { halvo_set_use_dontuse_status_async(n.get(), a.get(), dont_use, x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_set_use_dontuse_status_finish(r)); });
}

/** dont_use_status() without waiting. */
template <class F>
Call dont_use_status(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { halvo_get_use_dontuse_status_async(a.get(), x...); },
                         [](GAsyncResult *r) { return detail::mark_of(halvo_get_use_dontuse_status_finish(r)); });
}

/** remove_dont_use_status() without waiting. */
template <class F>
Call remove_dont_use_status(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { halvo_remove_use_dontuse_status_async(a.get(), x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_remove_use_dontuse_status_finish(r)); });
}

/** dont_use_devices() without waiting. */
template <class F>
Call dont_use_devices(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { halvo_get_dontuse_device_list_async(x...); },
                         [](GAsyncResult *r) {
                             return detail::list_out(&detail::free_devices, &detail::device,
                                                     &halvo_get_dontuse_device_list_finish, r);
                         });
}

/** parse_manufacturer_data() without waiting. */
template <class F>
Call parse_manufacturer_data(int link_type, const std::vector<std::uint8_t> &bytes, int option, F &&fn) noexcept
{
    const char *in = detail::bytes_in(bytes);
    return detail::start(
        std::forward<F>(fn), in != nullptr,
        [&](auto... x) { halvo_parse_manufacturer_data_async(link_type, in, int(bytes.size()), option, x...); },
        [](GAsyncResult *r) { return detail::bytes_out(&halvo_parse_manufacturer_data_finish, r); });
}

/** read_specific_manufacturer_data() without waiting. */
template <class F>
Call read_specific_manufacturer_data(std::string_view address, int option, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(
        std::forward<F>(fn), bool(a),
        [&](auto... x) { halvo_read_specific_manufacturer_data_async(a.get(), option, x...); },
        [](GAsyncResult *r) { return detail::bytes_out(&halvo_read_specific_manufacturer_data_finish, r); });
}

/** read_manufacturer_data() without waiting. */
template <class F>
Call read_manufacturer_data(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { halvo_read_manufacturer_data_async(a.get(), x...); },
                         [](GAsyncResult *r) { return detail::option_bytes_out(&halvo_read_manufacturer_data_finish, r); });
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
        [&](auto... x) { halvo_write_manufacturer_data_async(a.get(), link_type, in, int(bytes.size()), x...); },
        [](GAsyncResult *r) { return detail::outcome(halvo_write_manufacturer_data_finish(r)); });
}

/** send_custom_command() without waiting: @p fn(CommandReply). */
template <class F>
Call send_custom_command(std::string_view command, F &&fn) noexcept
{
    detail::CText c(command);
    return detail::start(std::forward<F>(fn), bool(c), [&](auto... x) { halvo_send_custom_command_async(c.get(), x...); },
                         [](GAsyncResult *r) { return detail::command_out(&halvo_send_custom_command_finish, r); });
}

/** enter_dut_mode() without waiting. */
template <class F>
Call enter_dut_mode(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { halvo_enter_bt_dut_mode_async(x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_enter_bt_dut_mode_finish(r)); });
}

/** enter_dut_mode() with test parameters, without waiting. */
template <class F>
Call enter_dut_mode(std::string_view side, std::string_view mode, int channel, int power, F &&fn) noexcept
{
    detail::CText s(side), m(mode);
    return detail::start(
        std::forward<F>(fn), s && m,
        [&](auto... x) { halvo_enter_bt_dut_mode_new_async(s.get(), m.get(), channel, power, x...); },
        [](GAsyncResult *r) { return detail::outcome(halvo_enter_bt_dut_mode_new_finish(r)); });
}

/** stop_dut_mode() without waiting. */
template <class F>
Call stop_dut_mode(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { halvo_stop_bt_dut_mode_new_async(x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_stop_bt_dut_mode_new_finish(r)); });
}

/** update_remote_firmware() without waiting (up to 60 s). */
template <class F>
Call update_remote_firmware(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { halvo_update_zemo_fw_async(x...); },
                         [](GAsyncResult *r) { return detail::accepted_of(halvo_update_zemo_fw_finish(r)); });
}

/** connected_speakers() without waiting. */
template <class F>
Call connected_speakers(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true,
                         [](auto... x) { halvo_get_connected_bt_speaker_infos_async(x...); },
                         [](GAsyncResult *r) {
                             return detail::list_out(&halvo_free_connected_bt_spaekr_infos, &detail::speaker,
                                                     &halvo_get_connected_bt_speaker_infos_finish, r);
                         });
}

/** set_connected_speaker_info() without waiting. */
template <class F>
Call set_connected_speaker_info(std::string_view vsid, const SpeakerInfo &info, F &&fn) noexcept
{
    detail::CSpeakerInfo c(vsid, info);
    return detail::start(
        std::forward<F>(fn), bool(c),
        [&](auto... x) { halvo_set_connected_bt_speaker_info_async(c.v.get(), &c.c, x...); },
        [](GAsyncResult *r) { return detail::outcome(halvo_set_connected_bt_speaker_info_finish(r)); });
}

/** set_connected_speaker_info_json() without waiting. */
template <class F>
Call set_connected_speaker_info_json(std::string_view json, F &&fn) noexcept
{
    detail::CText j(json);
    return detail::start(
        std::forward<F>(fn), bool(j),
        [&](auto... x) { halvo_set_connected_bt_speaker_info_with_serialization_async(j.get(), x...); },
        [](GAsyncResult *r) {
            return detail::outcome(halvo_set_connected_bt_speaker_info_with_serialization_finish(r));
        });
}

/** last_speakers() without waiting. */
template <class F>
Call last_speakers(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { halvo_get_last_bluetooth_speakers_async(x...); },
                         [](GAsyncResult *r) {
                             return detail::list_out(&halvo_free_last_bluetooth_speakers, &detail::last_speaker,
                                                     &halvo_get_last_bluetooth_speakers_finish, r);
                         });
}

/** connect_last_speakers() without waiting. */
template <class F>
Call connect_last_speakers(bool show_connecting_ui, F &&fn) noexcept
{
    return detail::start(
        std::forward<F>(fn), true,
        [&](auto... x) { halvo_connect_to_last_bluetooth_speakers_async(show_connecting_ui, x...); },
        [](GAsyncResult *r) { return detail::outcome(halvo_connect_to_last_bluetooth_speakers_finish(r)); });
}

/** disconnect_last_speakers() without waiting. */
template <class F>
Call disconnect_last_speakers(F &&fn) noexcept
{
    return detail::start(
        std::forward<F>(fn), true, [](auto... x) { halvo_disconnect_to_last_bluetooth_speakers_async(x...); },
        [](GAsyncResult *r) { return detail::outcome(halvo_disconnect_to_last_bluetooth_speakers_finish(r)); });
}

/** volume() without waiting. */
template <class F>
Call volume(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a), [&](auto... x) { halvo_api_get_volume_async(a.get(), x...); },
                         [](GAsyncResult *r) { return detail::value_out<int>(&halvo_api_get_volume_finish, r); });
}

/** set_volume() without waiting. */
template <class F>
Call set_volume(std::string_view address, int volume, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { halvo_api_set_volume_async(a.get(), volume, x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_api_set_volume_finish(r)); });
}

/** volume_controllable() without waiting. */
template <class F>
Call volume_controllable(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(
        std::forward<F>(fn), bool(a), [&](auto... x) { halvo_api_get_volume_controlable_async(a.get(), x...); },
        [](GAsyncResult *r) { return detail::value_out<bool>(&halvo_api_get_volume_controlable_finish, r); });
}

/** connected_speaker_count() without waiting. */
template <class F>
Call connected_speaker_count(F &&fn) noexcept
{
    return detail::start(
        std::forward<F>(fn), true, [](auto... x) { halvo_api_get_num_of_connected_spaker_async(x...); },
        [](GAsyncResult *r) { return detail::value_out<int>(&halvo_api_get_num_of_connected_spaker_finish, r); });
}

/** volume_up() without waiting. */
template <class F>
Call volume_up(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { halvo_api_volume_up_async(x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_api_volume_up_finish(r)); });
}

/** volume_down() without waiting. */
template <class F>
Call volume_down(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { halvo_api_volume_down_async(x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_api_volume_down_finish(r)); });
}

/** toggle_mute() without waiting. */
template <class F>
Call toggle_mute(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { halvo_api_mute_unmute_async(x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_api_mute_unmute_finish(r)); });
}

/** set_mute() without waiting. */
template <class F>
Call set_mute(bool muted, F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [&](auto... x) { halvo_api_set_mute_async(muted, x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_api_set_mute_finish(r)); });
}

/** muted() without waiting. */
template <class F>
Call muted(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { halvo_api_get_mute_state_async(x...); },
                         [](GAsyncResult *r) { return detail::value_out<bool>(&halvo_api_get_mute_state_finish, r); });
}

/** speaker_icon_path() without waiting. */
template <class F>
Call speaker_icon_path(std::string_view code, F &&fn) noexcept
{
    detail::CText c(code);
    return detail::start(
        std::forward<F>(fn), bool(c),
        [&](auto... x) { halvo_api_get_last_bluetooth_speaker_icon_path_async(c.get(), x...); },
        [](GAsyncResult *r) { return detail::path_out(&halvo_api_get_last_bluetooth_speaker_icon_path_finish, r); });
}

/** replace_current_speaker() without waiting. */
template <class F>
Call replace_current_speaker(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { halvo_api_replace_current_speaker_async(a.get(), x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_api_replace_current_speaker_finish(r)); });
}

/** info_sync_devices() without waiting. */
template <class F>
Call info_sync_devices(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { halvo_get_info_sync_devices_async(x...); },
                         [](GAsyncResult *r) {
                             return detail::list_out(&halvo_free_info_sync_devices, &detail::info_sync_device,
                                                     &halvo_get_info_sync_devices_finish, r);
                         });
}

/** remove_info_sync_device() without waiting. */
template <class F>
Call remove_info_sync_device(std::string_view key, F &&fn) noexcept
{
    detail::CText k(key);
    return detail::start(std::forward<F>(fn), bool(k),
                         [&](auto... x) { halvo_remove_info_sync_device_async(k.get(), x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_remove_info_sync_device_finish(r)); });
}

/** blocked_devices() without waiting. */
template <class F>
Call blocked_devices(F &&fn) noexcept
{
    auto out = std::make_shared<std::vector<BlockedDevice>>();
    return detail::start(
        std::forward<F>(fn), true,
        [&](auto... x) { halvo_foreach_blocked_devices_async(&detail::collect_blocked, out.get(), x...); },
        [out](GAsyncResult *r) { return detail::blocked_of(halvo_foreach_blocked_devices_finish(r), *out); });
}

/** unblock_device() without waiting. */
template <class F>
Call unblock_device(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(
        std::forward<F>(fn), bool(a), [&](auto... x) { halvo_remove_pairing_blocked_devices_async(a.get(), x...); },
        [](GAsyncResult *r) { return detail::outcome(halvo_remove_pairing_blocked_devices_finish(r)); });
}

/** connect_earphones() without waiting. */
template <class F>
Call connect_earphones(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { halvo_tuvo_switching_connect_async(a.get(), x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_tuvo_switching_connect_finish(r)); });
}

/** disconnect_earphones() without waiting. */
template <class F>
Call disconnect_earphones(std::string_view address, F &&fn) noexcept
{
    detail::CText a(address);
    return detail::start(std::forward<F>(fn), bool(a),
                         [&](auto... x) { halvo_tuvo_switching_disconnect_async(a.get(), x...); },
                         [](GAsyncResult *r) { return detail::outcome(halvo_tuvo_switching_disconnect_finish(r)); });
}

/** A screen's refresh in one call: the connected speakers, each with its
 *  volume and controllability read, the reads overlapped on the bus;
 *  @p fn(Result<std::vector<SpeakerVolume>>).  No blocking twin. */
template <class F>
Call speakers_with_volumes(F &&fn) noexcept
{
    return detail::start(std::forward<F>(fn), true, [](auto... x) { halvo_api_speakers_with_volumes_async(x...); },
                         [](GAsyncResult *r) {
                             return detail::list_out(&halvo_free_speakers_with_volumes, &detail::speaker_volume,
                                                     &halvo_api_speakers_with_volumes_finish, r);
                         });
}

} // namespace async

} // inline namespace v1
} // namespace halvo

#endif /* HALVO_HALVO_HPP */
