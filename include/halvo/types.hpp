/**
 * @file halvo/types.hpp
 * @brief The values the C++ API hands out: devices, speakers and the like.
 *
 * Plain values: what the C API gives as records and GSLists comes as
 * structs of std::string, std::optional and std::vector, which the caller
 * keeps or drops and never frees.  A field the service or the store left
 * out is empty.
 */
#ifndef HALVO_TYPES_HPP
#define HALVO_TYPES_HPP

#include <halvo/result.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace halvo {
inline namespace v1 {

/** One paired device, or an entry of the don't-use list (then only
 *  address and name are set). */
struct Device {
    std::optional<std::string> address;       /**< "address" */
    std::optional<std::string> name;          /**< "name" */
    bool dont_use = false;                    /**< marked as not to be used */
    bool connected = false;                   /**< "connect" */
    std::optional<int> profile;               /**< "profile" */
    int device_type = 0;                      /**< the service's device-type code; 0 unknown */
    std::optional<std::string> service_name;  /**< "serviceName" */
    std::optional<std::string> provider_name; /**< "providerName" */
    std::optional<int> vid;                   /**< "vid" */
    std::optional<int> pid;                   /**< "pid" */
};

/** One connected speaker. */
struct Speaker {
    std::optional<std::string> vsid;      /**< compact JSON text of the "vsid" string array */
    std::optional<std::string> address;   /**< "address" */
    std::optional<std::string> name;      /**< "name" */
    std::optional<std::string> icon_type; /**< two-character icon-type code */
    std::optional<int> audio_type;        /**< the stored "audioType" minus one */
};

/** One connected speaker with its volume, as a screen's refresh reads it
 *  (async::speakers_with_volumes()).  Each read has its own result: a
 *  failed one holds the service's result or the library's code, and the
 *  failure kind the library noted for that read (failure(), message()). */
struct SpeakerVolume {
    Speaker speaker;            /**< the stored record */
    Result<int> volume;         /**< its volume */
    Result<bool> controllable;  /**< whether its volume can be controlled */
};

/** A speaker's information as sent to the service. */
struct SpeakerInfo {
    std::string address;   /**< required */
    std::string name;      /**< required */
    std::string icon_type; /**< required */
    int audio_type = 0;    /**< zero-based; sent plus one */
};

/** One last-used speaker. */
struct LastSpeaker {
    bool connected = false;               /**< stored as connected and listed as connected now */
    std::optional<std::string> address;   /**< "address" */
    std::optional<std::string> name;      /**< "name" */
    std::optional<std::string> icon_type; /**< "iconType" */
    std::optional<int> audio_type;        /**< the stored "audioType" minus one */
};

/** One device whose information is synchronised with the television. */
struct InfoSyncDevice {
    std::optional<std::string> address; /**< "address" */
    std::optional<std::string> name;    /**< "name" */
};

/** One device whose pairing is blocked. */
struct BlockedDevice {
    std::optional<std::string> address; /**< its address */
    std::optional<std::string> name;    /**< its name */
};

/** Manufacturer data from the service. */
struct ManufacturerData {
    std::optional<int> option;        /**< the service's option value (read_manufacturer_data() only) */
    std::vector<std::uint8_t> bytes;  /**< the bytes, as many as the service reported */
};

/** The service's answer to a free-form command. */
struct CommandReply {
    Result<void> status;                 /**< success, the service's own result, or why no answer came */
    std::optional<std::string> response; /**< its response text, when one came */
};

/** What the connecting-status callback reports. */
enum class ConnectingStatus : int {
    InProgress = 1, /**< the service reports "InProgress" */
    Ended = 2,      /**< any other report */
};

} // inline namespace v1
} // namespace halvo

#endif /* HALVO_TYPES_HPP */
