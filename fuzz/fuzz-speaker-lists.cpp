/* The stored speaker documents: the connected speakers, and the last
 * speakers with the connected-address text their flags are checked
 * against.  Records hold what the documents hold, and a last speaker is
 * connected only when stored so and its address is in that text. */
#include "harness.h"
#include "halvo-api-private.h"
#include "valko.h"

#include <cstring>

using halvo_fuzz::finding;

namespace {

void check_string(const char *s)
{
    if (s != nullptr)
        (void)strlen(s);
}

/* A vsid is the compact text of an array of strings. */
void check_vsid(const char *vsid)
{
    if (vsid == nullptr)
        return;
    JsonNode *node = halvo_fuzz::parse(vsid);
    if (node == nullptr || !JSON_NODE_HOLDS_ARRAY(node))
        finding("vsid is not an array's text: %s", vsid);
    json_node_unref(node);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    halvo_fuzz::Input in(data, size);
    bool last = in.byte() & 1;
    std::string addresses = in.until('\n').c_str();
    std::string document = in.rest().c_str();

    JsonNode *root = halvo_fuzz::parse(document);
    guint elements = root && JSON_NODE_HOLDS_ARRAY(root) ? json_array_get_length(json_node_get_array(root)) : 0;
    if (root)
        json_node_unref(root);

    GSList *list = nullptr;
    if (!last) {
        valko_set_str("memory/org.velmo.pellix/soundoutput_info", document.c_str());
        if (halvo_get_connected_bt_speaker_infos(&list) != 0)
            finding("reading a stored list failed");
        for (GSList *l = list; l; l = l->next) {
            auto *s = static_cast<speaker_t *>(l->data);
            check_vsid(s->vsid);
            check_string(s->address);
            check_string(s->name);
            check_string(s->icon_type);
        }
    } else {
        valko_set_str("db/pellix/last_btspk_list", document.c_str());
        valko_set_str("memory/pellix/connected_btspk_addr_list", addresses.c_str());
        if (halvo_get_last_bluetooth_speakers(&list) != 0)
            finding("reading a stored list failed");
        for (GSList *l = list; l; l = l->next) {
            auto *s = static_cast<last_spk_info_t *>(l->data);
            check_string(s->address);
            check_string(s->name);
            check_string(s->icon_type);
            if (s->connected && (s->address == nullptr || strstr(addresses.c_str(), s->address) == nullptr))
                finding("speaker %s connected, but not in \"%s\"", s->address ? s->address : "(none)",
                        addresses.c_str());
        }
    }
    if (g_slist_length(list) > elements)
        finding("%u records from %u elements", g_slist_length(list), elements);
    if (list != nullptr) {
        if (last)
            halvo_free_last_bluetooth_speakers(&list);
        else
            halvo_free_connected_bt_spaekr_infos(&list);
    }
    return 0;
}
