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
 * This header includes all of the layer; a file may include only the part
 * it uses:
 * - halvo/result.hpp: halvo::Result, halvo::Failure and the error codes;
 * - halvo/types.hpp: the values (Device, Speaker, SpeakerVolume, ...);
 * - halvo/calls.hpp: the blocking calls, halvo::Session, the firmware result;
 * - halvo/subscription.hpp: halvo::Subscription, the on_ functions, service_present();
 * - halvo/async.hpp: halvo::Call and the halvo::async functions.
 *
 * None of them includes halvo-api.h or a GLib header: a file gets no GLib
 * macro and none of the C header's globals from them, and may include
 * halvo-api.h beside them.
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
 * and error(), the C result as before; failure(), the FailureKind the
 * library noted (halvo_api_last_failure(), read right after the C call); and
 * message(), words built from the kind, e.g. "the service answered 3" for
 * a result of the service's own, which error() would read as one of the
 * library's codes.
 *
 * Memory: running out ends the program, as GLib's allocator does.  An
 * exception that a callback throws is caught and dropped at the C frame.
 */
#ifndef HALVO_HALVO_HPP
#define HALVO_HALVO_HPP

#include <halvo/async.hpp>
#include <halvo/calls.hpp>
#include <halvo/result.hpp>
#include <halvo/subscription.hpp>
#include <halvo/types.hpp>

#endif /* HALVO_HALVO_HPP */
