/* halvo-api-event-loop.cpp - callbacks for threads that iterate no GLib
 * main context: a descriptor to poll and a dispatch call, as a bus
 * library offers to any event loop.
 *
 * The first halvo_api_event_fd() of a thread makes a main context of ours
 * the thread's default for good and keeps it acquired.  The descriptor is
 * an epoll set of that context's own descriptors (its wake-up among them)
 * and of an eventfd we raise when a source is ready at once.  The context
 * wakes on every source attached, from any thread, this one included, so
 * a delivery or a call's completion always makes the descriptor readable.
 * halvo_api_dispatch() is one turn of GLib's own loop, split as an
 * external loop drives it: check and dispatch what the poll found, then
 * prepare and query the next turn. */
#include "halvo-api-private.h"

#include <cerrno>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <vector>

using namespace halvo_core;

namespace {

struct ThreadLoop {
    GMainContext *context = nullptr;
    int epoll_fd = -1;
    int ready_fd = -1; /* raised when a source is ready without polling */
    std::vector<GPollFD> fds;
    std::vector<int> watched; /* the descriptors now in the epoll set */
    int max_priority = 0;
    int timeout = -1;

    ~ThreadLoop()
    {
        if (context == nullptr)
            return;
        g_main_context_pop_thread_default(context);
        g_main_context_unref(context);
        close(epoll_fd);
        close(ready_fd);
    }

    /* Prepares the next turn and points the epoll set at its descriptors. */
    void prepare() noexcept
    {
        gboolean ready = g_main_context_prepare(context, &max_priority);
        int n = int(fds.size());
        for (;;) {
            n = g_main_context_query(context, max_priority, &timeout, fds.data(), int(fds.size()));
            if (n <= int(fds.size()))
                break;
            fds.resize(size_t(n));
        }
        fds.resize(size_t(n));
        for (int fd : watched)
            epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
        watched.clear();
        for (const GPollFD &p : fds) {
            epoll_event ev{};
            ev.events = ((p.events & G_IO_IN) ? EPOLLIN : 0u) | ((p.events & G_IO_OUT) ? EPOLLOUT : 0u) |
                        ((p.events & G_IO_PRI) ? EPOLLPRI : 0u);
            ev.data.fd = p.fd;
            if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, p.fd, &ev) == 0)
                watched.push_back(p.fd);
        }
        if (ready || timeout == 0) {
            timeout = 0;
            eventfd_write(ready_fd, 1);
        }
    }

    /* Checks and dispatches what is due now. */
    void dispatch() noexcept
    {
        eventfd_t drained;
        eventfd_read(ready_fd, &drained);
        static_assert(sizeof(GPollFD) == sizeof(pollfd), "GPollFD is a struct pollfd");
        poll(reinterpret_cast<pollfd *>(fds.data()), nfds_t(fds.size()), 0);
        if (g_main_context_check(context, max_priority, fds.data(), int(fds.size())))
            g_main_context_dispatch(context);
        prepare();
    }
};

thread_local ThreadLoop t_loop;

} // namespace

int halvo_api_event_fd(void) noexcept
{
    ThreadLoop &loop = t_loop;
    if (loop.context != nullptr)
        return loop.epoll_fd;
    /* A thread with a context of its own iterates that one (the global
     * default context too, when the thread pushed it, as a GLib-based
     * dispatcher does: pushing acquires). */
    if (g_main_context_get_thread_default() != nullptr || g_main_context_is_owner(g_main_context_default()))
        return -1;
    GMainContext *context = g_main_context_new_with_flags(G_MAIN_CONTEXT_FLAGS_OWNERLESS_POLLING);
    /* Pushing acquires it: refused when another thread owns it, which a
     * new context never is; kept acquired while this thread lives. */
    if (!g_main_context_acquire(context)) {
        g_main_context_unref(context);
        return -1;
    }
    int epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    int ready_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_fd < 0 || ready_fd < 0) {
        ERR("no descriptor for events: %s", g_strerror(errno));
        if (epoll_fd >= 0)
            close(epoll_fd);
        if (ready_fd >= 0)
            close(ready_fd);
        g_main_context_release(context);
        g_main_context_unref(context);
        return -1;
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = ready_fd;
    epoll_ctl(epoll_fd, EPOLL_CTL_ADD, ready_fd, &ev);
    g_main_context_push_thread_default(context);
    g_main_context_release(context); /* the push holds it */
    loop.context = context;
    loop.epoll_fd = epoll_fd;
    loop.ready_fd = ready_fd;
    loop.prepare();
    return epoll_fd;
}

int halvo_api_event_timeout(void) noexcept
{
    return t_loop.context != nullptr ? t_loop.timeout : -1;
}

void halvo_api_dispatch(void) noexcept
{
    if (t_loop.context != nullptr)
        t_loop.dispatch();
}
