// Main thread, at start-up.
#include "app/unique_device_id.h"

#include <cstdio>
#include <cstring>

#include "app/file_ptr.h"

namespace {

// The first line of a machine-id file without its line ending; empty when the
// file is missing, empty or starts with an empty line.
std::string read_machine_id(const char *path) {
    if (!path) return {};
    FilePtr file(std::fopen(path, "r"));
    if (!file) return {};
    char line[unique_device_id_max_length + 1] = {};
    if (!std::fgets(line, sizeof line, file.get())) return {};
    line[std::strcspn(line, "\r\n")] = '\0';
    return line;
}

}  // namespace

std::string unique_device_id_derive(const char *serial_number, const UniqueDeviceIdSources &sources) {
    std::string machine_id = read_machine_id(sources.machine_id_path);
    if (machine_id.empty()) machine_id = read_machine_id(sources.dbus_machine_id_path);
    if (!machine_id.empty()) return machine_id;

    std::string serial = serial_number ? serial_number : "";
    char host[unique_device_id_max_length + 1] = {};
    HostNameSource host_name = sources.host_name ? sources.host_name : system_host_name;
    if (host_name(host, sizeof host - 1) == 0) {
        host[sizeof host - 1] = '\0';
        if (host[0] != '\0') {
            std::string combined = serial + "-" + host;
            if (combined.size() <= unique_device_id_max_length) return combined;
        }
    }
    if (serial.size() > unique_device_id_max_length) serial.resize(unique_device_id_max_length);
    return serial;
}
