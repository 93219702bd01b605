// The unique device id handed to the SDK: the machine id, or failing that
// "<serial>-<hostname>", or the serial number alone. Main thread, start-up.
#pragma once

#include <cstddef>
#include <string>

#include "app/host_name.h"

// At most this many characters (the SDK keeps it in a 128-byte buffer).
constexpr size_t unique_device_id_max_length = 127;

struct UniqueDeviceIdSources {
    const char *machine_id_path = "/etc/machine-id";
    const char *dbus_machine_id_path = "/var/lib/dbus/machine-id";
    HostNameSource host_name = system_host_name;
};

// The first rule that yields a non-empty id wins; the result may be empty
// only when the serial number is.
std::string unique_device_id_derive(const char *serial_number, const UniqueDeviceIdSources &sources = {});
