/* The nesting guard against json-glib's own parser: the guard must see at
 * least the depth json-glib reaches, in every document, parsable or not. */
#include "harness.h"
#include "halvo-api-private.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct Depth {
    int now = 0;
    int deepest = 0;
};

void opened(JsonParser *, gpointer data)
{
    Depth *d = static_cast<Depth *>(data);
    if (++d->now > d->deepest)
        d->deepest = d->now;
}

void closed(JsonParser *, gpointer, gpointer data)
{
    static_cast<Depth *>(data)->now--;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    halvo_fuzz::Input in(data, size);
    bool with_length = in.byte() & 1;
    std::string text = in.rest();
    gssize length = with_length ? gssize(text.size()) : -1;

    /* How deep json-glib itself goes in this text (inputs are small, so
     * the unguarded parse is safe here). */
    Depth depth;
    JsonParser *plain = json_parser_new();
    g_signal_connect(plain, "array-start", G_CALLBACK(opened), &depth);
    g_signal_connect(plain, "object-start", G_CALLBACK(opened), &depth);
    g_signal_connect(plain, "array-end", G_CALLBACK(closed), &depth);
    g_signal_connect(plain, "object-end", G_CALLBACK(closed), &depth);
    bool parsed = json_parser_load_from_data(plain, text.c_str(), length, nullptr);
    g_object_unref(plain);

    if (depth.deepest > 0 && halvo_json_depth_ok(text.c_str(), length, depth.deepest - 1)) {
        fprintf(stderr, "guard counts less than %d levels\n", depth.deepest);
        abort();
    }

    /* The guarded parse agrees with the plain one below the bound. */
    JsonParser *guarded = json_parser_new();
    bool ok = halvo_json_parse(guarded, text.c_str(), length);
    if (ok && (!parsed || depth.deepest > HALVO_JSON_MAX_DEPTH)) {
        fprintf(stderr, "guarded parse took what it should refuse\n");
        abort();
    }
    if (!ok && json_parser_get_root(guarded) != nullptr) {
        fprintf(stderr, "a refused parse left a root\n");
        abort();
    }
    JsonReader *reader = halvo_json_reader_new(guarded);
    json_reader_count_members(reader);
    json_reader_count_elements(reader);
    g_object_unref(reader);
    g_object_unref(guarded);
    return 0;
}
