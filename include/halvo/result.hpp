/**
 * @file halvo/result.hpp
 * @brief halvo::Result: a value or the Failure that prevented it.
 *
 * Needs nothing but the standard library.  A failure says why in three
 * ways: code() and error(), the C result as before; failure(), the kind
 * the library noted (halvo_api_last_failure(), read right after the C
 * call); and message(), words built from the kind, e.g. "the service
 * answered 3" for a result of the service's own, which error() would read
 * as one of the library's codes.
 */
#ifndef HALVO_RESULT_HPP
#define HALVO_RESULT_HPP

#include <halvo/detail/c-api.hpp>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <type_traits>
#include <utility>

/** The C++ API of libhalvo-api. */
namespace halvo {
/** The layer's layout version: a change of layout is a new inline
 *  namespace, so that modules built against different layouts fail to
 *  link instead of sharing objects they disagree on. */
inline namespace v1 {

/** A result code of the library (README "Result codes"): the values of
 *  halvo-api.h's HALVO_ERROR_ names. */
enum class Error : int {
    None = 0,                        /**< success */
    NotInitialized = 1,              /**< ended without a start */
    InvalidParameter = 3,            /**< missing or out-of-range value, nothing subscribed */
    OperationFailed = 5,             /**< no bus, no or an error reply, unreadable store */
    InvalidSpeakerInfo = -22,        /**< a required speaker field is missing */
    AlreadyInitialized = -29359869,  /**< started twice (0xFE400103 as an int) */
    Cancelled = -125,                /**< cancelled before it ended */
    /** Any other integer: the service's own result, passed through (see Result::code()). */
    ServiceResult = INT_MIN,
};

/** The Error that the C result code @p code stands for.  The service's
 *  codes share the library's numbers, so its 3 reads as InvalidParameter:
 *  Result::failure() tells them apart. */
constexpr Error to_error(int code) noexcept
{
    switch (Error(code)) {
    case Error::None:
    case Error::NotInitialized:
    case Error::InvalidParameter:
    case Error::OperationFailed:
    case Error::InvalidSpeakerInfo:
    case Error::AlreadyInitialized:
    case Error::Cancelled:
        return Error(code);
    case Error::ServiceResult:
        break;
    }
    return Error::ServiceResult;
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

/** The kind of failure the library noted for an operation: the values of
 *  halvo-api.h's halvo_failure_e. */
enum class FailureKind : int {
    None = 0,            /**< it succeeded, or no kind was noted */
    InvalidArgument = 1, /**< an argument was refused; nothing was sent */
    NoBus = 2,           /**< no connection to the system bus */
    NoService = 3,       /**< nobody owns the service's name on the bus */
    Timeout = 4,         /**< no answer within the operation's bound */
    ErrorReply = 5,      /**< the service answered with a D-Bus error */
    BadReply = 6,        /**< the answer has another type or content than the method's */
    ServiceAnswered = 7, /**< the service answered a failure of its own (its code is the result) */
    Store = 8,           /**< a store key is unreadable, unwritable or holds unusable JSON */
    Cancelled = 9,       /**< cancelled */
};

/** The failure kind @p failure in a sentence; a kind this header does not
 *  know by the library's name for it.  Never NULL.  The service's own
 *  answer has a sentence with its number: Failure::message(). */
inline const char *describe(FailureKind failure) noexcept
{
    switch (failure) {
    case FailureKind::None:
        return "success";
    case FailureKind::InvalidArgument:
        return describe(Error::InvalidParameter);
    case FailureKind::NoBus:
        return "no bus: there is no connection to the system bus";
    case FailureKind::NoService:
        return "no service: nobody owns the service's name on the bus";
    case FailureKind::Timeout:
        return "timed out: no answer came within the operation's time";
    case FailureKind::ErrorReply:
        return "error reply: the service answered with a D-Bus error";
    case FailureKind::BadReply:
        return "bad reply: the answer has another type or content than the method's";
    case FailureKind::ServiceAnswered:
        return "the service answered a failure of its own";
    case FailureKind::Store:
        return "store: a key of the configuration store is unreadable or unwritable, or holds unusable JSON";
    case FailureKind::Cancelled:
        return "cancelled";
    }
    return detail::halvo_cxx_failure_name(int(failure));
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
    Failure(int code, FailureKind failure, const char *message = nullptr) noexcept
        : code_(code), failure_(failure), message_(message)
    {
        if (message_ != nullptr)
            return;
        /* A service may answer 1 or -22 itself, not the library's 0xFE400103. */
        Error e = to_error(code);
        if (e == Error::AlreadyInitialized)
            message_ = describe(e);
        else if (failure == FailureKind::ServiceAnswered)
            std::snprintf(answered_, sizeof answered_, "the service answered %d", code);
        else if (failure == FailureKind::None || e == Error::NotInitialized || e == Error::InvalidSpeakerInfo)
            message_ = describe(e);
        else
            message_ = describe(failure);
    }
    /** The error the code stands for. */
    constexpr Error error() const noexcept { return to_error(code_); }
    /** The integer as the C function returned it (the service's own for ServiceResult). */
    constexpr int code() const noexcept { return code_; }
    /** The kind of failure the library noted; FailureKind::None when not known. */
    constexpr FailureKind failure() const noexcept { return failure_; }
    /** What went wrong, in words.  Valid as long as this Failure (or the
     *  Result holding it); never freed by the caller. */
    constexpr const char *message() const noexcept { return message_ ? message_ : answered_; }

  private:
    int code_;
    FailureKind failure_ = FailureKind::None;
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
    /** FailureKind::None on success, else the kind the library noted. */
    FailureKind failure() const noexcept { return ok() ? FailureKind::None : failure_.failure(); }
    /** "success", or what went wrong (valid as long as this Result). */
    const char *message() const noexcept { return ok() ? describe(Error::None) : failure_.message(); }

  private:
    void checked() const noexcept
    {
        if (!value_.has_value())
            std::abort();
    }
    detail::Held<T> value_;
    Failure failure_{int(Error::None)};
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
    bool ok() const noexcept { return failure_.code() == int(Error::None); }
    /** Same as ok(). */
    explicit operator bool() const noexcept { return ok(); }
    /** Error::None on success. */
    Error error() const noexcept { return failure_.error(); }
    /** The C result: 0 on success. */
    int code() const noexcept { return failure_.code(); }
    /** FailureKind::None on success, else the kind the library noted. */
    FailureKind failure() const noexcept { return failure_.failure(); }
    /** "success", or what went wrong (valid as long as this Result). */
    const char *message() const noexcept { return failure_.message(); }

  private:
    Failure failure_{int(Error::None)};
};

/** @cond INTERNAL */
namespace detail {

inline Failure invalid() noexcept
{
    return Failure(int(Error::InvalidParameter), FailureKind::InvalidArgument);
}

/* Each failure below reads the thread's failure detail: build it right
 * after the C call, before anything else calls the library. */
inline Failure failed(int rc) noexcept
{
    return Failure(rc, FailureKind(halvo_cxx_last_failure()));
}

/* A failure whose C call gave no code (a bool, a marker value): @p answered
 * says it when the service's answer was the failure, @p unknown when no
 * kind was noted. */
inline Failure failed(int code, const char *answered, const char *unknown) noexcept
{
    auto why = FailureKind(halvo_cxx_last_failure());
    if (why == FailureKind::InvalidArgument)
        return invalid();
    return Failure(code, why,
                   why == FailureKind::ServiceAnswered ? answered : why == FailureKind::None ? unknown : nullptr);
}

/* C functions report either a result code or whether the service confirmed. */
inline bool succeeded(int rc) noexcept
{
    return rc == int(Error::None);
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
    return failed(int(Error::OperationFailed), "the service answered, but not 1: it did not confirm it",
                  "the service did not confirm it (no reply, an error reply, or an answer other than 1)");
}

template <class Rc>
Result<void> outcome(Rc rc) noexcept
{
    return succeeded(rc) ? Result<void>() : Result<void>(failure_of(rc));
}

} // namespace detail
/** @endcond */

} // inline namespace v1
} // namespace halvo

#endif /* HALVO_RESULT_HPP */
