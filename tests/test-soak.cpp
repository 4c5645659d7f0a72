/* Soak: get and free every list many times over; resident memory stays
 * flat.  HALVO_SOAK_CYCLES sets the cycles per list (100000 for the full
 * soak; a short run by default). */
#include "bus-fixture.h"
#include "halvo-api-private.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

using namespace halvo_test;

namespace {

long resident_kib()
{
    long pages = 0, resident = 0;
    std::ifstream statm("/proc/self/statm");
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

int cycles()
{
    const char *env = g_getenv("HALVO_SOAK_CYCLES");
    return env ? atoi(env) : 2000;
}

/* Memory figures mean nothing under a tool that keeps freed memory
 * (AddressSanitizer's quarantine, valgrind): there the leak checkers
 * judge instead. */
bool resident_memory_is_meaningful()
{
#if defined(__SANITIZE_ADDRESS__)
    return false;
#else
    const char *preload = g_getenv("LD_PRELOAD");
    return !(preload && strstr(preload, "vgpreload"));
#endif
}

struct List {
    const char *name;
    std::function<void()> get_and_free;
};

} // namespace

TEST(Soak, EveryListGetAndFreeKeepsResidentMemoryFlat)
{
    Peer::reply("get_devices_info",
                g_variant_new("(s)", R"({"result":true,"data":{"Devices":[{"address":"AA:01","name":"one"},)"
                                     R"({"address":"AA:02","name":"two","serviceName":"s"}]}})"));
    Peer::reply("get_device_info", g_variant_new("(s)", R"({"result":true,"data":{"address":"AA:01","name":"one"}})"));
    Peer::reply("get_device_type", g_variant_new("(i)", 3));
    Peer::reply("get_dontuse_dev_list",
                g_variant_new("(s)", R"({"DontUseDevices":[{"name":"a","address":"AA:01"},{"name":"b","address":"B"}]})"));
    store_write("memory/org.velmo.pellix/soundoutput_info",
                R"([{"vsid":["v1"],"address":"AA:01","name":"one","iconType":"01","audioType":1},)"
                R"({"vsid":[],"address":"AA:02","name":"two","iconType":"02","audioType":2}])");
    store_write("db/pellix/last_btspk_list",
                R"([{"address":"AA:01","name":"one","iconType":"01","audioType":1,"connected":true},)"
                R"({"address":"AA:02","name":"two","iconType":"02","audioType":2,"connected":false}])");
    store_write("memory/pellix/connected_btspk_addr_list", "AA:01");
    store_write("db/com.marlox.tv.bt-rilomanager/btinfosync/devices",
                R"({"d1":{"address":"AA:01","name":"one"},"d2":{"address":"AA:02","name":"two"}})");

    const List lists[] = {
        {"paired devices", [] {
             GSList *l = nullptr;
             ASSERT_EQ(halvo_get_paired_dev_info_list(&l), 0);
             ASSERT_EQ(g_slist_length(l), 2u);
             halvo_free_paired_dev_info_list(l);
         }},
        {"one paired device", [] {
             halvo_device_info_s *d = nullptr;
             ASSERT_EQ(halvo_get_paired_dev_info("AA:01", &d), 0);
             halvo_free_paired_dev_info(d);
         }},
        {"don't-use list", [] {
             GSList *l = nullptr;
             ASSERT_TRUE(halvo_get_dontuse_device_list(&l));
             ASSERT_EQ(g_slist_length(l), 2u);
             halvo_free_paired_dev_info_list(l);
         }},
        {"connected speakers", [] {
             GSList *l = nullptr;
             ASSERT_EQ(halvo_get_connected_bt_speaker_infos(&l), 0);
             ASSERT_EQ(g_slist_length(l), 2u);
             halvo_free_connected_bt_spaekr_infos(&l);
         }},
        {"last speakers", [] {
             GSList *l = nullptr;
             ASSERT_EQ(halvo_get_last_bluetooth_speakers(&l), 0);
             ASSERT_EQ(g_slist_length(l), 2u);
             halvo_free_last_bluetooth_speakers(&l);
         }},
        {"info-sync devices", [] {
             GSList *l = nullptr;
             ASSERT_EQ(halvo_get_info_sync_devices(&l), 0);
             ASSERT_EQ(g_slist_length(l), 2u);
             halvo_free_info_sync_devices(&l);
         }},
    };

    const int n = cycles();
    for (const List &list : lists) {
        /* Warm up: GLib's and GDBus's caches reach their size first. */
        for (int i = 0; i < std::min(n, 1000); i++)
            list.get_and_free();
        long before = resident_kib();
        gint64 t0 = g_get_monotonic_time();
        for (int i = 0; i < n && !HasFatalFailure(); i++)
            list.get_and_free();
        long after = resident_kib();
        printf("soak %-18s %d cycles in %.1f s: resident %ld KiB before, %ld KiB after\n", list.name, n,
               double(g_get_monotonic_time() - t0) / G_USEC_PER_SEC, before, after);
        if (resident_memory_is_meaningful()) {
            EXPECT_LE(after - before, 256) << list.name << ": resident memory grew";
        }
    }
}
