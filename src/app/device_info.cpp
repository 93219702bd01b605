// Loop thread only: the SDK reports renderer activity on the loop thread, and
// the configuration server and advertiser read the identity there.
#include "app/device_info.h"

#include <string>

#include "app/guarded.h"
#include "app/log.h"
#include "messaging/event_publisher.h"

namespace {

void on_renderer_active_changed(ZrvConnect * /*sdk*/, bool active, void *user) {
    auto *info = static_cast<DeviceInfo *>(user);
    app_log(LOG_INFO, "Renderer is now %s", active ? "active" : "inactive");
    if (!info || !info->publisher) return;
    // The connection event always goes out under the fixed subject, not the
    // configured routing key.
    const std::string body = event_body_zorva_connection(active);
    if (!body.empty()) event_publisher_publish_raw(info->publisher, body.c_str(), outgoing_events_subject);
}

}  // namespace

DeviceInfo *device_info_new(const char *name, int32_t type, const char *manufacturer, const char *model,
                            const char *serial_number, const char *app_id, const char *app_secret) {
    return new DeviceInfo{name, type, manufacturer, model, serial_number, app_id, app_secret, nullptr};
}

void device_info_free(DeviceInfo *info) { delete info; }

void device_info_set_publisher(DeviceInfo *info, EventPublisher *publisher) { info->publisher = publisher; }

DeviceDelegate device_info_delegate(DeviceInfo *info) {
    return DeviceDelegate{info, guarded_callback<on_renderer_active_changed>};
}

const char *device_info_name(const DeviceInfo *info) {
    app_log(LOG_INFO, "Device name requested: %s", info->name);
    return info->name;
}

int32_t device_info_type(const DeviceInfo *info) { return info->type; }
const char *device_info_manufacturer(const DeviceInfo *info) { return info->manufacturer; }
const char *device_info_model(const DeviceInfo *info) { return info->model; }
const char *device_info_serial_number(const DeviceInfo *info) { return info->serial_number; }
const char *device_info_app_id(const DeviceInfo *info) { return info->app_id; }
