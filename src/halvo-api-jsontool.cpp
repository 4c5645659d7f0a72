/* halvo-api-jsontool.cpp - member readers and the serialiser for the JSON
 * documents of the service and the store, the guarded parse that every
 * document goes through, and the in-place edit of a stored document.
 *
 * Every reader leaves the reader where it found it, on the enclosing
 * object, on every path.  json-glib does not make that easy: a typed
 * getter that fails sets an error, and json_reader_end_member() with an
 * error set only clears the error and stays inside the member.  So the
 * readers look at the member's kind before they take its value, and
 * MemberScope leaves the member whatever state the reader is in. */
#include "halvo-api-private.h"

#include <algorithm>
#include <cstring>

using namespace halvo_core;

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

/* Past the double-quoted string whose text starts at @p, as json-glib's
 * scanner reads it: a backslash escapes the character after it, and a
 * "\u" followed by a hex digit takes up to four hex digits and, when it
 * meets another character first, that one too ("\u1"x" is one string, a
 * quote inside).  Reading the quote there as the end would hide the
 * brackets after it. */
const char *skip_string(const char *p, const char *end) noexcept
{
    for (;;) {
        const char *quote = static_cast<const char *>(memchr(p, '"', size_t(end - p)));
        if (quote == nullptr)
            return end;
        const char *escape = static_cast<const char *>(memchr(p, '\\', size_t(quote - p)));
        if (escape == nullptr)
            return quote + 1;
        p = escape + 1; /* before the quote: a "u" here has a character after it */
        if (*p++ == 'u' && g_ascii_isxdigit(*p)) {
            for (int taken = 0; taken < 4 && p < end; taken++)
                if (!g_ascii_isxdigit(*p++))
                    break;
        }
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

namespace {

/* A strict reader of JSON text: no comments, single quotes, hex numbers or
 * leading zeros, all of which json-glib takes.  A splice must find the very
 * bytes json-glib reads as the member, so it only works on plain JSON. */
struct Strict {
    const char *end; /* the text's terminator: *end matches no character looked for */

    const char *blank(const char *p) const noexcept
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            p++;
        return p;
    }

    /* Each of these takes @p on the first byte of its token and gives the
     * byte past it, or NULL when the text is not plain JSON there. */
    const char *string(const char *p) const noexcept
    {
        for (p++; p < end; p++) {
            if (*p == '"')
                return p + 1;
            if (guchar(*p) < 0x20)
                return nullptr;
            if (*p != '\\')
                continue;
            if (++p == end)
                return nullptr;
            if (*p == 'u') {
                for (int i = 0; i < 4; i++)
                    if (++p == end || !g_ascii_isxdigit(*p))
                        return nullptr;
            } else if (strchr("\"\\/bfnrt", *p) == nullptr) {
                return nullptr;
            }
        }
        return nullptr;
    }

    const char *digits(const char *p) const noexcept
    {
        const char *start = p;
        while (p < end && g_ascii_isdigit(*p))
            p++;
        return p > start ? p : nullptr;
    }

    const char *number(const char *p) const noexcept
    {
        if (p < end && *p == '-')
            p++;
        if (p < end && *p == '0')
            p++;
        else if ((p = digits(p)) == nullptr)
            return nullptr;
        if (p < end && *p == '.' && (p = digits(p + 1)) == nullptr)
            return nullptr;
        if (p < end && (*p == 'e' || *p == 'E')) {
            p++;
            if (p < end && (*p == '+' || *p == '-'))
                p++;
            p = digits(p);
        }
        return p;
    }

    const char *value(const char *p, int depth) const noexcept
    {
        if (p == end)
            return nullptr;
        static const char *const words[] = {"true", "false", "null"};
        for (const char *word : words) {
            size_t n = strlen(word);
            if (size_t(end - p) >= n && memcmp(p, word, n) == 0)
                return p + n;
        }
        if (*p == '"')
            return string(p);
        if (*p == '{' || *p == '[')
            return container(p, depth + 1, [](const char *, const char *, const char *, const char *) { return true; });
        return number(p);
    }

    /* The object or array at @p, within the nesting bound; @member(name,
     * name_end, value, value_end) sees each member of an object and stops
     * the walk by returning false. */
    template <typename F> const char *container(const char *p, int depth, F &&member) const noexcept
    {
        if (depth > HALVO_JSON_MAX_DEPTH)
            return nullptr;
        bool object = *p == '{';
        char close = object ? '}' : ']';
        p = blank(p + 1);
        if (p < end && *p == close)
            return p + 1;
        for (;;) {
            const char *name = p, *name_end = nullptr;
            if (object) {
                if (*p != '"' || (name_end = string(p)) == nullptr)
                    return nullptr;
                p = blank(name_end);
                if (*p != ':')
                    return nullptr;
                p = blank(p + 1);
            }
            const char *start = p;
            if ((p = value(p, depth)) == nullptr || (object && !member(name, name_end, start, p)))
                return nullptr;
            p = blank(p);
            if (p < end && *p == ',') {
                p = blank(p + 1);
                continue;
            }
            return p < end && *p == close ? p + 1 : nullptr;
        }
    }
};

/* 1 when the name token [@quote, @past) reads as @name, 0 when not, -1
 * when it cannot be read.  Escaped names are read by json-glib, as the
 * readers see them. */
int same_name(const char *quote, const char *past, const char *name) noexcept
{
    size_t length = size_t(past - quote) - 2;
    if (memchr(quote + 1, '\\', length) == nullptr)
        return length == strlen(name) && memcmp(quote + 1, name, length) == 0;
    Object<JsonParser> parser(json_parser_new());
    if (!json_parser_load_from_data(parser.get(), quote, past - quote, nullptr))
        return -1;
    const char *read = json_node_get_string(json_parser_get_root(parser.get()));
    return read != nullptr && strcmp(read, name) == 0;
}

/* Where member @name of the object at @object stands. */
struct Place {
    const char *name = nullptr, *value = nullptr, *end = nullptr;
    const char *before = nullptr; /* end of the member before it */
    const char *next = nullptr;   /* name of the member after it */
    const char *last = nullptr;   /* end of the object's last member */
    const char *close = nullptr;  /* past the object */
    int members = 0, count = 0;   /* all of them, and those named so */
};

Place find_member(const Strict &s, const char *object, int depth, const char *name) noexcept
{
    Place at;
    at.last = object + 1;
    if (*object != '{') /* the text's terminator at its end */
        return at;
    at.close = s.container(object, depth + 1, [&](const char *n, const char *n_end, const char *v, const char *v_end) {
        if (at.count == 1 && at.next == nullptr)
            at.next = n;
        int same = same_name(n, n_end, name);
        if (same == 1 && at.count++ == 0) {
            at.name = n, at.value = v, at.end = v_end;
            at.before = at.last == object + 1 ? nullptr : at.last;
        }
        at.last = v_end;
        at.members++;
        return same >= 0;
    });
    return at;
}

/* Whether @root holds @value (or, for NULL, nothing) at @path. */
bool holds(JsonNode *root, const char *const *path, int depth, const char *value) noexcept
{
    JsonNode *node = root;
    for (int i = 0; i < depth; i++) {
        if (node == nullptr || !JSON_NODE_HOLDS_OBJECT(node))
            return false;
        node = json_object_get_member(json_node_get_object(node), path[i]);
    }
    if (value == nullptr)
        return node == nullptr;
    Object<JsonParser> parser(json_parser_new());
    return node != nullptr && json_parser_load_from_data(parser.get(), value, -1, nullptr) &&
           json_node_equal(node, json_parser_get_root(parser.get()));
}

} // namespace

char *halvo_json_splice(const char *text, const char *const *path, int depth, const char *value) noexcept
{
    if (text == nullptr || path == nullptr || depth < 1)
        return nullptr;
    Strict s{text + strlen(text)};
    const char *object = s.blank(text);
    Place at;
    for (int i = 0; i < depth; i++) {
        at = find_member(s, object, i, path[i]);
        if (at.close == nullptr || at.count > 1 || (i == 0 && s.blank(at.close) != s.end))
            return nullptr;
        if (i + 1 < depth && at.count == 0)
            return nullptr;
        object = at.value;
    }
    GString *out = g_string_new(nullptr);
    if (at.count == 1 && value != nullptr) {
        g_string_append_len(out, text, at.value - text);
        g_string_append(out, value);
        g_string_append(out, at.end);
    } else if (at.count == 1) {
        /* The member goes with the comma that parts it from a neighbour. */
        const char *cut = at.next ? at.name : at.before ? at.before : at.name;
        g_string_append_len(out, text, cut - text);
        g_string_append(out, at.next ? at.next : at.end);
    } else if (value != nullptr) {
        /* A new member follows the last one; its name needs no escapes. */
        for (const char *c = path[depth - 1]; *c != '\0'; c++)
            if (guchar(*c) < 0x20 || *c == '"' || *c == '\\') {
                g_string_free(out, TRUE);
                return nullptr;
            }
        g_string_append_len(out, text, at.last - text);
        g_string_append_printf(out, "%s\"%s\":%s", at.members > 0 ? "," : "", path[depth - 1], value);
        g_string_append(out, at.last);
    }
    /* json-glib must read the new text as the same document with only
     * that member changed. */
    Object<JsonParser> check(json_parser_new());
    if (out->len == 0 || !halvo_json_parse(check.get(), out->str, out->len) ||
        !holds(json_parser_get_root(check.get()), path, depth, value)) {
        g_string_free(out, TRUE);
        return nullptr;
    }
    return g_string_free(out, FALSE);
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
