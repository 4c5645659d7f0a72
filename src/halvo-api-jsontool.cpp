/* halvo-api-jsontool.cpp - member readers and the serialiser for the JSON
 * documents of the service and the store, and the guarded parse that every
 * document goes through.
 *
 * Every reader leaves the reader where it found it, on the enclosing
 * object, on every path.  json-glib does not make that easy: a typed
 * getter that fails sets an error, and json_reader_end_member() with an
 * error set only clears the error and stays inside the member.  So the
 * readers look at the member's kind before they take its value, and
 * MemberScope leaves the member whatever state the reader is in. */
#include "halvo-api-private.h"

#include <cstring>

using namespace halvo;

namespace {

/* The value node the reader stands on, when it is a plain value (not an
 * object, array or null).  Sets no error. */
JsonNode *current_value(JsonReader *reader) noexcept
{
    if (json_reader_get_error(reader) != nullptr || !json_reader_is_value(reader) ||
        json_reader_get_null_value(reader))
        return nullptr;
    return json_reader_get_value(reader);
}

const char *current_string(JsonReader *reader) noexcept
{
    JsonNode *node = current_value(reader);
    return (node && json_node_get_value_type(node) == G_TYPE_STRING) ? json_node_get_string(node) : nullptr;
}

void log_read_failure(JsonReader *reader, const char *member_name) noexcept
{
    const GError *error = json_reader_get_error(reader);
    if (error != nullptr)
        ERR("error, %s", error->message);
    ERR("fail to read, %s", member_name);
}

/* Past the double-quoted string whose text starts at @p: the first quote
 * that no odd run of backslashes escapes. */
const char *skip_string(const char *p, const char *end) noexcept
{
    for (;;) {
        const char *quote = static_cast<const char *>(memchr(p, '"', size_t(end - p)));
        if (quote == nullptr)
            return end;
        const char *run = quote;
        while (run > p && run[-1] == '\\')
            run--;
        p = quote + 1;
        if ((quote - run) % 2 == 0)
            return p;
    }
}

/* Deepest nesting of arrays and objects in @text, stopping early once it
 * passes @limit.  Brackets in what json-glib's scanner skips do not count;
 * besides double-quoted strings that scanner takes single-quoted ones (no
 * escapes) and skips everything from one '/' to the next as a comment.
 * Missing either would hide the brackets after a lone quote or slash.
 * Every document comes through here before its parse, so the skipped runs
 * are crossed with memchr: byte by byte, the guard cost a seventh of the
 * parse of a 1 MiB device reply. */
struct Shape {
    int depth;          /* deepest nesting, or just past the limit */
    bool second_value;  /* an array or object after a complete value */
};

Shape scan_shape(const char *text, gssize length, int limit) noexcept
{
    const char *p = text;
    const char *end = text + (length < 0 ? strlen(text) : size_t(length));
    int depth = 0, deepest = 0;
    bool value_seen = false, second_value = false;
    while (p < end) {
        char c = *p++;
        switch (c) {
        case '"':
            value_seen |= depth == 0;
            p = skip_string(p, end);
            break;
        case '\'':
            value_seen |= depth == 0;
            [[fallthrough]];
        case '/': {
            const void *close = memchr(p, c, size_t(end - p));
            p = close ? static_cast<const char *>(close) + 1 : end;
            break;
        }
        case '[':
        case '{':
            /* Counting goes on: the depth is wanted on its own too. */
            second_value |= depth == 0 && value_seen;
            if (++depth > deepest) {
                deepest = depth;
                if (deepest > limit)
                    return {deepest, second_value};
            }
            break;
        case ']':
        case '}':
            if (depth > 0 && --depth == 0)
                value_seen = true;
            break;
        case ' ':
        case '\t':
        case '\n':
        case '\r':
            break;
        default:
            value_seen |= depth == 0;
            break;
        }
    }
    return {deepest, second_value};
}

int nesting_depth(const char *text, gssize length, int limit) noexcept
{
    return scan_shape(text, length, limit).depth;
}

} // namespace

bool halvo_json_depth_ok(const char *text, gssize length, int max_depth) noexcept
{
    return text != nullptr && nesting_depth(text, length, max_depth) <= max_depth;
}

JsonReader *halvo_json_reader_new(JsonParser *parser) noexcept
{
    JsonNode *root = parser ? json_parser_get_root(parser) : nullptr;
    if (root != nullptr)
        return json_reader_new(root);
    JsonNode *null_node = json_node_new(JSON_NODE_NULL);
    JsonReader *reader = json_reader_new(null_node);
    json_node_unref(null_node);
    return reader;
}

bool halvo_json_parse(JsonParser *parser, const char *text, gssize length) noexcept
{
    if (text == nullptr)
        return false;
    Shape shape = scan_shape(text, length, HALVO_JSON_MAX_DEPTH);
    if (shape.depth > HALVO_JSON_MAX_DEPTH || shape.second_value) {
        /* json-glib 1.6 loses the first value when an array or object
         * follows it ("[] []"): every read of such a stored text would
         * leak.  It is no JSON document either. */
        if (shape.second_value)
            ERR("document holds more than one value: refused");
        else
            ERR("document nested deeper than %d levels: refused", HALVO_JSON_MAX_DEPTH);
        /* Leave the parser as a failed parse does: without a root. */
        json_parser_load_from_data(parser, "", 0, nullptr);
        return false;
    }
    Error error;
    if (json_parser_load_from_data(parser, text, length, out(error)))
        return true;
    /* json-glib keeps a complete first value that garbage follows ("{} x"):
     * text that does not parse is no document at all. */
    json_parser_load_from_data(parser, "", 0, nullptr);
    return false;
}

