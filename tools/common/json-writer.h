/* json-writer.h - a chained JSON document writer over json-glib's builder,
 * shared by the tools.  Names are for object members (nullptr inside an
 * array); a NULL string is written as JSON null. */
#ifndef HALVO_TOOLS_JSON_WRITER_H
#define HALVO_TOOLS_JSON_WRITER_H

#include <json-glib/json-glib.h>

#include <string>

namespace tools {

class JsonWriter {
  public:
    JsonWriter() : b_(json_builder_new()) {}
    ~JsonWriter() { g_object_unref(b_); }
    JsonWriter(const JsonWriter &) = delete;
    JsonWriter &operator=(const JsonWriter &) = delete;

    JsonWriter &obj(const char *name = nullptr) { key(name); json_builder_begin_object(b_); return *this; }
    JsonWriter &end_obj() { json_builder_end_object(b_); return *this; }
    JsonWriter &arr(const char *name = nullptr) { key(name); json_builder_begin_array(b_); return *this; }
    JsonWriter &end_arr() { json_builder_end_array(b_); return *this; }
    JsonWriter &s(const char *name, const char *v)
    {
        key(name);
        if (v)
            json_builder_add_string_value(b_, v);
        else
            json_builder_add_null_value(b_);
        return *this;
    }
    JsonWriter &s(const char *name, const std::string &v) { return s(name, v.c_str()); }
    JsonWriter &i(const char *name, gint64 v) { key(name); json_builder_add_int_value(b_, v); return *this; }
    JsonWriter &b(const char *name, bool v) { key(name); json_builder_add_boolean_value(b_, v); return *this; }
    JsonWriter &null(const char *name) { key(name); json_builder_add_null_value(b_); return *this; }
    /* @text as the JSON object or array it holds; otherwise as a string
     * ("87" stays text). */
    JsonWriter &json(const char *name, const char *text)
    {
        JsonNode *n = text ? json_from_string(text, nullptr) : nullptr;
        if (n && JSON_NODE_HOLDS_VALUE(n)) {
            json_node_unref(n);
            n = nullptr;
        }
        if (!n)
            return s(name, text);
        key(name);
        json_builder_add_value(b_, n);
        return *this;
    }
    /* A copy of a parsed value. */
    JsonWriter &node(const char *name, JsonNode *n) { key(name); json_builder_add_value(b_, json_node_copy(n)); return *this; }

    /* The document as compact text. */
    std::string text() const
    {
        JsonNode *root = json_builder_get_root(b_);
        if (!root)
            return "null";
        JsonGenerator *gen = json_generator_new();
        json_generator_set_root(gen, root);
        gchar *t = json_generator_to_data(gen, nullptr);
        std::string out(t);
        g_free(t);
        g_object_unref(gen);
        json_node_unref(root);
        return out;
    }

  private:
    void key(const char *name)
    {
        if (name)
            json_builder_set_member_name(b_, name);
    }
    JsonBuilder *b_;
};

} // namespace tools

#endif
