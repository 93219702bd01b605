// Test support for the stand-in SDK: a configuration record whose delegates
// write what they receive into an event list. Loop thread only.
#pragma once

#include <uv.h>

#include <string>
#include <vector>

#include "zorva_connect.h"
#include "zorva_standin.h"

struct DelegateEvents {
    std::vector<std::string> events;
    std::vector<std::string> log_lines;  // "LEVEL component: message"

    size_t count(const std::string &event) const {
        size_t n = 0;
        for (const auto &e : events) n += e == event;
        return n;
    }
    bool has(const std::string &event) const { return count(event) > 0; }
};

inline DelegateEvents *events_of(void *user) { return static_cast<DelegateEvents *>(user); }

// Identity strings that live as long as the test.
struct TestIdentity {
    std::string device_name = "Test Renderer";
    std::string manufacturer = "Acme";
    std::string model = "R1";
    std::string serial_number = "SN-0001";
    std::string unique_device_id = "device-0001";
    std::string app_id = "app-42";
    std::string app_secret = "a1b2";
};

inline ZrvConnectConfig make_config(const TestIdentity &id, DelegateEvents *events) {
    ZrvConnectConfig config{};
    config.version = ZRV_CONNECT_CONFIG_VERSION;
    config.device_name = id.device_name.c_str();
    config.device_type = ZRV_DEVICE_TYPE_STREAMER;
    config.manufacturer = id.manufacturer.c_str();
    config.model = id.model.c_str();
    config.serial_number = id.serial_number.c_str();
    config.unique_device_id = id.unique_device_id.c_str();
    config.app_id = id.app_id.c_str();
    config.app_secret = id.app_secret.c_str();
    config.max_audio_quality = ZRV_AUDIO_QUALITY_HIRES2;
    config.capabilities = ZRV_CAPABILITY_GAPLESS;
    config.advertising.user = events;
    config.advertising.start_advertising = [](ZrvConnect *, const char *name, const char *type, void *user) {
        events_of(user)->events.push_back(std::string("start_advertising ") + name + " " + type);
    };
    config.advertising.stop_advertising = [](ZrvConnect *, void *user) {
        events_of(user)->events.push_back("stop_advertising");
    };
    config.config_server.user = events;
    config.config_server.start = [](ZrvConnect *, void *user) { events_of(user)->events.push_back("config_start"); };
    config.config_server.stop = [](ZrvConnect *, void *user) { events_of(user)->events.push_back("config_stop"); };
    config.device.user = events;
    config.device.renderer_active_changed = [](ZrvConnect *, bool active, void *user) {
        events_of(user)->events.push_back(active ? "active" : "inactive");
    };
    return config;
}

// Installs a log delegate that collects lines into `events`.
inline void collect_log(DelegateEvents *events) {
    LogDelegate delegate{events, [](uint32_t level, const char *component, const char *message, void *user) {
                             static const char *names[] = {"TRACE", "DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};
                             events_of(user)->log_lines.push_back(std::string(names[level > 5 ? 5 : level]) + " " +
                                                                  component + ": " + message);
                             return 0;
                         }};
    zrv_connect_set_log_delegate(&delegate);
}

inline void drop_log() {
    LogDelegate none{};
    zrv_connect_set_log_delegate(&none);
}

inline std::vector<std::string> recorded_operations() {
    std::vector<std::string> out;
    ZrvStandinCall call;
    for (size_t i = 0; zrv_standin_call_at(i, &call); ++i) out.push_back(call.operation);
    return out;
}

inline std::string recorded_arguments(const char *operation) {
    ZrvStandinCall call;
    size_t index = zrv_standin_find_call(operation, 0);
    if (!zrv_standin_call_at(index, &call)) return "<not called>";
    return call.arguments;
}
