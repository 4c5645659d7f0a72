/* sim.h - halvo-sim: the Bluetooth application service and its update
 * manager, simulated for developers who have no television at hand.
 *
 * One State holds everything the service knows; the service layer
 * (service.cpp) turns method calls into State operations, and the State
 * publishes every change twice: into the configuration store and as a
 * signal on the bus.  Everything runs in the main thread's main loop. */
#ifndef HALVO_SIM_H
#define HALVO_SIM_H

#include "halvo-api-private.h" /* service names and the C-handle owners */
#include "store-keys.h"

#include <json-glib/json-glib.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

/* The service's own result codes; they mean what the library's codes mean. */
enum { OK = 0, INVALID = 3, FAILED = 5 };

struct Device {
    std::string address, name, service_name, provider_name;
    bool connected = false;
    int profile = 0, vid = 0, pid = 0, type = 0;
};

/* A use / don't-use mark, kept per address (also for unpaired devices). */
struct Mark {
    std::string name;
    bool dontuse = false;
};

struct Speaker {
    std::string address, name, icon_type;
    int audio_type = 1; /* one-based, as stored */
    std::vector<std::string> vsid;
    int volume = 20;
    bool controllable = true;
    bool connected = false;
};

struct Earphone {
    std::string address, name;
    bool connected = false;
};

struct Manufacturer {
    int option = 0;
    Bytes data;
    std::map<int, Bytes> items; /* answers of the "specific" read, by option */
};

/* An action and its members, checked against the action table
 * (scenario.cpp): scripted, it fires @at_ms after the service is ready. */
struct Event {
    int at_ms = 0;
    std::string action;
    std::shared_ptr<JsonObject> fields;
};

/* Checks @o as an event and fills @e; the problems go to @errors, each
 * "WHERE.MEMBER: what is wrong". */
bool parse_event(JsonObject *o, const std::string &where, Event *e, std::vector<std::string> *errors);
/* A paired device from a "devices" entry or an add_device event that
 * parse_event accepted. */
Device device_from(JsonObject *o, bool *dontuse);

/* Fault injection, by method name; "*" stands for every method that has
 * no entry of its own. */
struct Fault {
    enum Kind { NONE, LATENCY, ERROR, SILENT } kind = NONE;
    int ms = 0;
};
struct Faults {
    std::map<std::string, Fault> by_method;
    Fault of(const std::string &method) const;
};

/* What the State needs from the bus: emitting one signal. */
using Emit = std::function<void(const char *name, GVariant *params)>;

class State {
  public:
    /* Loads a scenario; false with @error set when the file is unusable. */
    bool load(const std::string &path, std::string *error);
    /* Replaces this state by a scenario's, keeping the emitter; nothing
     * changes when the file is unusable. */
    bool replace(const std::string &path, std::string *error);
    /* The whole state as a scenario file (without events). */
    std::string scenario_json() const;

    /* Writes every store document from the starting state. */
    void publish_all();
    /* Arms the scripted events (relative to now). */
    void start_events();
    void stop_timers();
    /* Runs @e now, or arms it when it has a delay; a non-empty result says
     * why it found nothing to act on. */
    std::string run(const Event &e);

    void set_emitter(Emit emit) { emit_ = std::move(emit); }
    void set_verbose(bool v) { verbose_ = v; }
    Faults &faults() { return faults_; }

    /* ---- Paired devices and policy ---- */
    std::string devices_json() const;
    std::string device_json(const std::string &address) const;
    int device_type(const std::string &address) const;
    std::string dontuse_list_json() const;
    int get_dontuse(const std::string &address) const;
    int set_dontuse(const std::string &json);
    int remove_dontuse(const std::string &address);

    /* ---- Vendor data, test mode, firmware ---- */
    int custom_command(const std::string &command, std::string *response) const;
    int write_manufacturer(int length, int link_type, const std::string &address, const Bytes &data);
    int read_manufacturer(const std::string &address, int *option, Bytes *data) const;
    int read_specific_manufacturer(const std::string &address, int option, Bytes *data) const;
    int parse_manufacturer(int length, int link_type, int option, const Bytes &data, Bytes *out) const;
    int enter_dut(const std::string *params_json);
    int stop_dut();
    int start_fw_update();

    /* ---- Speakers ---- */
    int set_speaker_info(const std::string &json);
    int connect_last(bool show_ui);
    int disconnect_last();
    int get_volume(const std::string &address, int *volume) const;
    int get_controllable(const std::string &address, int *flag) const;
    int set_volume(const std::string &address, int volume);
    int num_connected() const;
    int toggle_mute();
    int step_volume(int sign);
    std::string icon_path(const std::string &icon_type) const;
    int replace_speaker(const std::string &address);

    /* ---- Earphones ---- */
    int switch_earphone(const std::string &address, bool connect);

    /* A time-stamped line on stdout (unless quiet). */
    void log(const char *fmt, ...) const G_GNUC_PRINTF(2, 3);

  private:
    void emit(const char *name, GVariant *params);
    unsigned later(int ms, std::function<void()> fn);

    Speaker *speaker(const std::string &address);
    const Speaker *speaker(const std::string &address) const;
    void set_device_connected(const std::string &address, bool connected);
    void connect_speaker(Speaker &s);
    void disconnect_speaker(Speaker &s, bool announce);
    void touch_last(const std::string &address);
    void publish_speakers();
    void publish_mute();
    void emit_volume(const Speaker &s);
    void emit_speaker_info(const Speaker *s);

    /* Read, change and write a stored object document that the library
     * also edits in place (info-sync, blocked devices). */
    void edit_store_object(const char *key, const std::function<void(JsonObject *)> &change);

    std::string fire(const Event &e);
    std::string apply(const Event &e);

    std::vector<Device> devices_;
    std::map<std::string, Mark> marks_;
    std::vector<Speaker> speakers_;
    std::vector<std::string> last_; /* addresses, most recent first */
    std::vector<Earphone> earphones_;
    std::map<std::string, Manufacturer> manufacturer_;
    std::map<std::string, std::string> commands_, icons_;
    std::string icon_root_ = "/usr/share/halvo/resources";
    std::string info_sync_doc_, blocked_doc_;
    std::vector<Event> events_;
    Faults faults_;

    bool mute_ = false;
    int volume_step_ = 5;
    int last_max_ = 5;
    int reconnect_ms_ = 800;
    std::string reconnect_result_ = "Connected";
    bool reconnecting_ = false;
    int earphone_ms_ = 300;

    bool dut_ = false;
    std::string dut_params_;

    bool fw_accept_ = true;
    std::string fw_result_ = "OK";
    int fw_delay_ms_ = 2000;
    bool fw_running_ = false;

    bool verbose_ = true;
    Emit emit_;
    std::set<unsigned> timers_;
};

} // namespace sim

#endif
