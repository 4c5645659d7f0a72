/* scenario.cpp - the scenario file: loading the starting state and the
 * scripted events, checking an action (also one asked for on the control
 * interface), and writing a running state back out.  Every member is
 * kind-checked: a scenario with a typo in a value is refused with the
 * member's path, never half loaded. */
#include "sim.h"

#include "hex.h"
#include "json-writer.h"
#include "valko.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace halvo_core;

namespace sim {

namespace {

enum Kind { TEXT, NUMBER, FLAG };

/* A member of an action: its kind, whether it must be given, its range. */
struct Member {
    const char *name;
    Kind kind;
    bool required = false;
    int min = G_MININT32, max = G_MAXINT32;
};

/* Kind-checked access to a scenario's objects; collects every problem. */
class Reader {
  public:
    std::vector<std::string> errors;

    JsonNode *get(JsonObject *o, const char *name) const
    {
        return o && json_object_has_member(o, name) ? json_object_get_member(o, name) : nullptr;
    }

    std::string str(JsonObject *o, const char *name, const std::string &where, const std::string &def = "")
    {
        JsonNode *n = scalar(o, name, G_TYPE_STRING, where, "a string");
        return n ? json_node_get_string(n) : def;
    }

    int integer(JsonObject *o, const char *name, const std::string &where, int def = 0)
    {
        JsonNode *n = scalar(o, name, G_TYPE_INT64, where, "a 32-bit integer");
        if (!n)
            return def;
        gint64 v = json_node_get_int(n);
        if (v >= G_MININT32 && v <= G_MAXINT32)
            return int(v);
        bad(where, name, "a 32-bit integer");
        return def;
    }

    bool boolean(JsonObject *o, const char *name, const std::string &where, bool def = false)
    {
        JsonNode *n = scalar(o, name, G_TYPE_BOOLEAN, where, "true or false");
        return n ? json_node_get_boolean(n) : def;
    }

    JsonArray *array(JsonObject *o, const char *name, const std::string &where)
    {
        JsonNode *n = of_kind(o, name, JSON_NODE_ARRAY, where, "an array");
        return n ? json_node_get_array(n) : nullptr;
    }

    JsonObject *object(JsonObject *o, const char *name, const std::string &where)
    {
        JsonNode *n = of_kind(o, name, JSON_NODE_OBJECT, where, "an object");
        return n ? json_node_get_object(n) : nullptr;
    }

    /* Calls @fn with each element of @a that is an object. */
    void objects(JsonArray *a, const std::string &where, const std::function<void(JsonObject *, const std::string &)> &fn)
    {
        if (!a)
            return;
        for (guint i = 0; i < json_array_get_length(a); i++) {
            std::string at = where + "[" + std::to_string(i) + "]";
            JsonNode *n = json_array_get_element(a, i);
            if (!JSON_NODE_HOLDS_OBJECT(n)) {
                errors.push_back(at + ": expected an object");
                continue;
            }
            fn(json_node_get_object(n), at);
        }
    }

    void require(const std::string &value, const std::string &where, const char *name)
    {
        if (value.empty())
            errors.push_back(where + "." + name + ": required");
    }

    /* One member of an action: kind, presence and range. */
    void check(JsonObject *o, const Member &m, const std::string &where);

  private:
    /* The member when it holds a value of @type; absent and null members
     * are nullptr without a complaint. */
    JsonNode *scalar(JsonObject *o, const char *name, GType type, const std::string &where, const char *what)
    {
        JsonNode *n = of_kind(o, name, JSON_NODE_VALUE, where, what);
        if (n && json_node_get_value_type(n) != type) {
            bad(where, name, what);
            return nullptr;
        }
        return n;
    }

    JsonNode *of_kind(JsonObject *o, const char *name, JsonNodeType kind, const std::string &where, const char *what)
    {
        JsonNode *n = get(o, name);
        if (!n || JSON_NODE_HOLDS_NULL(n))
            return nullptr;
        if (JSON_NODE_TYPE(n) == kind)
            return n;
        bad(where, name, what);
        return nullptr;
    }

