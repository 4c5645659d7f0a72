/* halvo-api-cxx.cpp - what the C++ layer (include/halvo/) calls beside
 * the public C functions.
 *
 * Its headers include neither halvo-api.h nor GLib's, so they cannot name
 * the records, the enumerations, the firmware globals or GLib's calls:
 * these functions do it for them.  Records go out field by field to a
 * visitor of the header's, which makes its C++ value; enumerations go as
 * int.  Each runs on the caller's thread. */
#include "halvo-api-private.h"

#include <halvo/detail/c-api.hpp>

using halvo::detail::DeviceVisit;
using halvo::detail::InfoSyncVisit;
using halvo::detail::LastSpeakerVisit;
using halvo::detail::SpeakerVisit;
using halvo::detail::SpeakerVolumeVisit;

namespace {

template <typename Record, typename Visit>
void walk(const GSList *list, Visit visit) noexcept
{
    for (const GSList *l = list; l != nullptr; l = l->next)
        if (l->data != nullptr)
            visit(*static_cast<const Record *>(l->data));
}

void visit_device(const halvo_device_info_s &d, DeviceVisit visit, void *out) noexcept
{
    visit(out, d.address, d.name, d.usedontuse, d.connected, d.profile, d.device_type, d.service_name,
          d.provider_name, d.vid, d.pid);
}

void visit_speaker(const speaker_t &s, SpeakerVisit visit, void *out) noexcept
{
    visit(out, s.vsid, s.address, s.name, s.icon_type, int(s.audio_type));
}

/* The record goes once it is visited; the thread's failure stays the
 * call's. */
int visit_paired_device(int rc, halvo_device_info_s *d, DeviceVisit visit, void *out) noexcept
{
    if (d == nullptr) {
        if (rc == HALVO_ERROR_NONE)
            ERR("no device record although the call succeeded");
        return rc == HALVO_ERROR_NONE ? HALVO_ERROR_OPERATION_FAILED : rc;
    }
    if (rc == HALVO_ERROR_NONE)
        visit_device(*d, visit, out);
    halvo_failure_e failure = halvo_api_last_failure();
    halvo_free_paired_dev_info(d);
    halvo_core::set_last_failure(failure);
    return rc;
}

} // namespace

