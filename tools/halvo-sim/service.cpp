/* service.cpp - the two bus objects: the service's method table and its
 * introspection, built from the same table, so GDBus refuses calls whose
 * arguments do not match. */
#include "service.h"

#include <cstdio>
#include <cstring>

using namespace halvo_core;

namespace sim {

namespace {

std::string arg_string(GVariant *args, int i)
{
    Variant v(g_variant_get_child_value(args, gsize(i)));
    return g_variant_get_string(v.get(), nullptr);
}

int arg_int(GVariant *args, int i)
{
    Variant v(g_variant_get_child_value(args, gsize(i)));
    return g_variant_get_int32(v.get());
}

Bytes arg_bytes(GVariant *args, int i)
{
    Variant v(g_variant_get_child_value(args, gsize(i)));
    gsize n = 0;
    const auto *p = static_cast<const uint8_t *>(g_variant_get_fixed_array(v.get(), &n, 1));
    return Bytes(p, p + n);
}

GVariant *bytes_value(const Bytes &b)
{
    return g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, b.data(), b.size(), 1);
}

GVariant *one(int result) { return g_variant_new("(i)", result); }

/* The service's methods: name, argument tuple, reply tuple, handler.  The
 * arguments have been checked against the tuple type before a handler runs. */
const Method service_methods[] = {
    {"get_devices_info", "()", "(s)",
     [](State &s, GVariant *) { return g_variant_new("(s)", s.devices_json().c_str()); }},
    {"get_device_info", "(s)", "(s)",
     [](State &s, GVariant *a) { return g_variant_new("(s)", s.device_json(arg_string(a, 0)).c_str()); }},
    {"get_device_type", "(s)", "(i)", [](State &s, GVariant *a) { return one(s.device_type(arg_string(a, 0))); }},
    {"get_dontuse_dev_list", "()", "(s)",
     [](State &s, GVariant *) { return g_variant_new("(s)", s.dontuse_list_json().c_str()); }},
    {"get_use_dontuse", "(s)", "(i)", [](State &s, GVariant *a) { return one(s.get_dontuse(arg_string(a, 0))); }},
    {"set_use_dontuse", "(s)", "(i)", [](State &s, GVariant *a) { return one(s.set_dontuse(arg_string(a, 0))); }},
    {"remove_use_donuse_info", "(s)", "(i)",
     [](State &s, GVariant *a) { return one(s.remove_dontuse(arg_string(a, 0))); }},
    {"custom_command", "(s)", "(is)",
     [](State &s, GVariant *a) {
         std::string response;
         int r = s.custom_command(arg_string(a, 0), &response);
         return g_variant_new("(is)", r, response.c_str());
     }},
    {"write_manufacturer_data", "(iisay)", "(i)",
     [](State &s, GVariant *a) {
         return one(s.write_manufacturer(arg_int(a, 0), arg_int(a, 1), arg_string(a, 2), arg_bytes(a, 3)));
     }},
    {"read_manufacturer_data", "(s)", "(iiiay)",
     [](State &s, GVariant *a) {
         int option = 0;
         Bytes data;
         int r = s.read_manufacturer(arg_string(a, 0), &option, &data);
         return g_variant_new("(iii@ay)", r, int(data.size()), option, bytes_value(data));
     }},
    {"read_specific_manufacturer_data", "(si)", "(iiay)",
     [](State &s, GVariant *a) {
         Bytes data;
         int r = s.read_specific_manufacturer(arg_string(a, 0), arg_int(a, 1), &data);
         return g_variant_new("(ii@ay)", r, int(data.size()), bytes_value(data));
     }},
    {"parse_manufacturer_data", "(iiiay)", "(iiay)",
     [](State &s, GVariant *a) {
         Bytes data;
         int r = s.parse_manufacturer(arg_int(a, 0), arg_int(a, 1), arg_int(a, 2), arg_bytes(a, 3), &data);
         return g_variant_new("(ii@ay)", r, int(data.size()), bytes_value(data));
     }},
    {"enter_bt_dut_mode", "()", "(i)", [](State &s, GVariant *) { return one(s.enter_dut(nullptr)); }},
    {"enter_bt_dut_mode_with_ui", "(s)", "(i)",
     [](State &s, GVariant *a) {
         std::string params = arg_string(a, 0);
         return one(s.enter_dut(&params));
     }},
    {"stop_bt_dut_mode", "()", "(i)", [](State &s, GVariant *) { return one(s.stop_dut()); }},
    {"set_connected_bt_speaker_info", "(s)", "(i)",
     [](State &s, GVariant *a) { return one(s.set_speaker_info(arg_string(a, 0))); }},
    {"connect_last_btspk_list", "(b)", "(i)",
     [](State &s, GVariant *a) {
         Variant b(g_variant_get_child_value(a, 0));
         return one(s.connect_last(g_variant_get_boolean(b.get())));
     }},
    {"disconnect_last_btspk_list", "()", "(i)", [](State &s, GVariant *) { return one(s.disconnect_last()); }},
    {"get_volume_by_address", "(s)", "(ii)",
     [](State &s, GVariant *a) {
         int volume = 0;
         int r = s.get_volume(arg_string(a, 0), &volume);
         return g_variant_new("(ii)", r, volume);
     }},
    {"get_volume_controlable_by_address", "(s)", "(ii)",
     [](State &s, GVariant *a) {
         int flag = 0;
         int r = s.get_controllable(arg_string(a, 0), &flag);
         return g_variant_new("(ii)", r, flag);
     }},
    {"set_volume_by_address", "(si)", "(i)",
     [](State &s, GVariant *a) { return one(s.set_volume(arg_string(a, 0), arg_int(a, 1))); }},
    {"get_num_of_speaker", "()", "(ii)",
     [](State &s, GVariant *) { return g_variant_new("(ii)", int(OK), s.num_connected()); }},
    {"spk_mute_unmute", "()", "(i)", [](State &s, GVariant *) { return one(s.toggle_mute()); }},
    {"spk_vol_up", "()", "(i)", [](State &s, GVariant *) { return one(s.step_volume(+1)); }},
    {"spk_vol_down", "()", "(i)", [](State &s, GVariant *) { return one(s.step_volume(-1)); }},
    {"get_last_bluetooth_speaker_icon_path", "(s)", "(s)",
     [](State &s, GVariant *a) { return g_variant_new("(s)", s.icon_path(arg_string(a, 0)).c_str()); }},
    {"replace_current_bluetooth_speaker", "(s)", "(i)",
     [](State &s, GVariant *a) { return one(s.replace_speaker(arg_string(a, 0))); }},
    {"tuvo_switching_connect", "(s)", "(i)",
     [](State &s, GVariant *a) { return one(s.switch_earphone(arg_string(a, 0), true)); }},
    {"tuvo_switching_disconnect", "(s)", "(i)",
     [](State &s, GVariant *a) { return one(s.switch_earphone(arg_string(a, 0), false)); }},
};

const Method update_methods[] = {
    {"ZEMOFW", "()", "(i)", [](State &s, GVariant *) { return one(s.start_fw_update()); }},
    /* Sent without waiting for a reply: the manager closes its session. */
    {"EXIT", "()", "()", [](State &, GVariant *) { return g_variant_new("()"); }},
};

void append_args(std::string &xml, const char *tuple, const char *direction)
{
    const GVariantType *t = G_VARIANT_TYPE(tuple);
    int n = 0;
    for (const GVariantType *item = g_variant_type_first(t); item; item = g_variant_type_next(item)) {
        GString_ sig(g_variant_type_dup_string(item));
        char buf[160];
        snprintf(buf, sizeof buf, "<arg name='%s%d' type='%s' direction='%s'/>", direction[0] == 'i' ? "in" : "out",
                 n++, sig.get(), direction);
        xml += buf;
    }
}

} // namespace

