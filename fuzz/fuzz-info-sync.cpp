/* The info-sync document: the list read from it, and the mark written
 * back into it.  The rewritten document must parse again, hold the same
 * devices in the same order with every member as it was (the ones the
 * library does not know included), and differ only by the mark's bytes;
 * when nothing is to be marked, or the edit is refused, the stored text
 * stays byte for byte. */
#include "harness.h"
#include "halvo-api-private.h"
#include "valko.h"

#include <cstring>
#include <vector>

using halvo_fuzz::finding;
using halvo_fuzz::members_of;

namespace {

const char *const KEY = "db/com.marlox.tv.bt-rilomanager/btinfosync/devices";

bool marked(JsonObject *device)
{
    JsonNode *mark = json_object_get_member(device, "deleted_on_tv");
    return mark && JSON_NODE_HOLDS_VALUE(mark) && json_node_get_value_type(mark) == G_TYPE_BOOLEAN &&
           json_node_get_boolean(mark);
}

void check_rewrite(const std::string &before, const std::string &after, const std::string &key)
{
    JsonNode *old_root = halvo_fuzz::parse(before);
    JsonObject *old_devices = old_root && JSON_NODE_HOLDS_OBJECT(old_root) ? json_node_get_object(old_root) : nullptr;
    JsonNode *old_device = old_devices ? json_object_get_member(old_devices, key.c_str()) : nullptr;
    bool change = old_device && JSON_NODE_HOLDS_OBJECT(old_device) && !marked(json_node_get_object(old_device));
    if (!change) {
        if (after != before)
            finding("store written though nothing was to be marked:\n%s\n->\n%s", before.c_str(), after.c_str());
        if (old_root)
            json_node_unref(old_root);
        return;
    }

    JsonNode *new_root = halvo_fuzz::rewritten(before, after, sizeof(",\"deleted_on_tv\":true") - 1);
    JsonObject *new_devices = json_node_get_object(new_root);
    if (members_of(old_devices) != members_of(new_devices))
        finding("devices or their order changed:\n%s\n->\n%s", before.c_str(), after.c_str());
    for (const std::string &name : members_of(old_devices)) {
        JsonNode *was = json_object_get_member(old_devices, name.c_str());
        JsonNode *is = json_object_get_member(new_devices, name.c_str());
        if (name != key) {
            if (!json_node_equal(was, is))
                finding("device \"%s\" changed:\n%s\n->\n%s", name.c_str(), before.c_str(), after.c_str());
            continue;
        }
        JsonObject *was_obj = json_node_get_object(was);
        JsonObject *is_obj = JSON_NODE_HOLDS_OBJECT(is) ? json_node_get_object(is) : nullptr;
        if (is_obj == nullptr || !marked(is_obj))
            finding("device \"%s\" not marked:\n%s", name.c_str(), after.c_str());
        for (const std::string &m : members_of(was_obj))
            if (m != "deleted_on_tv" && !json_node_equal(json_object_get_member(was_obj, m.c_str()),
                                                       json_object_get_member(is_obj, m.c_str())))
                finding("member \"%s\" of \"%s\" changed:\n%s\n->\n%s", m.c_str(), name.c_str(), before.c_str(),
                        after.c_str());
        size_t want = json_object_get_size(was_obj) + (json_object_has_member(was_obj, "deleted_on_tv") ? 0 : 1);
        if (json_object_get_size(is_obj) != want)
            finding("device \"%s\" gained or lost members:\n%s", name.c_str(), after.c_str());
    }
    json_node_unref(old_root);
    json_node_unref(new_root);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    halvo_fuzz::Input in(data, size);
    /* A low first byte picks one of the document's devices to mark; a high
     * one means the key is written on the first line. */
    uint8_t pick = in.byte();
    std::string key = pick >= 0x80 ? in.until('\n').c_str() : ""; /* as C text */
    std::string document = in.rest().c_str();
    if (valko_set_str(KEY, document.c_str()) != 0)
        finding("cannot write the store");

    GSList *list = nullptr;
    if (halvo_get_info_sync_devices(&list) != 0)
        finding("reading a stored document failed");
    for (GSList *l = list; l; l = l->next) {
        auto *device = static_cast<info_sync_device_t *>(l->data);
        if (device == nullptr || device->address == nullptr || device->name == nullptr)
            finding("record with a NULL field");
        (void)strlen(device->address);
        (void)strlen(device->name);
    }
    if (list != nullptr)
        halvo_free_info_sync_devices(&list);

    if (pick < 0x80) {
        JsonNode *root = halvo_fuzz::parse(document);
        if (root && JSON_NODE_HOLDS_OBJECT(root)) {
            std::vector<std::string> names = members_of(json_node_get_object(root));
            if (!names.empty())
                key = names[pick % names.size()];
        }
        if (root)
            json_node_unref(root);
    }
    std::string before = halvo_fuzz::stored(KEY);
    int result = halvo_remove_info_sync_device(key.c_str());
    std::string after = halvo_fuzz::stored(KEY);
    /* A refusal leaves the text byte for byte. */
    if (result == 5 && after != before)
        finding("refused marking changed the store:\n%s\n->\n%s", before.c_str(), after.c_str());
    if (result != 0 && result != 5)
        finding("marking failed on a readable store");
    if (result == 0)
        check_rewrite(before, after, key);
    return 0;
}
