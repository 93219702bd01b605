// The process entry. Runs on the main thread, which becomes the loop thread
// once the loop runs.
#include <uv.h>

#include <cstdio>
#include <string>

#include "app/app.h"
#include "app/build_info.h"
#include "app/command_line.h"
#include "app/config.h"
#include "app/log.h"
#include "app/unique_device_id.h"

namespace {

// The first lines of a run: which daemon, which SDK, and a warning that
// cannot be missed when the SDK is the stand-in.
void log_versions() {
    app_log(LOG_INFO, "zorva-renderer %s, Zorva Connect SDK %s", daemon_version(), sdk_version());
    if (sdk_is_standin())
        app_log(LOG_WARNING,
                "This daemon runs the stand-in Zorva Connect SDK, built for development and tests: any host on "
                "the network can script its playback through \"standin:\" endpoints. Do not ship it on a device");
}

void log_settings(const AppConfig &config) {
    app_log(LOG_DEBUG, "Starting sample application");
    app_log(LOG_DEBUG, "    Device Name: %s", config.device_name.c_str());
    app_log(LOG_DEBUG, "    Manufacturer: %s", config.manufacturer.c_str());
    app_log(LOG_DEBUG, "    Model: %s", config.model.c_str());
    app_log(LOG_DEBUG, "    Serial Number: %s", config.serial_number.c_str());
    app_log(LOG_DEBUG, "    Application ID: %s", config.app_id.c_str());
    app_log(LOG_DEBUG, "    Application Secret: %s", config.app_secret.c_str());
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
    const CommandLine command_line = command_line_parse(argc, argv);
    switch (command_line.action) {
        case CommandAction::help:
            command_line_print_help(program);
            return 0;
        case CommandAction::version:
            command_line_print_version();
            return 0;
        case CommandAction::check_config:
            return command_line_check_config(command_line.path.c_str());
        case CommandAction::usage_error:
            std::puts(command_line.error.c_str());
            config_print_usage(program);
            return 1;
        case CommandAction::run:
            break;
    }
    const char *config_path = command_line.path.c_str();
    // The journal takes a priority from each line when stdout is its stream.
    log_detect_journal();

    AppConfig config;
    if (!config_load_from_file(config_path, &config)) {
        std::printf("Error: Failed to load configuration from file: %s\n", config_path);
        config_print_usage(program);
        return 1;
    }
    log_versions();
    log_settings(config);
    for (const std::string &advisory : config_advisories(config)) app_log(LOG_WARNING, "%s", advisory.c_str());

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
