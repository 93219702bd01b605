// DeviceInfo: the identity the renderer presents to controllers and to the
// SDK, and the SDK's device delegate. Loop thread only.
#pragma once

#include <cstdint>

#include "zorva_connect.h"

struct EventPublisher;

// The strings are borrowed from the configuration, which outlives the record;
// so is the publisher.
struct DeviceInfo {
    const char *name;
    int32_t type;
    const char *manufacturer;
    const char *model;
    const char *serial_number;
    const char *app_id;
    const char *app_secret;
    EventPublisher *publisher;
};

DeviceInfo *device_info_new(const char *name, int32_t type, const char *manufacturer, const char *model,
                            const char *serial_number, const char *app_id, const char *app_secret);
// Releases the record only; accepts none.
void device_info_free(DeviceInfo *info);
void device_info_set_publisher(DeviceInfo *info, EventPublisher *publisher);
DeviceDelegate device_info_delegate(DeviceInfo *info);

// Logs "Device name requested: ..." on every call.
const char *device_info_name(const DeviceInfo *info);
int32_t device_info_type(const DeviceInfo *info);
const char *device_info_manufacturer(const DeviceInfo *info);
const char *device_info_model(const DeviceInfo *info);
const char *device_info_serial_number(const DeviceInfo *info);
const char *device_info_app_id(const DeviceInfo *info);
