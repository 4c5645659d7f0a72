/* The public header is plain C. */
#include "halvo-api.h"

int halvo_header_check(void);
int halvo_header_check(void)
{
    halvo_device_info_s info = {0};
    bt_spk_info_t spk = {0};
    return info.pid + (int)spk.audio_type + get_size_of_speaker_t();
}
