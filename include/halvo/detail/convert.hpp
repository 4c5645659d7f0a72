/**
 * @file halvo/detail/convert.hpp
 * @brief Between C and C++ values: texts in, records and buffers out.
 *
 * Internal to the C++ headers.  The readers here serve both ways of
 * running an operation, the blocking call and the `_finish` of its
 * non-blocking twin.
 */
#ifndef HALVO_DETAIL_CONVERT_HPP
#define HALVO_DETAIL_CONVERT_HPP

#include <halvo/types.hpp>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/** @cond INTERNAL */
namespace halvo {
inline namespace v1 {
namespace detail {

inline std::optional<std::string> text(const char *s)
{
    return s ? std::optional<std::string>(s) : std::nullopt;
}

inline std::optional<int> unless(int v, int absent)
{
    return v == absent ? std::nullopt : std::optional<int>(v);
}

/* Records hold -2 (0xFFFFFFFE) when "audioType" is missing. */
inline std::optional<int> audio(int t)
{
    return unless(t, -2);
}

inline std::string_view view(const char *s) noexcept
{
    return s ? std::string_view(s) : std::string_view();
}

/* A NUL-terminated copy of a view for the C functions; short texts stay
 * on the stack.  False when the view holds a NUL, which C would cut at. */
class CText {
  public:
    explicit CText(std::string_view s) noexcept : ok_(s.find('\0') == std::string_view::npos)
    {
        if (s.size() < sizeof small_) {
            s.copy(small_, s.size());
            small_[s.size()] = '\0';
            p_ = small_;
        } else {
            large_.assign(s);
            p_ = large_.c_str();
        }
    }
    CText(const CText &) = delete;
    CText &operator=(const CText &) = delete;
    explicit operator bool() const noexcept { return ok_; }
    const char *get() const noexcept { return p_; }

  private:
    bool ok_;
    char small_[64];
    std::string large_;
    const char *p_;
};

/* A speaker's information as the C functions take it. */
struct CSpeakerInfo {
    CSpeakerInfo(std::string_view vsid, const SpeakerInfo &info) noexcept
        : v(vsid), a(info.address), n(info.name), i(info.icon_type), audio_type(info.audio_type)
    {
    }
    explicit operator bool() const noexcept { return v && a && n && i; }
    CText v, a, n, i;
    int audio_type;
};

/* Bytes as C takes them: NULL when C would refuse them or cut them short. */
inline const char *bytes_in(const std::vector<std::uint8_t> &bytes) noexcept
{
    return bytes.empty() || bytes.size() > std::size_t(INT_MAX) ? nullptr
                                                                : reinterpret_cast<const char *>(bytes.data());
}

/* The visitors of the library's record walks: each makes one value and
 * puts it at the end of a vector, or into an empty optional. */
template <class T>
void put(std::vector<T> &out, T &&value)
{
    out.push_back(std::move(value));
}
template <class T>
void put(std::optional<T> &out, T &&value)
{
    out.emplace(std::move(value));
}

template <class Out>
void add_device(void *out, const char *address, const char *name, bool dont_use, bool connected, int profile,
                int device_type, const char *service_name, const char *provider_name, int vid, int pid) noexcept
{
    put(*static_cast<Out *>(out), Device{text(address), text(name), dont_use, connected, unless(profile, -1),
                                         device_type, text(service_name), text(provider_name), unless(vid, -1),
                                         unless(pid, -1)});
}

template <class Out>
void add_speaker(void *out, const char *vsid, const char *address, const char *name, const char *icon_type,
                 int audio_type) noexcept
{
    put(*static_cast<Out *>(out), Speaker{text(vsid), text(address), text(name), text(icon_type), audio(audio_type)});
}

inline void add_last_speaker(void *out, bool connected, const char *address, const char *name,
                             const char *icon_type, int audio_type) noexcept
{
    static_cast<std::vector<LastSpeaker> *>(out)->push_back(
        {connected, text(address), text(name), text(icon_type), audio(audio_type)});
}

inline void add_info_sync_device(void *out, const char *address, const char *name) noexcept
{
    static_cast<std::vector<InfoSyncDevice> *>(out)->push_back({text(address), text(name)});
}

template <class T>
Result<T> speaker_read(int rc, int failure, T value) noexcept
{
    return rc == int(Error::None) ? Result<T>(value) : Result<T>(Failure(rc, FailureKind(failure)));
}

inline void add_speaker_volume(void *out, const char *vsid, const char *address, const char *name,
                               const char *icon_type, int audio_type, int volume_result, int volume,
                               int volume_failure, int controllable_result, bool controllable,
                               int controllable_failure) noexcept
{
    static_cast<std::vector<SpeakerVolume> *>(out)->push_back(
        {Speaker{text(vsid), text(address), text(name), text(icon_type), audio(audio_type)},
         speaker_read<int>(volume_result, volume_failure, volume),
         speaker_read<bool>(controllable_result, controllable_failure, controllable)});
}

/* The values of a GSList of records, visited by @p walk. */
template <class Value, class Visit>
std::vector<Value> values(const GSList *head, void (*walk)(const GSList *, Visit, void *) noexcept, Visit visit)
{
    std::vector<Value> out;
    out.reserve(halvo_cxx_list_length(head));
    walk(head, visit, &out);
    return out;
}

inline std::vector<Device> device_list(const GSList *head)
{
    return values<Device>(head, &halvo_cxx_walk_devices, &add_device<std::vector<Device>>);
}

inline std::vector<Speaker> speaker_list(const GSList *head)
{
    return values<Speaker>(head, &halvo_cxx_walk_speakers, &add_speaker<std::vector<Speaker>>);
}

inline std::vector<LastSpeaker> last_speaker_list(const GSList *head)
{
    return values<LastSpeaker>(head, &halvo_cxx_walk_last_speakers, &add_last_speaker);
}

inline std::vector<InfoSyncDevice> info_sync_list(const GSList *head)
{
    return values<InfoSyncDevice>(head, &halvo_cxx_walk_info_sync_devices, &add_info_sync_device);
}

inline std::vector<SpeakerVolume> speaker_volume_list(const GSList *head)
{
    return values<SpeakerVolume>(head, &halvo_cxx_walk_speaker_volumes, &add_speaker_volume);
}

/* Frees a GSList of records with its C free function on every path. */
class List {
  public:
    explicit List(int (*release)(GSList **) noexcept) noexcept : release_(release) {}
    ~List()
    {
        if (head)
            release_(&head);
    }
    List(const List &) = delete;
    List &operator=(const List &) = delete;
    GSList *head = nullptr;

  private:
    int (*release_)(GSList **) noexcept;
};

inline int free_devices(GSList **list) noexcept
{
    return halvo_free_paired_dev_info_list(*list);
}

/* Bytes the library handed out with g_malloc. */
inline std::vector<std::uint8_t> take_bytes(char *data, int length)
{
    std::vector<std::uint8_t> out;
    if (data && length > 0)
        out.assign(data, data + length);
    halvo_cxx_free(data);
    return out;
}

/* Readers: each calls @p f (a blocking C function or a _finish) with
 * @p in... and its outputs, and makes the C++ value of what came back, so
 * that both ways of running an operation share them. */
template <class T, class F, class... In>
Result<T> value_out(F f, In... in) noexcept
{
    T v{};
    int rc = f(in..., &v);
    return rc == int(Error::None) ? Result<T>(v) : Result<T>(failed(rc));
}

template <class Value, class F, class... In>
Result<std::vector<Value>> list_out(int (*release)(GSList **) noexcept, std::vector<Value> (*convert)(const GSList *),
                                    F f, In... in) noexcept
{
    List list(release);
    auto rc = f(in..., &list.head);
    if (!succeeded(rc))
        return failure_of(rc);
    return convert(list.head);
}

template <class F, class... In>
Result<Device> device_out(F f, In... in) noexcept
{
    std::optional<Device> device;
    int rc = f(in..., &add_device<std::optional<Device>>, &device);
    if (rc != int(Error::None))
        return failed(rc);
    if (!device)
        return Failure(int(Error::OperationFailed));
    return std::move(*device);
}

template <class F, class... In>
Result<ManufacturerData> bytes_out(F f, In... in) noexcept
{
    char *data = nullptr;
    int length = 0;
    int rc = f(in..., &data, &length);
    if (rc != int(Error::None)) {
        Failure why = failed(rc);
        halvo_cxx_free(data);
        return why;
    }
    return ManufacturerData{std::nullopt, take_bytes(data, length)};
}

template <class F, class... In>
Result<ManufacturerData> option_bytes_out(F f, In... in) noexcept
{
    int option = 0;
    Result<ManufacturerData> r = bytes_out(f, in..., &option);
    if (r)
        r->option = option;
    return r;
}

template <class F, class... In>
CommandReply command_out(F f, In... in) noexcept
{
    char *response = nullptr;
    int rc = f(in..., &response);
    CommandReply reply{outcome(rc), text(response)};
    halvo_cxx_free(response);
    return reply;
}

template <class F, class... In>
Result<std::string> path_out(F f, In... in) noexcept
{
    char *path = nullptr;
    int rc = f(in..., &path);
    if (rc != int(Error::None)) {
        Failure why = failed(rc);
        std::free(path);
        return why;
    }
    std::optional<std::string> out = text(path);
    std::free(path);
    return out ? Result<std::string>(std::move(*out)) : Result<std::string>(Failure(int(Error::OperationFailed)));
}

/* The don't-use mark: the answer is the value, -1 a failure. */
inline Result<int> mark_of(int status) noexcept
{
    if (status == -1)
        return failed(int(Error::OperationFailed), "the service answered -1",
                      "no reply or an error reply from the service");
    return status;
}

inline Result<void> accepted_of(const char *answer) noexcept
{
    if (view(answer) == "OK")
        return Result<void>();
    constexpr const char *refused = "the update manager did not accept the update";
    return failed(int(Error::OperationFailed), refused, refused);
}

inline bool collect_blocked(const char *address, char *name, void *out) noexcept
{
    static_cast<std::vector<BlockedDevice> *>(out)->push_back({text(address), text(name)});
    return true;
}

inline Result<std::vector<BlockedDevice>> blocked_of(int rc, std::vector<BlockedDevice> &out) noexcept
{
    if (rc != int(Error::None))
        return failed(rc);
    return std::move(out);
}

/* What a call whose inputs this layer refused gives. */
template <class R>
R refused() noexcept
{
    if constexpr (std::is_same<R, CommandReply>::value)
        return CommandReply{invalid(), std::nullopt};
    else
        return invalid();
}

} // namespace detail
} // inline namespace v1
} // namespace halvo
/** @endcond */

#endif /* HALVO_DETAIL_CONVERT_HPP */
