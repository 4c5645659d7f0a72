/* The JSON documents the library reads: the nesting guard and the member
 * readers against json-glib's own view of a document, and the stored
 * device and speaker lists with the edits written back into them. */
#include "harness.h"
#include "valko.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace halvo_fuzz;
using halvo_core::Object;

namespace {

struct NodeUnref {
    void operator()(JsonNode *node) const noexcept { json_node_unref(node); }
};
using Node = std::unique_ptr<JsonNode, NodeUnref>;

/* The root of @text as the library's guarded parse sees it, or NULL when
 * it does not parse. */
Node parse(const std::string &text)
{
    Object<JsonParser> parser(json_parser_new());
    if (!halvo_json_parse(parser.get(), text.c_str(), -1) || json_parser_get_root(parser.get()) == nullptr)
        return nullptr;
    return Node(json_node_copy(json_parser_get_root(parser.get())));
}

JsonObject *object_of(JsonNode *node)
{
    return node && JSON_NODE_HOLDS_OBJECT(node) ? json_node_get_object(node) : nullptr;
}

std::vector<std::string> members_of(JsonObject *object)
{
    std::vector<std::string> names;
    GList *list = object ? json_object_get_members(object) : nullptr;
    for (GList *l = list; l; l = l->next)
        names.push_back(static_cast<const char *>(l->data));
    g_list_free(list);
    return names;
}

/* The results of the member readers as text: "=" and the string, or
 * "null". */
std::string text_of(char *s)
{
    std::string t = s ? std::string("=") + s : "null";
    free(s);
    return t;
}

std::string (*const readers[])(JsonReader *, const char *) = {
    [](JsonReader *r, const char *name) { return text_of(_bt_json_read_string_member(r, name)); },
    [](JsonReader *r, const char *name) { return std::to_string(_bt_json_read_int_member(r, name)); },
    [](JsonReader *r, const char *name) { return std::to_string(_bt_json_read_boolean_member(r, name)); },
    [](JsonReader *r, const char *name) { return text_of(_bt_json_read_string_array_member(r, name)); },
};

/* The compact text of the array's string elements. */
std::string string_elements(JsonNode *node)
{
    if (node == nullptr || !JSON_NODE_HOLDS_ARRAY(node))
        return "null";
    Node strings(json_node_new(JSON_NODE_ARRAY));
    json_node_take_array(strings.get(), json_array_new());
    JsonArray *array = json_node_get_array(node);
    for (guint i = 0; i < json_array_get_length(array); i++) {
        JsonNode *e = json_array_get_element(array, i);
        if (JSON_NODE_HOLDS_VALUE(e) && json_node_get_value_type(e) == G_TYPE_STRING)
            json_array_add_string_element(json_node_get_array(strings.get()), json_node_get_string(e));
    }
    halvo_core::GString_ text(json_to_string(strings.get(), FALSE));
    return std::string("=") + text.get();
}

/* Reads every member of the object the reader stands on, and @extra, each
 * with every reader: each yields what json-glib's node API says the member
 * holds (or the absent value) and leaves the reader on the object. */
void check_object(JsonReader *reader, JsonObject *object, const std::string &extra)
{
    int count = json_reader_count_members(reader);
    std::vector<std::string> members = members_of(object);
    members.push_back(extra);
    for (const std::string &m : members) {
        const char *name = m.c_str();
        JsonNode *node = json_object_has_member(object, name) ? json_object_get_member(object, name) : nullptr;
        GType type = node && JSON_NODE_HOLDS_VALUE(node) ? json_node_get_value_type(node) : G_TYPE_INVALID;
        const std::string want[] = {
            type == G_TYPE_STRING ? std::string("=") + json_node_get_string(node) : "null",
            std::to_string(type == G_TYPE_INT64 ? int(guint32(json_node_get_int(node))) : -1),
            std::to_string(type == G_TYPE_BOOLEAN && json_node_get_boolean(node)),
            string_elements(node),
        };
        for (size_t k = 0; k < G_N_ELEMENTS(readers); k++) {
            std::string got = readers[k](reader, name);
            if (got != want[k])
                finding("reader %zu: member \"%s\" gave %s, expected %s", k, name, got.c_str(), want[k].c_str());
            if (json_reader_count_members(reader) != count)
                finding("reader %zu moved: member \"%s\"", k, name);
        }
    }
}

struct Depth {
    int now = 0;
    int deepest = 0;
};

/* The guarded parse and the readers.  The input: a byte (odd: the text's
 * length is given), one more member name to ask for on the first line, and
 * the text. */
void json(Input &in)
{
    gssize length = in.byte() & 1;
    std::string extra = in.until('\n');
    std::string text = in.rest();
    length = length ? gssize(text.size()) : -1;

    /* The guard must see at least the depth json-glib reaches, in every
     * text, parsable or not (inputs are small, so the unguarded parse is
     * safe here). */
    Depth depth;
    Object<JsonParser> plain(json_parser_new());
    auto opened = [](Depth *d) { d->deepest = std::max(d->deepest, ++d->now); };
    auto closed = [](Depth *d) { d->now--; };
    for (const char *start : {"array-start", "object-start"})
        g_signal_connect_swapped(plain.get(), start, G_CALLBACK(+opened), &depth);
    for (const char *end : {"array-end", "object-end"})
        g_signal_connect_swapped(plain.get(), end, G_CALLBACK(+closed), &depth);
    bool parsed = json_parser_load_from_data(plain.get(), text.c_str(), length, nullptr);
    if (depth.deepest > 0 && halvo_json_depth_ok(text.c_str(), length, depth.deepest - 1))
        finding("guard counts less than %d levels", depth.deepest);

    /* The guarded parse agrees with the plain one below the bound. */
    Object<JsonParser> parser(json_parser_new());
    bool ok = halvo_json_parse(parser.get(), text.c_str(), length);
    JsonNode *root = json_parser_get_root(parser.get());
    if (ok && (!parsed || depth.deepest > HALVO_JSON_MAX_DEPTH))
        finding("guarded parse took what it should refuse");
    if (!ok && root != nullptr)
        finding("a refused parse left a root");

    /* Whatever the root is, the readers fail cleanly on it, and on objects,
     * at the root or as elements, they read right. */
    Object<JsonReader> holder(halvo_json_reader_new(parser.get()));
    JsonReader *reader = holder.get();
    json_reader_count_members(reader);
    json_reader_count_elements(reader);
    for (auto read : readers)
        read(reader, extra.c_str());
    if (object_of(root)) {
        check_object(reader, object_of(root), extra);
    } else if (root && JSON_NODE_HOLDS_ARRAY(root)) {
        JsonArray *array = json_node_get_array(root);
        for (guint i = 0; i < json_array_get_length(array) && i < 64; i++) {
            JsonObject *element = object_of(json_array_get_element(array, i));
            if (element == nullptr)
                continue;
            if (!json_reader_read_element(reader, i))
                finding("cannot enter element %u", i);
            check_object(reader, element, extra);
            json_reader_end_element(reader);
        }
        if (json_reader_count_elements(reader) != int(json_array_get_length(array)))
            finding("left the root array");
    }
}

/* ------------------------------------------------------------------ */
/* The stored device documents and the edits written back into them.  The
 * rewritten document must parse again and be the old text with one span
 * replaced, every other device as it was, in order; when there is nothing
 * to edit, or the edit is refused, the stored text stays byte for byte. */

std::string stored(const char *key)
{
    halvo_core::CString text(valko_get_str(key));
    return text ? text.get() : "<unreadable>";
}

/* The blocked-device walk, stopped where @stop's bits say. */
void walk_blocked(JsonObject *devices, uint8_t stop)
{
    struct Walk {
        uint8_t stop;
        int calls;
    } walk{stop, 0};
    auto on_device = [](const char *address, char *name, void *data) {
        auto *w = static_cast<Walk *>(data);
        if (address == nullptr || name == nullptr)
            finding("blocked device reported with a NULL address or name");
        touch({address, name});
        return !(w->stop & (1u << (w->calls++ % 8)));
    };
    if (halvo_foreach_blocked_devices(on_device, &walk) != 0)
        finding("walking a stored document failed");
    if (walk.calls > (devices ? int(json_object_get_size(devices)) : 0))
        finding("%d devices reported from a document of fewer", walk.calls);
}

void list_info_sync(JsonObject *, uint8_t)
{
    GSList *list = nullptr;
    if (halvo_get_info_sync_devices(&list) != 0)
        finding("reading a stored document failed");
    for (GSList *l = list; l; l = l->next) {
        auto *device = static_cast<info_sync_device_t *>(l->data);
        if (device == nullptr || device->address == nullptr || device->name == nullptr)
            finding("record with a NULL field");
        touch({device->address, device->name});
    }
    halvo_free_info_sync_devices(&list);
}

/* Whether every member of @was but @except is in @is, equal. */
bool kept(JsonObject *was, JsonObject *is, const std::string &except)
{
    for (const std::string &name : members_of(was)) {
        JsonNode *now = json_object_get_member(is, name.c_str());
        if (name != except && (now == nullptr || !json_node_equal(json_object_get_member(was, name.c_str()), now)))
            return false;
    }
    return true;
}

bool marked(JsonObject *device)
{
    JsonNode *mark = device ? json_object_get_member(device, "deleted_on_tv") : nullptr;
    return mark && JSON_NODE_HOLDS_VALUE(mark) && json_node_get_value_type(mark) == G_TYPE_BOOLEAN &&
           json_node_get_boolean(mark);
}

/* The blocked-device removal, and the info-sync mark, which keeps every
 * member of the device. */
const struct Edit {
    const char *key;
    /* Reads the stored document back (@devices: what it holds, or NULL),
     * steered by @arg, and checks what it gets. */
    void (*read)(JsonObject *devices, uint8_t arg);
    int (*edit)(const char *device);
    bool marks;
} edits[] = {
    {"db/pellix/pairing_blocekd_devices", walk_blocked, halvo_remove_pairing_blocked_devices, false},
    {"db/com.marlox.tv.bt-rilomanager/btinfosync/devices", list_info_sync, halvo_remove_info_sync_device, true},
};

/* The input: a byte picking the device (a high one means its name is
 * written on the first line), a byte for read(), and the document. */
void edit_devices(Input &in, const Edit &e)
{
    uint8_t pick = in.byte(), arg = in.byte();
    std::string device = pick >= 0x80 ? in.until('\n').c_str() : ""; /* as C text */
    std::string document = in.rest().c_str();
    if (valko_set_str(e.key, document.c_str()) != 0)
        finding("cannot write the store");
    Node root = parse(document);
    e.read(object_of(root.get()), arg);
    std::vector<std::string> names = members_of(object_of(root.get()));
    if (pick < 0x80 && !names.empty())
        device = names[pick % names.size()];

    std::string before = stored(e.key);
    int result = e.edit(device.c_str());
    std::string after = stored(e.key);
    if (result != 0 && result != 5)
        finding("edit failed on a readable store");
    Node old_root = parse(before);
    JsonObject *was = object_of(old_root.get());
    JsonNode *old = was ? json_object_get_member(was, device.c_str()) : nullptr;
    if (result != 0 || !(e.marks ? object_of(old) && !marked(object_of(old)) : old != nullptr)) {
        /* Refused, or nothing to edit: the text stays byte for byte. */
        if (after != before)
            finding("store written by edit %d:\n%s\n->\n%s", result, before.c_str(), after.c_str());
        return;
    }

    /* One span of the text replaced by at most the mark's bytes. */
    size_t prefix = 0, suffix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix])
        prefix++;
    while (suffix < before.size() - prefix && suffix < after.size() - prefix &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix])
        suffix++;
    if (after.size() - prefix - suffix > (e.marks ? sizeof(",\"deleted_on_tv\":true") - 1 : 0))
        finding("bytes outside the edited member changed:\n%s\n->\n%s", before.c_str(), after.c_str());
    Node new_root = parse(after);
    JsonObject *is = object_of(new_root.get());
    if (is == nullptr)
        finding("rewritten document does not parse:\n%s\n->\n%s", before.c_str(), after.c_str());
    std::vector<std::string> want = members_of(was);
    if (!e.marks)
        want.erase(std::find(want.begin(), want.end(), device));
    if (members_of(is) != want || !kept(was, is, device))
        finding("other devices, or their order, changed:\n%s\n->\n%s", before.c_str(), after.c_str());
    if (e.marks) {
        JsonObject *was_device = json_node_get_object(old);
        JsonObject *is_device = object_of(json_object_get_member(is, device.c_str()));
        if (!marked(is_device) || !kept(was_device, is_device, "deleted_on_tv") ||
            json_object_get_size(is_device) !=
                json_object_get_size(was_device) + !json_object_has_member(was_device, "deleted_on_tv"))
            finding("device \"%s\" not marked, or other members changed:\n%s", device.c_str(), after.c_str());
    }
}