/* Declared in halvo/detail/c-api.hpp, C functions of the library's own. */
extern "C" {

HALVO_API int halvo_cxx_last_failure(void) noexcept
{
    return int(halvo_api_last_failure());
}

HALVO_API const char *halvo_cxx_failure_name(int failure) noexcept
{
    return halvo_api_failure_name(halvo_failure_e(failure));
}

HALVO_API gulong halvo_cxx_connect(int event, void (*callback)(void), void *user_data, void (*destroy)(void *) noexcept) noexcept
{
    return halvo_api_connect(halvo_event_e(event), callback, user_data, destroy);
}

HALVO_API int halvo_cxx_firmware_result(void) noexcept
{
    /* The flag goes up after the result is written. */
    if (!__atomic_load_n(&g_is_zemo_update_done, __ATOMIC_ACQUIRE))
        return -1;
    return __atomic_load_n(&g_zemo_update_result, __ATOMIC_RELAXED) == 1 ? 1 : 0;
}

HALVO_API void halvo_cxx_clear_firmware_result(void) noexcept
{
    __atomic_store_n(&g_is_zemo_update_done, false, __ATOMIC_RELEASE);
}

HALVO_API int halvo_cxx_paired_device(const char *address, DeviceVisit visit, void *out) noexcept
{
    halvo_device_info_s *d = nullptr;
    int rc = halvo_get_paired_dev_info(address, &d);
    return visit_paired_device(rc, d, visit, out);
}

HALVO_API int halvo_cxx_paired_device_finish(GAsyncResult *result, DeviceVisit visit, void *out) noexcept
{
    halvo_device_info_s *d = nullptr;
    int rc = halvo_get_paired_dev_info_finish(result, &d);
    return visit_paired_device(rc, d, visit, out);
}

HALVO_API int halvo_cxx_set_speaker_info(const char *vsid, const char *address, const char *name, const char *icon_type,
                               int audio_type) noexcept
{
    bt_spk_info_t info = {const_cast<char *>(address), const_cast<char *>(name), const_cast<char *>(icon_type),
                          bt_spk_audio_type_e(audio_type)};
    return halvo_set_connected_bt_speaker_info(vsid, &info);
}

/* The C call copies the record before it returns. */
HALVO_API void halvo_cxx_set_speaker_info_async(const char *vsid, const char *address, const char *name,
                                      const char *icon_type, int audio_type, GCancellable *cancellable,
                                      GAsyncReadyCallback callback, void *user_data) noexcept
{
    bt_spk_info_t info = {const_cast<char *>(address), const_cast<char *>(name), const_cast<char *>(icon_type),
                          bt_spk_audio_type_e(audio_type)};
    halvo_set_connected_bt_speaker_info_async(vsid, &info, cancellable, callback, user_data);
}

HALVO_API unsigned int halvo_cxx_list_length(const GSList *list) noexcept
{
    return g_slist_length(const_cast<GSList *>(list));
}

HALVO_API void halvo_cxx_walk_devices(const GSList *list, DeviceVisit visit, void *out) noexcept
{
    walk<halvo_device_info_s>(list, [&](const halvo_device_info_s &d) { visit_device(d, visit, out); });
}

HALVO_API void halvo_cxx_walk_speakers(const GSList *list, SpeakerVisit visit, void *out) noexcept
{
    walk<speaker_t>(list, [&](const speaker_t &s) { visit_speaker(s, visit, out); });
}

HALVO_API void halvo_cxx_visit_speaker(const void *speaker, SpeakerVisit visit, void *out) noexcept
{
    if (speaker != nullptr)
        visit_speaker(*static_cast<const speaker_t *>(speaker), visit, out);
}

HALVO_API void halvo_cxx_walk_last_speakers(const GSList *list, LastSpeakerVisit visit, void *out) noexcept
{
    walk<last_spk_info_t>(list, [&](const last_spk_info_t &s) {
        visit(out, s.connected, s.address, s.name, s.icon_type, int(s.audio_type));
    });
}

HALVO_API void halvo_cxx_walk_info_sync_devices(const GSList *list, InfoSyncVisit visit, void *out) noexcept
{
    walk<info_sync_device_t>(list, [&](const info_sync_device_t &d) { visit(out, d.address, d.name); });
}

HALVO_API void halvo_cxx_walk_speaker_volumes(const GSList *list, SpeakerVolumeVisit visit, void *out) noexcept
{
    walk<halvo_speaker_volume_t>(list, [&](const halvo_speaker_volume_t &r) {
        const speaker_t none = {nullptr, nullptr, nullptr, nullptr, bt_spk_audio_type_e(-2)};
        const speaker_t &s = r.speaker != nullptr ? *r.speaker : none;
        visit(out, s.vsid, s.address, s.name, s.icon_type, int(s.audio_type), r.volume_result, r.volume,
              int(r.volume_failure), r.controlable_result, r.controlable, int(r.controlable_failure));
    });
}

HALVO_API GCancellable *halvo_cxx_cancellable_new(void) noexcept
{
    return g_cancellable_new();
}

HALVO_API void halvo_cxx_cancellable_cancel(GCancellable *cancellable) noexcept
{
    g_cancellable_cancel(cancellable);
}

HALVO_API void halvo_cxx_cancellable_unref(GCancellable *cancellable) noexcept
{
    g_object_unref(cancellable);
}

HALVO_API void halvo_cxx_idle(int (*fn)(void *) noexcept, void *data, void (*destroy)(void *) noexcept) noexcept
{
    GSource *idle = g_idle_source_new();
    g_source_set_priority(idle, G_PRIORITY_DEFAULT);
    g_source_set_callback(idle, fn, data, destroy);
    GMainContext *here = g_main_context_ref_thread_default();
    g_source_attach(idle, here);
    g_main_context_unref(here);
    g_source_unref(idle);
}

HALVO_API void halvo_cxx_free(void *memory) noexcept
{
    g_free(memory);
}

} /* extern "C" */
