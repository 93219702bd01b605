// The process entry. Runs on the main thread, which becomes the loop thread
// once the loop runs.
#include <sys/mman.h>
#include <unistd.h>
#include <uv.h>

#include <cstdio>
#include <cstring>
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
    app_log(LOG_DEBUG, "    Application Secret: %s", log_masked(config.app_secret.c_str()).c_str());
    app_log(LOG_DEBUG, "    Audio output device: %s", config.output_device.c_str());
    app_log(LOG_DEBUG, "    Volume control device: %s", config.volume_device.c_str());
    app_log(LOG_DEBUG, "    Volume control element: %s", config.volume_element.c_str());
    app_log(LOG_DEBUG, "    Local config server port: %u", static_cast<unsigned>(config.port));
}

// Loads the configuration. When stderr is the journal's stream, the
// loader's lines (written before the log is in use) are caught in memory and
// then written with the priority the journal takes from them: warnings at
// "<4>", the rest, errors and what explains them, at "<3>". The text of each
// line is unchanged.
bool load_configuration(const char *path, AppConfig *config) {
    if (!log_fd_is_journal(STDERR_FILENO)) return config_load_from_file(path, config);
    const int capture = memfd_create("zorva-renderer-config-messages", MFD_CLOEXEC);
    const int saved = capture < 0 ? -1 : dup(STDERR_FILENO);
    if (saved < 0 || dup2(capture, STDERR_FILENO) < 0) {
        if (capture >= 0) close(capture);
        if (saved >= 0) close(saved);
        return config_load_from_file(path, config);
    }
    const bool loaded = config_load_from_file(path, config);
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);

    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    lseek(capture, 0, SEEK_SET);
    while ((got = read(capture, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
    close(capture);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        std::fprintf(stderr, "%s%s\n", line.rfind("Warning", 0) == 0 ? "<4>" : "<3>", line.c_str());
    }
    return loaded;
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
    if (!load_configuration(config_path, &config)) {
        std::printf("%sError: Failed to load configuration from file: %s\n",
                    log_fd_is_journal(STDOUT_FILENO) ? "<3>" : "", config_path);
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
