/* scenario.cpp - loading the starting state and the scripted events from a
 * scenario file.  Every member is kind-checked: a scenario with a typo in a
 * value is refused with the member's path, never half loaded. */
#include "sim.h"

#include "hex.h"

#include <cstdio>
#include <cstdlib>

using namespace halvo;

namespace sim {

namespace {

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

/* Actions a scripted event may name, with what they need. */
struct ActionRule {
    const char *name;
    bool needs_address;
};
const ActionRule actions[] = {
    {"connect_speaker", true},    {"disconnect_speaker", true}, {"volume", true},
    {"controllable", true},       {"block", true},              {"unblock", true},
    {"info_sync_add", true},      {"earphone", true},           {"speaker_info", true},
    {"mute", false},              {"fw_result", false},          {"connecting_status", false},
};

} // namespace

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
        if (r.boolean(o, "dontuse", at))
            marks_[d.address] = Mark{d.name, true};
        devices_.push_back(d);
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
        faults_.latency_ms = r.integer(o, "latency_ms", "faults", faults_.latency_ms);
        for (const char *kind : {"error", "no_reply"}) {
            JsonArray *a = r.array(o, kind, "faults");
            for (guint i = 0; a && i < json_array_get_length(a); i++) {
                JsonNode *n = json_array_get_element(a, i);
                if (JSON_NODE_HOLDS_VALUE(n) && json_node_get_value_type(n) == G_TYPE_STRING)
                    (kind[0] == 'e' ? faults_.error : faults_.no_reply).insert(json_node_get_string(n));
                else
                    r.errors.push_back(std::string("faults.") + kind + ": expected method names");
            }
        }
    }

    r.objects(r.array(top, "events", "scenario"), "events", [&](JsonObject *o, const std::string &at) {
        Event e;
        e.at_ms = r.integer(o, "at_ms", at);
        e.action = r.str(o, "action", at);
        e.address = r.str(o, "address", at);
        e.name = r.str(o, "name", at);
        e.key = r.str(o, "key", at);
        e.text = r.str(o, "text", at);
        e.value = r.integer(o, "value", at);
        e.flag = r.boolean(o, "flag", at, true);
        const ActionRule *rule = nullptr;
        for (const auto &a : actions)
            if (e.action == a.name)
                rule = &a;
        if (!rule)
            r.errors.push_back(at + ".action: unknown action \"" + e.action + "\"");
        else if (rule->needs_address)
            r.require(e.address, at, "address");
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

} // namespace sim
