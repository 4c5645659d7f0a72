/* volume-screen-cxx.cpp - a main-loop screen that refreshes the speakers
 * without ever waiting on the service.
 *
 *   volume-screen-cxx [TIMEOUT_MS]   default 5000
 *
 * A 100 ms frame tick keeps turning while the refresh is out on the bus.
 * The refresh's callable captures `this`; its Call is a member, so a
 * screen that goes first cancels it and the callable never runs.  Ends
 * after the first refresh (status 0, or 1 when it failed), or with status
 * 2 when none came within the time-out.
 */
#include <glib.h>
#include <halvo/async.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

constexpr guint kFrameMs = 100;

class Screen {
  public:
    Screen(GMainLoop *loop, guint timeout_ms)
        : loop_(loop), last_frame_(timeout_ms / kFrameMs), tick_(g_timeout_add(kFrameMs, on_tick, this))
    {
    }
    ~Screen() { g_source_remove(tick_); }
    Screen(const Screen &) = delete;
    Screen &operator=(const Screen &) = delete;
    int status() const { return status_; }

  private:
    static gboolean on_tick(gpointer self)
    {
        static_cast<Screen *>(self)->frame();
        return G_SOURCE_CONTINUE;
    }

    void frame()
    {
        ++frame_;
        if (frame_ % 10 == 0)
            printf("frame %u\n", frame_);
        if (frame_ == 1)
            refresh_ = halvo::async::speakers_with_volumes(
                [this](halvo::Result<std::vector<halvo::SpeakerVolume>> speakers) { show(speakers); });
        if (frame_ >= last_frame_ && refresh_.active()) {
            fprintf(stderr, "no refresh after %u frames\n", frame_);
            status_ = 2;
            g_main_loop_quit(loop_);
        }
    }

    /* In the main context, like the tick: no lock needed. */
    void show(const halvo::Result<std::vector<halvo::SpeakerVolume>> &speakers)
    {
        g_main_loop_quit(loop_);
        printf("refreshed at frame %u\n", frame_);
        if (!speakers) {
            fprintf(stderr, "cannot refresh the speakers: %s\n", speakers.message());
            status_ = 1;
            return;
        }
        if (speakers->empty())
            printf("no connected speakers\n");
        for (const halvo::SpeakerVolume &s : *speakers) {
            printf("%-17s  %-20s  ", s.speaker.address.value_or("?").c_str(), s.speaker.name.value_or("").c_str());
            if (s.volume)
                printf("volume %3d%s\n", *s.volume, s.controllable.value_or(false) ? "" : "  (not controllable)");
            else
                printf("volume unknown: %s\n", s.volume.message());
        }
        fflush(stdout);
    }

    GMainLoop *loop_;
    guint frame_ = 0;
    guint last_frame_;
    guint tick_;
    int status_ = 0;
    halvo::Call refresh_; /* goes with the screen, cancelling a refresh still out */
};

} // namespace

int main(int argc, char **argv)
{
    std::unique_ptr<GMainLoop, decltype(&g_main_loop_unref)> loop(g_main_loop_new(nullptr, FALSE),
                                                                  g_main_loop_unref);
    guint timeout_ms = argc > 1 ? guint(strtoul(argv[1], nullptr, 10)) : 5000;
    Screen screen(loop.get(), timeout_ms);
    g_main_loop_run(loop.get());
    return screen.status();
}
