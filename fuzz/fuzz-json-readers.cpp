/* The member readers over fuzzed documents, checked against json-glib's
 * node API: each reader yields what the member holds (or the absent
 * value) and leaves the reader on the enclosing object. */
#include "harness.h"
#include "halvo-api-private.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

[[noreturn]] void fail(const char *what, const char *member)
{
    fprintf(stderr, "%s: member \"%s\"\n", what, member);
    abort();
}

std::string expected_array(JsonNode *node)
{
    if (!JSON_NODE_HOLDS_ARRAY(node))
        return "<null>";
    JsonBuilder *b = json_builder_new();
    json_builder_begin_array(b);
    JsonArray *a = json_node_get_array(node);
    for (guint i = 0; i < json_array_get_length(a); i++) {
        JsonNode *e = json_array_get_element(a, i);
        if (JSON_NODE_HOLDS_VALUE(e) && json_node_get_value_type(e) == G_TYPE_STRING)
            json_builder_add_string_value(b, json_node_get_string(e));
    }
    json_builder_end_array(b);
    JsonGenerator *g = json_generator_new();
    JsonNode *root = json_builder_get_root(b);
    json_generator_set_root(g, root);
    gchar *text = json_generator_to_data(g, nullptr);
    std::string s(text);
    g_free(text);
    json_node_unref(root);
    g_object_unref(g);
    g_object_unref(b);
    return s;
}

/* Reads every member of the object the reader stands on, each with every
 * reader, and checks the result and the position after each. */
void check_object(JsonReader *reader, JsonObject *object, const std::string &extra)
{
    int count = json_reader_count_members(reader);
    GList *names = json_object_get_members(object);
    std::vector<std::string> members;
    for (GList *l = names; l; l = l->next)
        members.push_back(static_cast<const char *>(l->data));
    g_list_free(names);
    members.push_back(extra);

    for (const std::string &m : members) {
        const char *name = m.c_str();
        JsonNode *node = json_object_has_member(object, name) ? json_object_get_member(object, name) : nullptr;
        bool value = node && JSON_NODE_HOLDS_VALUE(node);
        GType type = value ? json_node_get_value_type(node) : G_TYPE_INVALID;

        char *s = _bt_json_read_string_member(reader, name);
        const char *want_s = type == G_TYPE_STRING ? json_node_get_string(node) : nullptr;
        if ((s == nullptr) != (want_s == nullptr) || (s && strcmp(s, want_s) != 0))
            fail("string reader", name);
        free(s);
        if (json_reader_count_members(reader) != count)
            fail("string reader moved", name);

        int i = _bt_json_read_int_member(reader, name);
        int want_i = type == G_TYPE_INT64 ? int(guint32(json_node_get_int(node))) : -1;
        if (i != want_i)
            fail("int reader", name);
        if (json_reader_count_members(reader) != count)
            fail("int reader moved", name);

        bool b = _bt_json_read_boolean_member(reader, name);
        if (b != (type == G_TYPE_BOOLEAN && json_node_get_boolean(node)))
            fail("boolean reader", name);
        if (json_reader_count_members(reader) != count)
            fail("boolean reader moved", name);

        char *a = _bt_json_read_string_array_member(reader, name);
        std::string want_a = node ? expected_array(node) : "<null>";
        if (want_a != (a ? a : "<null>"))
            fail("array reader", name);
        free(a);
        if (json_reader_count_members(reader) != count)
            fail("array reader moved", name);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    halvo_fuzz::Input in(data, size);
    /* First line: one more member name to ask for; the rest: the document. */
    std::string extra = in.until('\n');
    std::string text = in.rest();

    JsonParser *parser = json_parser_new();
    halvo_json_parse(parser, text.c_str(), -1);
    JsonReader *reader = halvo_json_reader_new(parser);
    JsonNode *root = json_parser_get_root(parser);

    /* Whatever the root is, the readers fail cleanly on it... */
    char *s = _bt_json_read_string_member(reader, extra.c_str());
    free(s);
    _bt_json_read_int_member(reader, extra.c_str());
    _bt_json_read_boolean_member(reader, extra.c_str());
    free(_bt_json_read_string_array_member(reader, extra.c_str()));

    /* ...and on objects, at the root or as elements, they read right. */
    if (root && JSON_NODE_HOLDS_OBJECT(root)) {
        check_object(reader, json_node_get_object(root), extra);
    } else if (root && JSON_NODE_HOLDS_ARRAY(root)) {
        JsonArray *array = json_node_get_array(root);
        for (guint i = 0; i < json_array_get_length(array) && i < 64; i++) {
            JsonNode *e = json_array_get_element(array, i);
            if (!JSON_NODE_HOLDS_OBJECT(e))
                continue;
            if (!json_reader_read_element(reader, i))
                fail("cannot enter element", "");
            check_object(reader, json_node_get_object(e), extra);
            json_reader_end_element(reader);
        }
        if (json_reader_count_elements(reader) != int(json_array_get_length(array)))
            fail("left the root array", "");
    }
    g_object_unref(reader);
    g_object_unref(parser);
    return 0;
}
