/* The records as a 32-bit x86 set lays them out.  Built with -m32, as C
 * and as C++. */
#include "halvo-api.h"

#ifdef __cplusplus
#define CHECK(cond, msg) static_assert(cond, msg)
#else
#define CHECK(cond, msg) _Static_assert(cond, msg)
#endif

CHECK(sizeof(void *) == 4, "built for 32-bit");
CHECK(sizeof(halvo_device_info_s) == 36, "halvo_device_info_s is 36 bytes");
CHECK(sizeof(speaker_t) == 20, "speaker_t is 20 bytes");
CHECK(sizeof(bt_spk_info_t) == 16, "bt_spk_info_t is 16 bytes");
CHECK(sizeof(last_spk_info_t) == 20, "last_spk_info_t is 20 bytes");
CHECK(sizeof(info_sync_device_t) == 8, "info_sync_device_t is 8 bytes");
CHECK(sizeof(bt_spk_audio_type_e) == 4, "the audio type is 32 bits");
CHECK((bt_spk_audio_type_e)-2 > 0, "the audio type is unsigned");
