// The daemon's settings, read once at start-up from the JSON file named on
// the command line. Main thread only, before the loop runs; afterwards the
// record is read-only until config_free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/host_name.h"
#include "messaging/messaging_connection.h"

// Only the settings of the chosen backend are filled; the others stay empty.
struct MessagingConfig {
    bool enabled = false;
    MessagingBackend backend = 0;
    RabbitmqSettings rabbitmq;
    NatsSettings nats;
};

// The longest lead-in of silence at a change of rate that a file may ask for.
constexpr uint32_t max_rate_change_silence_ms = 2000;

// The record owns its strings; their c_str() stay valid until config_free, so
// they can be handed to the SDK for the whole run.
struct AppConfig {
    std::string app_id;
    std::string app_secret;
    std::string device_name;
    int32_t device_type = 0;  // no key sets it
    std::string manufacturer;
    std::string model;
    std::string serial_number;
    std::string output_device;
    std::string volume_device;
    std::string volume_element;
    bool external_volume = false;
    std::string volume_rest_url;
    std::string volume_routing_key;
    uint16_t port = 0;
    bool quality_follows_output = false;  // set while maxAudioQuality is absent
    uint32_t max_audio_quality = 0;       // ZrvAudioQuality code
    // Silence played at the new rate before a track whose sample rate
    // differs from the track before it, 0 to max_rate_change_silence_ms.
    uint32_t rate_change_silence_ms = 0;
    MessagingConfig messaging;
};

// Reads, validates and fills the record. On false a message has been written
// to stderr and the record holds no strings. The host name used for a
// deviceName of "%hostname%" comes from host_name (gethostname by default).
bool config_load_from_file(const char *path, AppConfig *config, HostNameSource host_name = system_host_name);

// Releases every string and resets the record to its zero state. Accepts a
// null, empty or partly filled record, and being called twice.
void config_free(AppConfig *config);

// What a loaded configuration leaves without effect although it loads: each
// text one sentence for a WARNING (start-up logs them, the configuration
// check prints them): external volume mode without a bus, in which the
// controller's volume changes reach nothing, or without a REST URL.
std::vector<std::string> config_advisories(const AppConfig &config);

// The usage text with an example file, on stdout.
void config_print_usage(const char *program);
