/* store-keys.h - the store keys the service and other components publish,
 * as the simulator writes them and halvoctl watches them. */
#ifndef HALVO_TOOLS_STORE_KEYS_H
#define HALVO_TOOLS_STORE_KEYS_H

#define STORE_KEY_SOUNDOUTPUT "memory/org.velmo.pellix/soundoutput_info"
#define STORE_KEY_LAST_LIST "db/pellix/last_btspk_list"
#define STORE_KEY_CONNECTED_ADDRS "memory/pellix/connected_btspk_addr_list"
#define STORE_KEY_MUTE "memory/menu/network/screenmirroring/get_volume_mute_bt"
#define STORE_KEY_INFO_SYNC "db/com.marlox.tv.bt-rilomanager/btinfosync/devices"
#define STORE_KEY_BLOCKED "db/pellix/pairing_blocekd_devices"

#endif