/* ------------------------------------------------------------------ */
/* The stored speaker documents: the connected speakers, and the last
 * speakers with the connected-address text their flags are checked
 * against.  Records hold what the documents hold, and a last speaker is
 * connected only when stored so and its address is in that text. */

void speaker_lists(Input &in)
{
    bool last = in.byte() & 1;
    std::string addresses = in.until('\n').c_str();
    std::string document = in.rest().c_str();
    Node root = parse(document);
    guint elements =
        root && JSON_NODE_HOLDS_ARRAY(root.get()) ? json_array_get_length(json_node_get_array(root.get())) : 0;

    GSList *list = nullptr;
    if (!last) {
        valko_set_str("memory/org.velmo.pellix/soundoutput_info", document.c_str());
        if (halvo_get_connected_bt_speaker_infos(&list) != 0)
            finding("reading a stored list failed");
        for (GSList *l = list; l; l = l->next) {
            auto *s = static_cast<speaker_t *>(l->data);
            touch({s->address, s->name, s->icon_type});
            /* A vsid is the compact text of an array of strings. */
            Node vsid = s->vsid ? parse(s->vsid) : nullptr;
            if (s->vsid && (vsid == nullptr || !JSON_NODE_HOLDS_ARRAY(vsid.get())))
                finding("vsid is not an array's text: %s", s->vsid);
        }
    } else {
        valko_set_str("db/pellix/last_btspk_list", document.c_str());
        valko_set_str("memory/pellix/connected_btspk_addr_list", addresses.c_str());
        if (halvo_get_last_bluetooth_speakers(&list) != 0)
            finding("reading a stored list failed");
        for (GSList *l = list; l; l = l->next) {
            auto *s = static_cast<last_spk_info_t *>(l->data);
            touch({s->address, s->name, s->icon_type});
            if (s->connected && (s->address == nullptr || strstr(addresses.c_str(), s->address) == nullptr))
                finding("speaker %s connected, but not in \"%s\"", s->address ? s->address : "(none)",
                        addresses.c_str());
        }
    }
    if (g_slist_length(list) > elements)
        finding("%u records from %u elements", g_slist_length(list), elements);
    if (last)
        halvo_free_last_bluetooth_speakers(&list);
    else
        halvo_free_connected_bt_spaekr_infos(&list);
}

} // namespace

const Target halvo_fuzz::target = {
    nullptr,
    {
        json,
        [](Input &in) { edit_devices(in, edits[0]); },
        [](Input &in) { edit_devices(in, edits[1]); },
        speaker_lists,
    },
};
