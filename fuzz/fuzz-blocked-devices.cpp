/* The blocked-device document: the walk over it, and the removal written
 * back into it.  The rewritten document must parse again and be the old
 * text with one span cut out, every other device as it was, in order;
 * when the address is not there, or the edit is refused, the stored text
 * stays byte for byte. */
#include "harness.h"
#include "halvo-api-private.h"
#include "valko.h"

#include <algorithm>
#include <cstring>
#include <vector>

using halvo_fuzz::finding;
using halvo_fuzz::members_of;

namespace {

const char *const KEY = "db/pellix/pairing_blocekd_devices";

struct Walk {
    uint8_t stop_pattern;
    int calls = 0;
};

bool on_device(const char *address, char *name, void *data)
{
    auto *walk = static_cast<Walk *>(data);
    if (address == nullptr || name == nullptr)
        finding("blocked device reported with a NULL address or name");
    (void)strlen(address);
    (void)strlen(name);
    /* Stop where the input says, to take the early exit as well. */
    return !(walk->stop_pattern & (1u << (walk->calls++ % 8)));
}

void check_rewrite(const std::string &before, const std::string &after, const std::string &address)
{
    JsonNode *old_root = before.empty() ? nullptr : halvo_fuzz::parse(before);
    JsonObject *old_devices = old_root && JSON_NODE_HOLDS_OBJECT(old_root) ? json_node_get_object(old_root) : nullptr;
    if (old_devices == nullptr || !json_object_has_member(old_devices, address.c_str())) {
        if (after != before)
            finding("store written though the address was not there:\n%s\n->\n%s", before.c_str(), after.c_str());
        if (old_root)
            json_node_unref(old_root);
        return;
    }
    JsonNode *new_root = halvo_fuzz::rewritten(before, after, 0);
    JsonObject *new_devices = json_node_get_object(new_root);
    std::vector<std::string> want = members_of(old_devices);
    want.erase(std::find(want.begin(), want.end(), address));
    if (members_of(new_devices) != want)
        finding("devices other than \"%s\" or their order changed:\n%s\n->\n%s", address.c_str(), before.c_str(),
                after.c_str());
    for (const std::string &name : want)
        if (!json_node_equal(json_object_get_member(old_devices, name.c_str()),
                             json_object_get_member(new_devices, name.c_str())))
            finding("device \"%s\" changed:\n%s\n->\n%s", name.c_str(), before.c_str(), after.c_str());
    json_node_unref(old_root);
    json_node_unref(new_root);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    halvo_fuzz::Input in(data, size);
    uint8_t pick = in.byte();
    Walk walk{in.byte()};
    std::string address = pick >= 0x80 ? in.until('\n').c_str() : ""; /* as C text */
    std::string document = in.rest().c_str();
    if (valko_set_str(KEY, document.c_str()) != 0)
        finding("cannot write the store");

    if (halvo_foreach_blocked_devices(on_device, &walk) != 0)
        finding("walking a stored document failed");

    JsonNode *root = halvo_fuzz::parse(document);
    if (root && JSON_NODE_HOLDS_OBJECT(root)) {
        if (walk.calls > int(json_object_get_size(json_node_get_object(root))))
            finding("more devices reported than the document holds");
        std::vector<std::string> names = members_of(json_node_get_object(root));
        if (pick < 0x80 && !names.empty())
            address = names[pick % names.size()];
    } else if (walk.calls != 0) {
        finding("devices reported from a document that is not an object");
    }
    if (root)
        json_node_unref(root);

    std::string before = halvo_fuzz::stored(KEY);
    int result = halvo_remove_pairing_blocked_devices(address.c_str());
    std::string after = halvo_fuzz::stored(KEY);
    /* A refusal leaves the text byte for byte. */
    if (result == 5 && after != before)
        finding("refused removal changed the store:\n%s\n->\n%s", before.c_str(), after.c_str());
    if (result != 0 && result != 5)
        finding("removal failed on a readable store");
    if (result == 0)
        check_rewrite(before, after, address);
    return 0;
}