    void bad(const std::string &where, const char *name, const char *what)
    {
        errors.push_back(where + "." + name + ": expected " + what);
    }
};

std::string to_text(JsonNode *node)
{
    Object<JsonGenerator> gen(json_generator_new());
    json_generator_set_root(gen.get(), node);
    GString_ text(json_generator_to_data(gen.get(), nullptr));
    return text.get();
}

void Reader::check(JsonObject *o, const Member &m, const std::string &where)
{
    size_t before = errors.size();
    std::string text;
    int number = 0;
    if (m.kind == TEXT)
        text = str(o, m.name, where);
    else if (m.kind == NUMBER)
        number = integer(o, m.name, where);
    else
        boolean(o, m.name, where);
    if (errors.size() != before)
        return;
    JsonNode *n = get(o, m.name);
    if (m.required && (!n || JSON_NODE_HOLDS_NULL(n) || (m.kind == TEXT && text.empty())))
        errors.push_back(where + "." + m.name + ": required");
    else if (n && m.kind == NUMBER && (number < m.min || number > m.max))
        errors.push_back(where + "." + m.name + ": must be " + std::to_string(m.min) + ".." + std::to_string(m.max));
}

/* A paired device, as "devices" entries and add_device give it; read by
 * read_device below. */
const std::vector<Member> device_members = {
    {"address", TEXT, true}, {"name", TEXT},    {"serviceName", TEXT}, {"providerName", TEXT}, {"connected", FLAG},
    {"profile", NUMBER},     {"vid", NUMBER},   {"pid", NUMBER},       {"type", NUMBER},       {"dontuse", FLAG},
};

Device read_device(Reader &r, JsonObject *o, const std::string &at, bool *dontuse)
{
    Device d;
    d.address = r.str(o, "address", at);
    r.require(d.address, at, "address");
    d.name = r.str(o, "name", at);
    d.service_name = r.str(o, "serviceName", at);
    d.provider_name = r.str(o, "providerName", at);
    d.connected = r.boolean(o, "connected", at);
    d.profile = r.integer(o, "profile", at);
    d.vid = r.integer(o, "vid", at);
    d.pid = r.integer(o, "pid", at);
    d.type = r.integer(o, "type", at);
    *dontuse = r.boolean(o, "dontuse", at);
    return d;
}

/* The actions of events, scripted or asked for, and their members. */
struct ActionRule {
    const char *name;
    std::vector<Member> members;
};
const Member address_member = {"address", TEXT, true};
const Member name_member = {"name", TEXT};
const ActionRule actions[] = {
    {"add_device", device_members},
    {"remove_device", {address_member}},
    {"connect_speaker", {address_member, name_member}},
    {"disconnect_speaker", {address_member, name_member}},
    {"speaker_info", {address_member, name_member, {"iconType", TEXT}, {"audioType", NUMBER}}},
    {"volume", {address_member, {"volume", NUMBER, true, 0, 100}}},
    {"controllable", {address_member, {"controllable", FLAG, true}}},
    {"mute", {{"mute", FLAG, true}}},
    {"block", {address_member, name_member}},
    {"unblock", {address_member}},
    {"info_sync_add", {address_member, name_member, {"key", TEXT}}},
    {"earphone", {address_member, {"connected", FLAG, true}, {"result", NUMBER}}},
    {"fw_result", {{"result", TEXT}}},
    {"connecting_status", {{"status", TEXT, true}}},
};

} // namespace

bool parse_event(JsonObject *o, const std::string &where, Event *e, std::vector<std::string> *errors)
{
    Reader r;
    e->at_ms = r.integer(o, "at_ms", where);
    e->action = r.str(o, "action", where);
    const ActionRule *rule = nullptr;
    for (const auto &a : actions)
        if (e->action == a.name)
            rule = &a;
    if (!rule) {
        r.errors.push_back(where + ".action: unknown action \"" + e->action + "\"");
    } else {
        GList *names = json_object_get_members(o);
        for (GList *l = names; l; l = l->next) {
            auto *member = static_cast<const char *>(l->data);
            bool known = !strcmp(member, "at_ms") || !strcmp(member, "action");
            for (const auto &m : rule->members)
                known = known || !strcmp(member, m.name);
            if (!known) {
                std::string members;
                for (const auto &m : rule->members)
                    members += std::string(members.empty() ? "" : ", ") + m.name;
                r.errors.push_back(where + "." + member + ": not a member of \"" + e->action + "\" (" + members + ")");
            }
        }
        g_list_free(names);
        for (const auto &m : rule->members)
            r.check(o, m, where);
    }
    e->fields.reset(json_object_ref(o), json_object_unref);
    errors->insert(errors->end(), r.errors.begin(), r.errors.end());
    return r.errors.empty();
}

Device device_from(JsonObject *o, bool *dontuse)
{
    Reader r;
    return read_device(r, o, "", dontuse);
}

bool State::load(const std::string &path, std::string *error)
{
    Object<JsonParser> parser(json_parser_new());
    Error err;
    if (!json_parser_load_from_file(parser.get(), path.c_str(), out(err))) {
        *error = path + ": " + (err ? err->message : "cannot be read");
        return false;
    }
    JsonNode *root = json_parser_get_root(parser.get());
    if (!root || !JSON_NODE_HOLDS_OBJECT(root)) {
        *error = path + ": the top level must be an object";
        return false;
    }
    JsonObject *top = json_node_get_object(root);
    Reader r;

    r.objects(r.array(top, "devices", "scenario"), "devices", [&](JsonObject *o, const std::string &at) {
        bool dontuse = false;
        Device d = read_device(r, o, at, &dontuse);
        if (dontuse)
            marks_[d.address] = Mark{d.name, true};
        devices_.push_back(d);
    });
    /* Marks of any address, also "use" marks, as a running state has them. */
    r.objects(r.array(top, "marks", "scenario"), "marks", [&](JsonObject *o, const std::string &at) {
        std::string address = r.str(o, "address", at);
        r.require(address, at, "address");
        marks_[address] = Mark{r.str(o, "name", at), r.boolean(o, "dontuse", at)};
    });

    r.objects(r.array(top, "speakers", "scenario"), "speakers", [&](JsonObject *o, const std::string &at) {
        Speaker s;
        s.address = r.str(o, "address", at);
        r.require(s.address, at, "address");
        s.name = r.str(o, "name", at);
        s.icon_type = r.str(o, "iconType", at, "SP");
        s.audio_type = r.integer(o, "audioType", at, 1);
        s.volume = r.integer(o, "volume", at, 20);
        s.controllable = r.boolean(o, "controllable", at, true);
        s.connected = r.boolean(o, "connected", at);
        if (s.volume < 0 || s.volume > 100)
            r.errors.push_back(at + ".volume: must be 0..100");
        if (JsonArray *v = r.array(o, "vsid", at)) {
            for (guint i = 0; i < json_array_get_length(v); i++) {
                JsonNode *n = json_array_get_element(v, i);
                if (JSON_NODE_HOLDS_VALUE(n) && json_node_get_value_type(n) == G_TYPE_STRING)
                    s.vsid.push_back(json_node_get_string(n));
                else
                    r.errors.push_back(at + ".vsid[" + std::to_string(i) + "]: expected a string");
            }
        }
        if (r.boolean(o, "last", at, s.connected))
            last_.push_back(s.address);
        speakers_.push_back(s);
    });
    /* An explicit order of the last speakers, most recent first. */
    if (JsonArray *a = r.array(top, "last", "scenario")) {
        last_.clear();
        for (guint i = 0; i < json_array_get_length(a); i++) {
            JsonNode *n = json_array_get_element(a, i);
            if (JSON_NODE_HOLDS_VALUE(n) && json_node_get_value_type(n) == G_TYPE_STRING)
                last_.push_back(json_node_get_string(n));
            else
                r.errors.push_back("last[" + std::to_string(i) + "]: expected a string");
        }
    }

    r.objects(r.array(top, "earphones", "scenario"), "earphones", [&](JsonObject *o, const std::string &at) {
        Earphone e;
        e.address = r.str(o, "address", at);
        r.require(e.address, at, "address");
        e.name = r.str(o, "name", at);
        e.connected = r.boolean(o, "connected", at);
        earphones_.push_back(e);
    });

    r.objects(r.array(top, "manufacturer", "scenario"), "manufacturer", [&](JsonObject *o, const std::string &at) {
        Manufacturer m;
        std::string address = r.str(o, "address", at);
        r.require(address, at, "address");
        m.option = r.integer(o, "option", at);
        if (!tools::parse_hex(r.str(o, "data", at), &m.data))
            r.errors.push_back(at + ".data: expected hex bytes");
        if (JsonObject *items = r.object(o, "items", at)) {
            JsonObjectIter it;
            const char *name;
            JsonNode *n;
            json_object_iter_init(&it, items);
            while (json_object_iter_next(&it, &name, &n)) {
                char *end = nullptr;
                long option = strtol(name, &end, 10);
                Bytes b;
                if (!*name || *end || !JSON_NODE_HOLDS_VALUE(n) || json_node_get_value_type(n) != G_TYPE_STRING ||
                    !tools::parse_hex(json_node_get_string(n), &b))
                    r.errors.push_back(at + ".items." + name + ": expected an option number and hex bytes");
                else
                    m.items[int(option)] = b;
            }
        }
        manufacturer_[address] = m;
    });

    for (const char *section : {"commands", "icons"}) {
        JsonObject *o = r.object(top, section, "scenario");
        if (!o)
            continue;
        auto &map = section[0] == 'c' ? commands_ : icons_;
        JsonObjectIter it;
        const char *name;
        JsonNode *n;
        json_object_iter_init(&it, o);
        while (json_object_iter_next(&it, &name, &n)) {
            if (JSON_NODE_HOLDS_VALUE(n) && json_node_get_value_type(n) == G_TYPE_STRING)
                map[name] = json_node_get_string(n);
            else
                r.errors.push_back(std::string(section) + "." + name + ": expected a string");
        }
    }
    icon_root_ = r.str(top, "icon_root", "scenario", icon_root_);

    /* The stored lists are kept as documents: the library edits them in
     * place, so the store, not this process, is their owner. */
    if (JsonNode *n = r.get(top, "info_sync")) {
        if (JSON_NODE_HOLDS_OBJECT(n))
            info_sync_doc_ = to_text(n);
        else
            r.errors.push_back("scenario.info_sync: expected an object");
    }
    if (JsonNode *n = r.get(top, "blocked")) {
        if (JSON_NODE_HOLDS_OBJECT(n))
            blocked_doc_ = json_object_get_size(json_node_get_object(n)) ? to_text(n) : "";
        else
            r.errors.push_back("scenario.blocked: expected an object");
    }

    mute_ = r.boolean(top, "mute", "scenario", mute_);
    volume_step_ = r.integer(top, "volume_step", "scenario", volume_step_);
    if (JsonObject *o = r.object(top, "reconnect", "scenario")) {
        reconnect_ms_ = r.integer(o, "delay_ms", "reconnect", reconnect_ms_);
        reconnect_result_ = r.str(o, "result", "reconnect", reconnect_result_);
    }
    earphone_ms_ = r.integer(top, "earphone_delay_ms", "scenario", earphone_ms_);
    if (JsonObject *o = r.object(top, "firmware", "scenario")) {
        fw_accept_ = r.boolean(o, "accept", "firmware", fw_accept_);
        fw_result_ = r.str(o, "result", "firmware", fw_result_);
        fw_delay_ms_ = r.integer(o, "delay_ms", "firmware", fw_delay_ms_);
    }
    if (JsonObject *o = r.object(top, "faults", "scenario")) {
        /* Later kinds win: a method both failing and silent stays silent. */
        if (int ms = r.integer(o, "latency_ms", "faults"))
            faults_.by_method["*"] = Fault{Fault::LATENCY, ms};
        if (JsonObject *per = r.object(o, "latency", "faults")) {
            GList *names = json_object_get_members(per);
            for (GList *l = names; l; l = l->next) {
                auto *method = static_cast<const char *>(l->data);
                faults_.by_method[method] = Fault{Fault::LATENCY, r.integer(per, method, "faults.latency")};
            }
            g_list_free(names);
        }
        for (const char *kind : {"error", "no_reply"}) {
            JsonArray *a = r.array(o, kind, "faults");
            for (guint i = 0; a && i < json_array_get_length(a); i++) {
                JsonNode *n = json_array_get_element(a, i);
                if (JSON_NODE_HOLDS_VALUE(n) && json_node_get_value_type(n) == G_TYPE_STRING)
                    faults_.by_method[json_node_get_string(n)] = Fault{kind[0] == 'e' ? Fault::ERROR : Fault::SILENT, 0};
                else
                    r.errors.push_back(std::string("faults.") + kind + ": expected method names");
            }
        }
    }

    r.objects(r.array(top, "events", "scenario"), "events", [&](JsonObject *o, const std::string &at) {
        Event e;
        parse_event(o, at, &e, &r.errors);
        events_.push_back(e);
    });

    if (!r.errors.empty()) {
        *error = path + ": " + r.errors.front();
        for (size_t i = 1; i < r.errors.size(); i++)
            *error += "\n" + path + ": " + r.errors[i];
        return false;
    }
    return true;
}

bool State::replace(const std::string &path, std::string *error)
{
    State next;
    next.verbose_ = verbose_;
    next.emit_ = emit_;
    if (!next.load(path, error))
        return false;
    stop_timers();
    *this = std::move(next);
    return true;
}

namespace {

/* A stored object document as it is now, or an empty object. */
void stored_object(tools::JsonWriter &j, const char *name, const char *key)
{
    CString text(valko_get_str(key));
    Object<JsonParser> parser(json_parser_new());
    JsonNode *root = nullptr;
    if (text && *text.get() && json_parser_load_from_data(parser.get(), text.get(), -1, nullptr))
        root = json_parser_get_root(parser.get());
    if (root && JSON_NODE_HOLDS_OBJECT(root))
        j.node(name, root);
    else
        j.obj(name).end_obj();
}

} // namespace

std::string State::scenario_json() const
{
    tools::JsonWriter j;
    j.obj().arr("devices");
    for (const auto &d : devices_)
        j.obj().s("address", d.address).s("name", d.name).s("serviceName", d.service_name)
            .s("providerName", d.provider_name).b("connected", d.connected).i("profile", d.profile).i("vid", d.vid)
            .i("pid", d.pid).i("type", d.type).end_obj();
    j.end_arr().arr("marks");
    for (const auto &m : marks_)
        j.obj().s("address", m.first).s("name", m.second.name).b("dontuse", m.second.dontuse).end_obj();
    j.end_arr().arr("speakers");
    for (const auto &s : speakers_) {
        j.obj().s("address", s.address).s("name", s.name).s("iconType", s.icon_type).i("audioType", s.audio_type)
            .arr("vsid");
        for (const auto &v : s.vsid)
            j.s(nullptr, v);
        j.end_arr().i("volume", s.volume).b("controllable", s.controllable).b("connected", s.connected).end_obj();
    }
    j.end_arr().arr("last");
    for (const auto &a : last_)
        j.s(nullptr, a);
    j.end_arr().i("volume_step", volume_step_).b("mute", mute_);
    j.obj("reconnect").i("delay_ms", reconnect_ms_).s("result", reconnect_result_).end_obj();
    j.arr("earphones");
    for (const auto &e : earphones_)
        j.obj().s("address", e.address).s("name", e.name).b("connected", e.connected).end_obj();
    j.end_arr().i("earphone_delay_ms", earphone_ms_);
    j.s("icon_root", icon_root_).obj("icons");
    for (const auto &i : icons_)
        j.s(i.first.c_str(), i.second);
    j.end_obj();
    /* The library edits these in place: the store holds the truth. */
    stored_object(j, "info_sync", STORE_KEY_INFO_SYNC);
    stored_object(j, "blocked", STORE_KEY_BLOCKED);
    j.arr("manufacturer");
    for (const auto &m : manufacturer_) {
        j.obj().s("address", m.first).i("option", m.second.option)
            .s("data", tools::hex_text(m.second.data.data(), m.second.data.size())).obj("items");
        for (const auto &item : m.second.items)
            j.s(std::to_string(item.first).c_str(), tools::hex_text(item.second.data(), item.second.size()));
        j.end_obj().end_obj();
    }
    j.end_arr().obj("commands");
    for (const auto &c : commands_)
        j.s(c.first.c_str(), c.second);
    j.end_obj();
    j.obj("firmware").b("accept", fw_accept_).s("result", fw_result_).i("delay_ms", fw_delay_ms_).end_obj();
    j.obj("faults");
    Fault all = faults_.of("*");
    j.i("latency_ms", all.kind == Fault::LATENCY ? all.ms : 0).obj("latency");
    for (const auto &f : faults_.by_method)
        if (f.second.kind == Fault::LATENCY && f.first != "*")
            j.i(f.first.c_str(), f.second.ms);
    j.end_obj();
    for (auto kind : {Fault::ERROR, Fault::SILENT}) {
        j.arr(kind == Fault::ERROR ? "error" : "no_reply");
        for (const auto &f : faults_.by_method)
            if (f.second.kind == kind)
                j.s(nullptr, f.first);
        j.end_arr();
    }
    j.end_obj().end_obj();
    return j.text();
}

} // namespace sim
