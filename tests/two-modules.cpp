/* Two modules built with -fvisibility=hidden follow the mute state in one
 * process; when one stops, the other still hears each change. */
#include <glib.h>

#include <filesystem>
#include <string>

extern "C" bool follower_a(int *heard);
extern "C" bool follower_b(int *heard);

namespace {

/* Changes the stored mute state as the service does; ctest's time-out
 * ends a change that never comes. */
void store_mute(const std::string &path, const char *value, const int &heard)
{
    int before = heard;
    g_file_set_contents(path.c_str(), value, -1, nullptr);
    while (heard == before)
        g_main_context_iteration(nullptr, TRUE);
}

} // namespace

int main()
{
    char *made = g_dir_make_tmp("halvo-modules-XXXXXX", nullptr);
    std::string root = made;
    g_free(made);
    g_setenv("VALKO_ROOT", root.c_str(), TRUE);
    std::string path = root + "/memory/menu/network/screenmirroring/get_volume_mute_bt";
    int a = 0, b = 0;
    if (!follower_a(&a) || !follower_b(&b))
        return 2;
    store_mute(path, "1", b);
    while (a == 0)
        g_main_context_iteration(nullptr, TRUE);
    follower_a(nullptr);
    int a_stopped = a;
    store_mute(path, "0", b);
    store_mute(path, "1", b);
    follower_b(nullptr);
    std::filesystem::remove_all(root);
    return a == a_stopped ? 0 : 1;
}