/* json-glib 1.6 writes a double whose shortest form has no decimal point
 * with ".0" appended, also after an exponent: 1e30 comes out as 1e+30.0,
 * which no JSON parser takes.  Drops that ".0" in place; the generator's
 * strings are double-quoted with backslash escapes. */
static void drop_point_after_exponent(char *text) noexcept
{
    char *out = text;
    bool in_string = false, escaped = false;
    for (const char *p = text; *p != '\0'; p++) {
        char c = *p;
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '.' && p[1] == '0' && !g_ascii_isdigit(p[2])) {
            /* Written so far: ...<digit>e[+-]<digits>? */
            const char *q = out;
            while (q > text && g_ascii_isdigit(q[-1]))
                q--;
            bool digits = q < out;
            if (q > text && (q[-1] == '+' || q[-1] == '-'))
                q--;
            if (digits && q > text + 1 && (q[-1] == 'e' || q[-1] == 'E') && g_ascii_isdigit(q[-2])) {
                p++;
                continue;
            }
        }
        *out++ = c;
    }
    *out = '\0';
}

char *halvo_json_to_text(JsonNode *root) noexcept
{
    if (root == nullptr)
        return nullptr;
    Object<JsonGenerator> generator(json_generator_new());
    json_generator_set_root(generator.get(), root);
    char *text = json_generator_to_data(generator.get(), nullptr);
    if (text == nullptr)
        return nullptr;
    drop_point_after_exponent(text);
    /* Whatever else json-glib may write that it cannot read back must not
     * replace a document that could be read. */
    Object<JsonParser> check(json_parser_new());
    if (!halvo_json_parse(check.get(), text, -1)) {
        ERR("document cannot be written back as JSON: %s", text);
        g_free(text);
        return nullptr;
    }
    return text;
}

char *_bt_json_read_string_member(JsonReader *reader, const char *member_name) noexcept
{
    if (reader == nullptr || member_name == nullptr)
        return nullptr;
    char *copy = nullptr;
    MemberScope member(reader, member_name);
    if (!member.entered()) {
        log_read_failure(reader, member_name);
        return nullptr;
    }
    const char *value = current_string(reader);
    if (value == nullptr) {
        ERR("%s is not a string", member_name);
        return nullptr;
    }
    copy = strdup(value);
    if (copy == nullptr)
        ERR(" strdup failed to assign memory\n");
    INFO("member : %s, value : %s", member_name, copy);
    return copy;
}

char *_bt_json_read_string_array_member(JsonReader *reader, const char *member_name) noexcept
{
    if (reader == nullptr || member_name == nullptr)
        return nullptr;
    MemberScope member(reader, member_name);
    if (!member.entered()) {
        log_read_failure(reader, member_name);
        return nullptr;
    }
    if (!json_reader_is_array(reader)) {
        const GError *error = json_reader_get_error(reader);
        if (error != nullptr)
            ERR("error, %s", error->message);
        ERR("%s is not array", member_name);
        return nullptr;
    }
    INFO("+");
    Object<JsonBuilder> builder(json_builder_new());
    json_builder_begin_array(builder.get());
    int count = json_reader_count_elements(reader);
    for (int i = 0; i < count; i++) {
        MemberScope element(reader, guint(i));
        /* An element that is not a string is left out. */
        const char *value = element.entered() ? current_string(reader) : nullptr;
        if (value == nullptr)
            continue;
        INFO("%s", value);
        json_builder_add_string_value(builder.get(), value);
    }
    json_builder_end_array(builder.get());
    char *text = nullptr;
    _halvo_api_convert_json_node_to_string(builder.get(), &text);
    return text;
}

int _bt_json_read_int_member(JsonReader *reader, const char *member_name) noexcept
{
    if (reader == nullptr || member_name == nullptr)
        return -1;
    MemberScope member(reader, member_name);
    if (!member.entered()) {
        log_read_failure(reader, member_name);
        return -1;
    }
    /* Only a JSON integer is an integer: a string, a fraction or 1e30 is not. */
    JsonNode *node = current_value(reader);
    if (node == nullptr || json_node_get_value_type(node) != G_TYPE_INT64) {
        ERR("%s is not an integer", member_name);
        return -1;
    }
    int value = int(guint32(json_node_get_int(node)));
    INFO("member : %s, value : %d", member_name, value);
    return value;
}

bool _bt_json_read_boolean_member(JsonReader *reader, const char *member_name) noexcept
{
    if (reader == nullptr || member_name == nullptr)
        return false;
    bool value = false;
    {
        MemberScope member(reader, member_name);
        JsonNode *node = member.entered() ? current_value(reader) : nullptr;
        if (node != nullptr && json_node_get_value_type(node) == G_TYPE_BOOLEAN)
            value = json_node_get_boolean(node);
    }
    DBG("member : %s, value : %d", member_name, value ? 1 : 0);
    return value;
}

void _halvo_api_convert_json_node_to_string(JsonBuilder *builder, char **out) noexcept
{
    if (out == nullptr)
        return;
    *out = nullptr;
    if (builder == nullptr)
        return;
    JsonNode *root = json_builder_get_root(builder);
    if (root == nullptr)
        return;
    Object<JsonGenerator> generator(json_generator_new());
    json_generator_set_root(generator.get(), root);
    *out = json_generator_to_data(generator.get(), nullptr);
    INFO("string : %s", *out);
    json_node_free(root);
}
