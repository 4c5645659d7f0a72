/* state.cpp - the simulated service's state and what it does with it.
 * Every change is published: the store documents are rewritten and the
 * matching signal goes out, in that order, so a client that reacts to the
 * signal already reads the new documents. */
#include "sim.h"

#include "hex.h"
#include "json-writer.h"
#include "valko.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

using namespace halvo_core;

namespace sim {

namespace {

using Json = tools::JsonWriter;

/* Parses @text into an object root; nullptr for anything else. */
JsonObject *parse_object(JsonParser *parser, const std::string &text)
{
    if (text.empty() || !json_parser_load_from_data(parser, text.c_str(), -1, nullptr))
        return nullptr;
    JsonNode *root = json_parser_get_root(parser);
    return root && JSON_NODE_HOLDS_OBJECT(root) ? json_node_get_object(root) : nullptr;
}

bool member_string(JsonObject *o, const char *name, std::string *out)
{
    JsonNode *n = o && json_object_has_member(o, name) ? json_object_get_member(o, name) : nullptr;
    if (!n || !JSON_NODE_HOLDS_VALUE(n) || json_node_get_value_type(n) != G_TYPE_STRING)
        return false;
    *out = json_node_get_string(n);
    return true;
}

bool member_int(JsonObject *o, const char *name, gint64 *out)
{
    JsonNode *n = o && json_object_has_member(o, name) ? json_object_get_member(o, name) : nullptr;
    if (!n || !JSON_NODE_HOLDS_VALUE(n) || json_node_get_value_type(n) != G_TYPE_INT64)
        return false;
    *out = json_node_get_int(n);
    return true;
}

bool member_bool(JsonObject *o, const char *name, bool *out)
{
    JsonNode *n = o && json_object_has_member(o, name) ? json_object_get_member(o, name) : nullptr;
    if (!n || !JSON_NODE_HOLDS_VALUE(n) || json_node_get_value_type(n) != G_TYPE_BOOLEAN)
        return false;
    *out = json_node_get_boolean(n);
    return true;
}

void speaker_object(Json &j, const Speaker &s)
{
    j.obj().arr("vsid");
    for (const auto &v : s.vsid)
        j.s(nullptr, v);
    j.end_arr().s("address", s.address).s("name", s.name).s("iconType", s.icon_type).i("audioType", s.audio_type).end_obj();
}

} // namespace

void State::log(const char *fmt, ...) const
{
    if (!verbose_)
        return;
    va_list ap;
    va_start(ap, fmt);
    GString_ text(g_strdup_vprintf(fmt, ap));
    va_end(ap);
    GDateTime *now = g_date_time_new_now_local();
    GString_ stamp(g_date_time_format(now, "%H:%M:%S.%f"));
    g_date_time_unref(now);
    stamp.get()[12] = '\0'; /* milliseconds */
    printf("%s %s\n", stamp.get(), text.get());
    fflush(stdout);
}

void State::emit(const char *name, GVariant *params)
{
    Variant owned(g_variant_ref_sink(params));
    GString_ text(g_variant_print(owned.get(), FALSE));
    log("signal %s %s", name, text.get());
    if (emit_)
        emit_(name, owned.get());
}

unsigned State::later(int ms, std::function<void()> fn)
{
    struct Job {
        State *self;
        std::function<void()> fn;
        unsigned id;
    };
    Job *job = new Job{this, std::move(fn), 0};
    job->id = g_timeout_add_full(
        G_PRIORITY_DEFAULT, guint(std::max(ms, 0)),
        [](gpointer p) -> gboolean {
            Job *j = static_cast<Job *>(p);
            j->self->timers_.erase(j->id);
            j->fn();
            return G_SOURCE_REMOVE;
        },
        job, [](gpointer p) { delete static_cast<Job *>(p); });
    timers_.insert(job->id);
    return job->id;
}

void State::stop_timers()
{
    for (unsigned id : timers_)
        g_source_remove(id);
    timers_.clear();
}

/* ------------------------------------------------------------------ */
/* Publishing                                                           */
/* ------------------------------------------------------------------ */

void State::publish_all()
{
    publish_speakers();
    publish_mute();
    valko_set_str(STORE_KEY_INFO_SYNC, info_sync_doc_.empty() ? "{}" : info_sync_doc_.c_str());
    valko_set_str(STORE_KEY_BLOCKED, blocked_doc_.c_str());
}

void State::publish_speakers()
{
    Json out;
    out.arr();
    std::string addrs;
    for (const auto &s : speakers_) {
        if (!s.connected)
            continue;
        speaker_object(out, s);
        addrs += (addrs.empty() ? "" : ",") + s.address;
    }
    out.end_arr();
    valko_set_str(STORE_KEY_SOUNDOUTPUT, out.text().c_str());
    valko_set_str(STORE_KEY_CONNECTED_ADDRS, addrs.c_str());

    Json last;
    last.arr();
    for (const auto &a : last_) {
        const Speaker *s = speaker(a);
        if (s)
            last.obj().s("address", s->address).s("name", s->name).s("iconType", s->icon_type)
                .i("audioType", s->audio_type).b("connected", s->connected).end_obj();
    }
    last.end_arr();
    valko_set_str(STORE_KEY_LAST_LIST, last.text().c_str());
}

void State::publish_mute() { valko_set_int(STORE_KEY_MUTE, mute_ ? 1 : 0); }

void State::emit_volume(const Speaker &s)
{
    emit("bt_spk_volume_changed_by_address", g_variant_new("(si)", s.address.c_str(), s.volume));
}

void State::emit_speaker_info(const Speaker *s)
{
    std::string text = "null";
    if (s) {
        Json j;
        speaker_object(j, *s);
        text = j.text();
    }
    emit("bt_spk_info_changed", g_variant_new("(s)", text.c_str()));
}

void State::edit_store_object(const char *key, const std::function<void(JsonObject *)> &change)
{
    CString stored(valko_get_str(key));
    Object<JsonParser> parser(json_parser_new());
    JsonObject *doc = parse_object(parser.get(), stored ? stored.get() : "");
    JsonObject *obj = doc ? json_object_ref(doc) : json_object_new();
    change(obj);
    std::string text;
    if (json_object_get_size(obj) > 0) {
        JsonNode *root = json_node_init_object(json_node_alloc(), obj);
        Object<JsonGenerator> gen(json_generator_new());
        json_generator_set_root(gen.get(), root);
        GString_ t(json_generator_to_data(gen.get(), nullptr));
        text = t.get();
        json_node_unref(root);
    } else if (strcmp(key, STORE_KEY_INFO_SYNC) == 0) {
        text = "{}"; /* only the blocked list spells "none" as an empty text */
    }
    json_object_unref(obj);
    valko_set_str(key, text.c_str());
}

/* ------------------------------------------------------------------ */
/* Paired devices and policy                                            */
/* ------------------------------------------------------------------ */

static void device_object(Json &j, const Device &d, bool dontuse, const char *member = nullptr)
{
    j.obj(member).s("address", d.address).s("name", d.name).s("serviceName", d.service_name)
        .s("providerName", d.provider_name).b("connect", d.connected).b("usedontuse", dontuse)
        .i("pid", d.pid).i("vid", d.vid).i("profile", d.profile).end_obj();
}


std::string State::devices_json() const
{
    Json j;
    j.obj().b("result", true).obj("data").arr("Devices");
    for (const auto &d : devices_) {
        auto m = marks_.find(d.address);
        device_object(j, d, m != marks_.end() && m->second.dontuse);
    }
    j.end_arr().end_obj().end_obj();
    return j.text();
}

std::string State::device_json(const std::string &address) const
{
    Json j;
    for (const auto &d : devices_) {
        if (d.address != address)
            continue;
        auto m = marks_.find(d.address);
        j.obj().b("result", true);
        device_object(j, d, m != marks_.end() && m->second.dontuse, "data");
        j.end_obj();
        return j.text();
    }
    j.obj().b("result", false).end_obj();
    return j.text();
}

int State::device_type(const std::string &address) const
{
    for (const auto &d : devices_)
        if (d.address == address)
            return d.type;
    return 0;
}

std::string State::dontuse_list_json() const
{
    Json j;
    j.obj().arr("DontUseDevices");
    for (const auto &m : marks_)
        if (m.second.dontuse)
            j.obj().s("name", m.second.name).s("address", m.first).end_obj();
    j.end_arr().end_obj();
    return j.text();
}

/* 1: marked as not to be used; 0: usable (also when nothing is marked). */
int State::get_dontuse(const std::string &address) const
{
    auto m = marks_.find(address);
    return m != marks_.end() && m->second.dontuse ? 1 : 0;
}

/* The mark document: {"address", "name", "status"}, status true = use. */
int State::set_dontuse(const std::string &json)
{
    Object<JsonParser> parser(json_parser_new());
    JsonObject *o = parse_object(parser.get(), json);
    std::string address, name;
    bool use = false;
    if (!o || !member_string(o, "address", &address) || address.empty() || !member_bool(o, "status", &use)) {
        log("set_use_dontuse: unusable mark document");
        return 0;
    }
    member_string(o, "name", &name);
    marks_[address] = Mark{name, !use};
    log("device %s marked %s", address.c_str(), use ? "use" : "don't use");
    return 1;
}

int State::remove_dontuse(const std::string &address)
{
    if (marks_.erase(address) == 0)
        return 0;
    log("device %s: mark removed", address.c_str());
    return 1;
}

/* ------------------------------------------------------------------ */
/* Vendor data, test mode, firmware                                     */
/* ------------------------------------------------------------------ */

int State::custom_command(const std::string &command, std::string *response) const
{
    auto canned = commands_.find(command);
    if (canned != commands_.end()) {
        *response = canned->second;
        return OK;
    }
    if (command == "help") {
        std::string r = "commands: help, version, status, echo TEXT";
        for (const auto &c : commands_)
            r += ", " + c.first;
        *response = r;
        return OK;
    }
    if (command == "version") {
        *response = "halvo-sim " HALVO_SIM_VERSION;
        return OK;
    }
    if (command == "status") {
        int connected = num_connected();
        Json j;
        j.obj().i("paired", gint64(devices_.size())).i("connected_speakers", connected).b("muted", mute_)
            .b("dut", dut_).s("dut_params", dut_params_).b("fw_update_running", fw_running_).end_obj();
        *response = j.text();
        return OK;
    }
    if (command.rfind("echo ", 0) == 0) {
        *response = command.substr(5);
        return OK;
    }
    *response = "unknown command: " + command;
    return INVALID;
}

int State::write_manufacturer(int length, int link_type, const std::string &address, const Bytes &data)
{
    if (address.empty() || length < 1 || size_t(length) != data.size())
        return INVALID;
    manufacturer_[address].data = data;
    log("manufacturer data of %s (link type %d): %s", address.c_str(), link_type, tools::hex_text(data.data(), data.size()).c_str());
    return OK;
}

int State::read_manufacturer(const std::string &address, int *option, Bytes *data) const
{
    auto m = manufacturer_.find(address);
    if (m == manufacturer_.end())
        return INVALID;
    *option = m->second.option;
    *data = m->second.data;
    return OK;
}

int State::read_specific_manufacturer(const std::string &address, int option, Bytes *data) const
{
    auto m = manufacturer_.find(address);
    if (m == manufacturer_.end())
        return INVALID;
    auto item = m->second.items.find(option);
    if (item == m->second.items.end())
        return INVALID;
    *data = item->second;
    return OK;
}

/* Walks advertising structures (length, type, payload) and answers the
 * payload of the first one of type @option (0 or less: 0xff, the
 * manufacturer-specific type). */
int State::parse_manufacturer(int length, int link_type, int option, const Bytes &data, Bytes *out) const
{
    (void)link_type;
    if (length < 1 || size_t(length) != data.size())
        return INVALID;
    int wanted = option > 0 ? option : 0xff;
    size_t i = 0;
    while (i < data.size()) {
        size_t len = data[i];
        if (len == 0 || i + 1 + len > data.size())
            break;
        if (data[i + 1] == wanted) {
            out->assign(data.begin() + long(i) + 2, data.begin() + long(i) + 1 + long(len));
            return OK;
        }
        i += 1 + len;
    }
    return FAILED;
}

int State::enter_dut(const std::string *params_json)
{
    if (params_json) {
        Object<JsonParser> parser(json_parser_new());
        JsonObject *o = parse_object(parser.get(), *params_json);
        std::string side, mode;
        gint64 channel = 0, power = 0;
        if (!o || !member_string(o, "test_side", &side) || !member_string(o, "test_mode", &mode) ||
            !member_int(o, "test_channel", &channel) || !member_int(o, "test_power", &power)) {
            log("enter_bt_dut_mode_with_ui: unusable test parameters");
            return 0;
        }
        /* 79 classic channels; power in dBm as the controller takes it. */
        if (channel < 0 || channel > 78 || power < -20 || power > 20) {
            log("enter_bt_dut_mode_with_ui: channel %lld or power %lld out of range", (long long)channel,
                (long long)power);
            return 0;
        }
        dut_params_ = *params_json;
    } else {
        dut_params_.clear();
    }
    dut_ = true;
    log("device-under-test mode entered%s%s", params_json ? " with " : "", dut_params_.c_str());
    return 1;
}

int State::stop_dut()
{
    if (!dut_)
        return 0;
    dut_ = false;
    dut_params_.clear();
    log("device-under-test mode stopped");
    return 1;
}

/* The request answers at once (0: accepted); the outcome follows as the
 * result signal. */
int State::start_fw_update()
{
    if (!fw_accept_)
        return 1;
    if (fw_running_)
        return 2;
    fw_running_ = true;
    log("remote-control firmware update started, result in %d ms", fw_delay_ms_);
    later(fw_delay_ms_, [this] {
        fw_running_ = false;
        emit("zemo_fw_update_result", g_variant_new("(s)", fw_result_.c_str()));
    });
    return 0;
}

/* ------------------------------------------------------------------ */
/* Speakers                                                             */
/* ------------------------------------------------------------------ */

Speaker *State::speaker(const std::string &address)
{
    for (auto &s : speakers_)
        if (s.address == address)
            return &s;
    return nullptr;
}

const Speaker *State::speaker(const std::string &address) const
{
    return const_cast<State *>(this)->speaker(address);
}

void State::touch_last(const std::string &address)
{
    last_.erase(std::remove(last_.begin(), last_.end(), address), last_.end());
    last_.insert(last_.begin(), address);
    if (last_.size() > size_t(last_max_))
        last_.resize(size_t(last_max_));
}

/* A speaker that is also a paired device shows the same connection there. */
void State::set_device_connected(const std::string &address, bool connected)
{
    for (auto &d : devices_)
        if (d.address == address)
            d.connected = connected;
}

void State::connect_speaker(Speaker &s)
{
    if (s.connected)
        return;
    s.connected = true;
    set_device_connected(s.address, true);
    touch_last(s.address);
    log("speaker %s (%s) connected", s.address.c_str(), s.name.c_str());
    publish_speakers();
    emit_speaker_info(&s);
}

void State::disconnect_speaker(Speaker &s, bool announce)
{
    if (!s.connected)
        return;
    s.connected = false;
    set_device_connected(s.address, false);
    log("speaker %s (%s) disconnected", s.address.c_str(), s.name.c_str());
    publish_speakers();
    if (announce)
        emit_speaker_info(nullptr);
}

/* {"address", "name", "iconType", "audioType", "vsid"}: vsid is one
 * identifier, added to the speaker's list. */
int State::set_speaker_info(const std::string &json)
{
    Object<JsonParser> parser(json_parser_new());
    JsonObject *o = parse_object(parser.get(), json);
    std::string address, name, icon, vsid;
    gint64 audio = 0;
    if (!o || !member_string(o, "address", &address) || address.empty() || !member_string(o, "name", &name) ||
        !member_string(o, "iconType", &icon) || !member_int(o, "audioType", &audio))
        return INVALID;
    member_string(o, "vsid", &vsid);
    Speaker *s = speaker(address);
    if (!s) {
        speakers_.push_back(Speaker{});
        s = &speakers_.back();
        s->address = address;
    }
    s->name = name;
    s->icon_type = icon;
    s->audio_type = int(audio);
    if (!vsid.empty() && std::find(s->vsid.begin(), s->vsid.end(), vsid) == s->vsid.end())
        s->vsid.push_back(vsid);
    log("speaker %s information set", address.c_str());
    publish_speakers();
    emit_speaker_info(s);
    return OK;
}

/* Answers at once; "InProgress" now, the outcome after the delay. */
int State::connect_last(bool show_ui)
{
    if (reconnecting_)
        return OK;
    reconnecting_ = true;
    log("reconnecting the last speakers%s", show_ui ? " (connecting UI shown)" : "");
    emit("last_connecting_status_changed", g_variant_new("(s)", "InProgress"));
    later(reconnect_ms_, [this] {
        reconnecting_ = false;
        bool ok = reconnect_result_ == "Connected" && !last_.empty();
        if (ok) {
            /* The most recent speaker first, the way the list is kept. */
            std::vector<std::string> order(last_);
            for (auto it = order.rbegin(); it != order.rend(); ++it)
                if (Speaker *s = speaker(*it))
                    connect_speaker(*s);
        }
        emit("last_connecting_status_changed",
             g_variant_new("(s)", ok ? "Connected" : (reconnect_result_ == "Connected" ? "Failed" : reconnect_result_.c_str())));
    });
    return OK;
}

int State::disconnect_last()
{
    bool any = false;
    for (auto &s : speakers_) {
        if (s.connected && std::find(last_.begin(), last_.end(), s.address) != last_.end()) {
            disconnect_speaker(s, false);
            any = true;
        }
    }
    if (any)
        emit_speaker_info(nullptr);
    return OK;
}

int State::get_volume(const std::string &address, int *volume) const
{
    const Speaker *s = speaker(address);
    if (!s)
        return INVALID;
    *volume = s->volume;
    return s->connected ? OK : FAILED;
}

int State::get_controllable(const std::string &address, int *flag) const
{
    const Speaker *s = speaker(address);
    if (!s)
        return INVALID;
    *flag = s->controllable ? 1 : 0;
    return OK;
}

int State::set_volume(const std::string &address, int volume)
{
    Speaker *s = speaker(address);
    if (!s || volume < 0 || volume > 100)
        return INVALID;
    if (!s->connected || !s->controllable)
        return FAILED;
    if (s->volume != volume) {
        s->volume = volume;
        emit_volume(*s);
    }
    return OK;
}

int State::num_connected() const
{
    return int(std::count_if(speakers_.begin(), speakers_.end(), [](const Speaker &s) { return s.connected; }));
}

int State::toggle_mute()
{
    mute_ = !mute_;
    log("speakers %s", mute_ ? "muted" : "unmuted");
    publish_mute();
    return OK;
}

/* Steps every connected speaker whose volume can be controlled. */
int State::step_volume(int sign)
{
    bool any = false;
    for (auto &s : speakers_) {
        if (!s.connected || !s.controllable)
            continue;
        any = true;
        int v = std::clamp(s.volume + sign * volume_step_, 0, 100);
        if (v != s.volume) {
            s.volume = v;
            emit_volume(s);
        }
    }
    return any ? OK : FAILED;
}

std::string State::icon_path(const std::string &icon_type) const
{
    auto it = icons_.find(icon_type);
    if (it == icons_.end())
        it = icons_.find("default");
    std::string name = it != icons_.end() ? it->second : "i_icon_device_m_bt_speaker";
    return icon_root_ + "/" + name + ".png";
}

/* The given speaker takes over from whatever is playing now. */
int State::replace_speaker(const std::string &address)
{
    Speaker *target = speaker(address);
    if (!target)
        return INVALID;
    for (auto &s : speakers_)
        if (s.connected && s.address != address)
            disconnect_speaker(s, false);
    if (target->connected)
        emit_speaker_info(target);
    else
        connect_speaker(*target);
    return OK;
}

/* ------------------------------------------------------------------ */
/* Earphones                                                            */
/* ------------------------------------------------------------------ */

int State::switch_earphone(const std::string &address, bool connect)
{
    auto e = std::find_if(earphones_.begin(), earphones_.end(), [&](const Earphone &x) { return x.address == address; });
    if (e == earphones_.end())
        return INVALID;
    std::string addr = address;
    later(earphone_ms_, [this, addr, connect] {
        for (auto &x : earphones_) {
            if (x.address != addr)
                continue;
            x.connected = connect;
            log("earphones %s (%s) %s", x.address.c_str(), x.name.c_str(), connect ? "connected" : "disconnected");
            emit("tuvo_swtiching_connection_state_changed", g_variant_new("(isi)", OK, addr.c_str(), connect ? 1 : 0));
        }
    });
    return OK;
}

/* ------------------------------------------------------------------ */
/* Scripted events                                                      */
/* ------------------------------------------------------------------ */

Fault Faults::of(const std::string &method) const
{
    auto f = by_method.find(method);
    if (f == by_method.end())
        f = by_method.find("*");
    return f != by_method.end() ? f->second : Fault{};
}

void State::start_events()
{
    for (const auto &e : events_)
        later(e.at_ms, [this, e] { fire(e); });
}

std::string State::run(const Event &e)
{
    if (e.at_ms <= 0)
        return fire(e);
    later(e.at_ms, [this, e] { fire(e); });
    return "";
}

/* "event volume address=A0:B1:C2:00:20:02 volume=33", and what went wrong. */
std::string State::fire(const Event &e)
{
    std::string members;
    GList *names = json_object_get_members(e.fields.get());
    for (GList *l = names; l; l = l->next) {
        auto *name = static_cast<const char *>(l->data);
        JsonNode *n = json_object_get_member(e.fields.get(), name);
        if (!strcmp(name, "action") || !strcmp(name, "at_ms") || !JSON_NODE_HOLDS_VALUE(n))
            continue;
        GValue v = G_VALUE_INIT;
        json_node_get_value(n, &v);
        GString_ text(G_VALUE_HOLDS_STRING(&v) ? g_value_dup_string(&v) : g_strdup_value_contents(&v));
        g_value_unset(&v);
        members += std::string(" ") + name + "=" + text.get();
    }
    g_list_free(names);
    log("event %s%s", e.action.c_str(), members.c_str());
    std::string problem = apply(e);
    if (!problem.empty())
        log("event %s: %s", e.action.c_str(), problem.c_str());
    return problem;
}

std::string State::apply(const Event &e)
{
    JsonObject *f = e.fields.get();
    auto text = [f](const char *name, const char *def = "") {
        std::string v = def;
        member_string(f, name, &v);
        return v;
    };
    auto number = [f](const char *name) {
        gint64 v = 0;
        member_int(f, name, &v);
        return int(v);
    };
    auto flag = [f](const char *name) {
        bool v = false;
        member_bool(f, name, &v);
        return v;
    };
    const std::string address = text("address"), name = text("name");
    Speaker *s = address.empty() ? nullptr : speaker(address);
    const std::string &a = e.action;
    if (a == "add_device" || a == "remove_device") {
        auto d = std::find_if(devices_.begin(), devices_.end(), [&](const Device &x) { return x.address == address; });
        if (a == "remove_device") {
            if (d == devices_.end())
                return "no paired device " + address;
            devices_.erase(d);
            return "";
        }
        bool dontuse = false;
        Device added = device_from(f, &dontuse);
        if (dontuse)
            marks_[address] = Mark{added.name, true};
        if (d != devices_.end())
            *d = added;
        else
            devices_.push_back(added);
    } else if (a == "connect_speaker" || a == "disconnect_speaker" || a == "speaker_info") {
        if (!s) {
            speakers_.push_back(Speaker{});
            s = &speakers_.back();
            s->address = address;
            s->name = name.empty() ? address : name;
            s->icon_type = "SP";
        } else if (!name.empty()) {
            s->name = name;
        }
        if (a == "connect_speaker") {
            connect_speaker(*s);
        } else if (a == "disconnect_speaker") {
            disconnect_speaker(*s, true);
        } else {
            s->icon_type = text("iconType", s->icon_type.c_str());
            if (json_object_has_member(f, "audioType"))
                s->audio_type = number("audioType");
            publish_speakers();
            emit_speaker_info(s);
        }
    } else if (a == "volume" || a == "controllable") {
        if (!s)
            return "no speaker " + address;
        if (a == "controllable") {
            s->controllable = flag("controllable");
            emit("bt_spk_volume_controlable_changed_by_address",
                 g_variant_new("(si)", s->address.c_str(), s->controllable ? 1 : 0));
        } else if (s->volume != number("volume")) {
            /* Turned on the speaker itself: the service reports it. */
            s->volume = number("volume");
            emit_volume(*s);
        }
    } else if (a == "mute") {
        if (mute_ != flag("mute"))
            toggle_mute();
    } else if (a == "block" || a == "unblock") {
        bool block = a == "block";
        edit_store_object(STORE_KEY_BLOCKED, [&](JsonObject *doc) {
            if (!block) {
                if (json_object_has_member(doc, address.c_str()))
                    json_object_remove_member(doc, address.c_str());
                return;
            }
            JsonObject *dev = json_object_new();
            json_object_set_boolean_member(dev, "isBlocked", true);
            json_object_set_string_member(dev, "name", name.c_str());
            json_object_set_object_member(doc, address.c_str(), dev);
        });
    } else if (a == "info_sync_add") {
        std::string key = text("key");
        if (key.empty())
            key = address;
        edit_store_object(STORE_KEY_INFO_SYNC, [&](JsonObject *doc) {
            JsonObject *dev = json_object_new();
            json_object_set_string_member(dev, "address", address.c_str());
            json_object_set_string_member(dev, "name", name.c_str());
            json_object_set_boolean_member(dev, "deleted_on_tv", false);
            json_object_set_object_member(doc, key.c_str(), dev);
        });
    } else if (a == "earphone") {
        emit("tuvo_swtiching_connection_state_changed",
             g_variant_new("(isi)", number("result"), address.c_str(), flag("connected") ? 1 : 0));
    } else if (a == "fw_result") {
        std::string result = text("result");
        emit("zemo_fw_update_result", g_variant_new("(s)", result.empty() ? "OK" : result.c_str()));
    } else if (a == "connecting_status") {
        emit("last_connecting_status_changed", g_variant_new("(s)", text("status").c_str()));
    }
    return "";
}

} // namespace sim