const Interface service_interface = {HALVO_SERVICE_PATH, HALVO_SERVICE_INTERFACE, service_methods,
                                     G_N_ELEMENTS(service_methods)};
const Interface update_interface = {HALVO_UPDATE_PATH, HALVO_UPDATE_INTERFACE, update_methods,
                                    G_N_ELEMENTS(update_methods)};

std::string method_xml(const char *name, const char *in, const char *out)
{
    std::string xml = std::string("<method name='") + name + "'>";
    append_args(xml, in, "in");
    append_args(xml, out, "out");
    return xml + "</method>";
}

const Method *find_method(const Interface &iface, const char *name)
{
    for (size_t i = 0; i < iface.count; i++)
        if (strcmp(iface.methods[i].name, name) == 0)
            return &iface.methods[i];
    return nullptr;
}

bool known_method(const char *name)
{
    return find_method(service_interface, name) || find_method(update_interface, name);
}

std::string method_names(size_t width, const char *indent)
{
    std::string out, line = indent;
    for (const Interface *iface : {&service_interface, &update_interface})
        for (size_t i = 0; i < iface->count; i++) {
            std::string name = iface->methods[i].name;
            if (line.size() > strlen(indent) && line.size() + name.size() + 2 > width) {
                out += line + "\n";
                line = indent;
            }
            line += (line.size() > strlen(indent) ? " " : "") + name;
        }
    return out + line;
}

} // namespace sim
