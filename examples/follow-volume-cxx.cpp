/* follow-volume-cxx.cpp - follow speakers' volume with a scoped subscription.
 *
 *   follow-volume-cxx [COUNT]   prints COUNT changes (default: until Ctrl-C)
 *
 * The callback runs in the thread-default main context of the thread that
 * subscribed: here the default one, which the GMainLoop below iterates.
 * It stays set while `following` lives, and is unset when main returns.
 */
#include <halvo/subscription.hpp>

#include <glib-unix.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

static gboolean quit(gpointer loop)
{
    g_main_loop_quit(static_cast<GMainLoop *>(loop));
    return G_SOURCE_CONTINUE;
}

int main(int argc, char **argv)
{
    std::unique_ptr<GMainLoop, decltype(&g_main_loop_unref)> loop(g_main_loop_new(nullptr, FALSE),
                                                                  g_main_loop_unref);
    int left = argc > 1 ? atoi(argv[1]) : -1; /* changes still to print; -1: no limit */

    auto following = halvo::on_volume([&](std::string_view address, int volume) {
        printf("%.*s: volume %d\n", int(address.size()), address.data(), volume);
        fflush(stdout);
        if (left > 0 && --left == 0)
            g_main_loop_quit(loop.get());
    });
    if (!following) {
        fprintf(stderr, "cannot follow the volume: %s\n", following.message());
        return 1;
    }
    guint sigint = g_unix_signal_add(SIGINT, quit, loop.get());
    guint sigterm = g_unix_signal_add(SIGTERM, quit, loop.get());
    fprintf(stderr, "following the volume (Ctrl-C to stop)\n");

    g_main_loop_run(loop.get());

    g_source_remove(sigint);
    g_source_remove(sigterm);
    return 0;
}
