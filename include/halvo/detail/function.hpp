/**
 * @file halvo/detail/function.hpp
 * @brief The layer's holder of callables, and the frame that stops their exceptions.
 *
 * Internal to the C++ headers.
 */
#ifndef HALVO_DETAIL_FUNCTION_HPP
#define HALVO_DETAIL_FUNCTION_HPP

#include <functional>
#include <type_traits>
#include <utility>

/** @cond INTERNAL */
namespace halvo {
inline namespace v1 {
namespace detail {

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

} // namespace detail
} // inline namespace v1
} // namespace halvo
/** @endcond */

#endif /* HALVO_DETAIL_FUNCTION_HPP */
