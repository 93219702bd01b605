// The process entry. Runs on the main thread, which becomes the loop thread
// once the loop runs.
#include <uv.h>

#include <cstdio>
#include <string>

#include "app/app.h"
#include "app/config.h"
#include "app/log.h"
#include "app/unique_device_id.h"

namespace {

void log_settings(const AppConfig &config) {
    app_log(LOG_DEBUG, "Starting sample application");
    app_log(LOG_DEBUG, "    Device Name: %s", config.device_name.c_str());
    app_log(LOG_DEBUG, "    Manufacturer: %s", config.manufacturer.c_str());
    app_log(LOG_DEBUG, "    Model: %s", config.model.c_str());
    app_log(LOG_DEBUG, "    Serial Number: %s", config.serial_number.c_str());
    app_log(LOG_DEBUG, "    Application ID: %s", config.app_id.c_str());
    app_log(LOG_DEBUG, "    Application Secret: %s", log_masked(config.app_secret.c_str()).c_str());
    app_log(LOG_DEBUG, "    Audio output device: %s", config.output_device.c_str());
    app_log(LOG_DEBUG, "    Volume control device: %s", config.volume_device.c_str());
    app_log(LOG_DEBUG, "    Volume control element: %s", config.volume_element.c_str());
    app_log(LOG_DEBUG, "    Local config server port: %u", static_cast<unsigned>(config.port));
}

}  // namespace

int main(int argc, char **argv) {
    // Each log line must leave the process as soon as it is written.
    setlinebuf(stdout);
    const char *program = argc > 0 && argv[0] ? argv[0] : "zorva-renderer";
    if (argc != 2) {
        std::puts("Error: Configuration file path is required!");
        config_print_usage(program);
        return 1;
    }

    AppConfig config;
    if (!config_load_from_file(argv[1], &config)) {
        std::printf("Error: Failed to load configuration from file: %s\n", argv[1]);
        config_print_usage(program);
        return 1;
    }
    log_settings(config);

    // The SDK keeps a pointer to the id, so it lives until main returns.
    const std::string unique_device_id = unique_device_id_derive(config.serial_number.c_str());
    app_log(LOG_DEBUG, "    Unique Device ID: %s", unique_device_id.c_str());

    uv_loop_t *loop = uv_default_loop();
    AppState state;
    if (!loop || !app_wire(&state, loop, config, unique_device_id)) {
        if (!loop) app_log(LOG_ERROR, "Unable to get the default event loop");
        config_free(&config);
        return 1;
    }

    app_log(LOG_TRACE, "Running event loop");
    uv_run(loop, UV_RUN_DEFAULT);
    app_log(LOG_TRACE, "Event loop has finished");
    // Handles of other modules may still be open; the process ends anyway.
    uv_loop_close(loop);
    config_free(&config);
    app_log(LOG_DEBUG, "Sample application finished");
    return 0;
}
