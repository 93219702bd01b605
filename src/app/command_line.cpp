// Main thread only, before the loop and the log exist: everything goes to
// stdout, the loader's own messages to stderr.
#include "app/command_line.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "app/build_info.h"
#include "app/config.h"
#include "app/unique_device_id.h"
#include "zorva_connect.h"

namespace {

constexpr std::string_view check_config_option = "--check-config";

}  // namespace

CommandLine command_line_parse(int argc, const char *const *argv) {
    CommandLine line;
    std::vector<std::string> paths;
    bool help = false;
    bool version = false;
    bool check = false;
    bool options_ended = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i] ? argv[i] : "";
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            paths.emplace_back(arg);
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg == "--help" || arg == "-h") {
            help = true;
        } else if (arg == "--version" || arg == "-V") {
            version = true;
        } else if (arg == check_config_option) {
            if (i + 1 >= argc) {
                line.error = "Error: --check-config needs a configuration file";
                return line;
            }
            check = true;
            paths.emplace_back(argv[++i] ? argv[i] : "");
        } else if (arg.substr(0, check_config_option.size() + 1) == std::string(check_config_option) + "=") {
            check = true;
            paths.emplace_back(arg.substr(check_config_option.size() + 1));
        } else {
            line.error = "Error: unknown option: " + std::string(arg);
            return line;
        }
    }
    if (help) {
        line.action = CommandAction::help;
    } else if (version) {
        line.action = CommandAction::version;
    } else if (paths.size() != 1) {
        line.error = check ? "Error: --check-config takes exactly one configuration file"
                           : "Error: Configuration file path is required!";
    } else {
        line.action = check ? CommandAction::check_config : CommandAction::run;
        line.path = paths.front();
    }
    return line;
}

void command_line_print_help(const char *program) {
    config_print_usage(program);
    std::printf(
        "\n"
        "Options:\n"
        "  --check-config <config_file>\n"
        "                  Load and validate the file as start-up does, print the\n"
        "                  effective settings with secrets masked and exit: 0 when\n"
        "                  the daemon would start with it, 1 when not. Starts nothing.\n"
        "  --version, -V   Print the daemon's and the Zorva Connect SDK's versions.\n"
        "  --help, -h      Print this text.\n"
        "  --              End of options: the next argument is the file.\n");
}

void command_line_print_version() {
    std::printf("zorva-renderer %s\n", daemon_version());
    if (sdk_is_standin())
        std::printf("Zorva Connect SDK %s (stand-in: for development and tests, not for devices)\n", sdk_version());
    else
        std::printf("Zorva Connect SDK %s\n", sdk_version());
}

const char *masked_secret(const std::string &secret) { return secret.empty() ? "(empty)" : "(hidden)"; }

std::string mask_url_credentials(const std::string &url) {
    const size_t scheme_end = url.find("://");
    const size_t authority = scheme_end == std::string::npos ? 0 : scheme_end + 3;
    const size_t authority_end = url.find_first_of("/?#", authority);
    if (authority_end == authority) return url;
    const size_t at = url.rfind('@', authority_end == std::string::npos ? std::string::npos : authority_end - 1);
    if (at == std::string::npos || at < authority) return url;
    return url.substr(0, authority) + "****" + url.substr(at);
}

void config_print_effective(const AppConfig &config, const std::string &unique_device_id, std::FILE *out) {
    auto line = [out](const char *name, const std::string &value) {
        std::fprintf(out, "    %s: %s\n", name, value.c_str());
    };
    line("Device Name", config.device_name);
    line("Manufacturer", config.manufacturer);
    line("Model", config.model);
    line("Serial Number", config.serial_number);
    line("Application ID", config.app_id);
    line("Application Secret", masked_secret(config.app_secret));
    line("Audio output device", config.output_device);
    line("Volume control device", config.volume_device);
    line("Volume control element", config.volume_element);
    line("Volume control mode", config.external_volume ? "external" : "alsa");
    if (config.external_volume) {
        line("Volume REST URL", mask_url_credentials(config.volume_rest_url));
        line("Volume routing key", config.volume_routing_key);
    }
    line("Local config server port", std::to_string(config.port));
    line("Maximum supported audio quality", config.quality_follows_output
                                                ? std::string("taken from the audio output")
                                                : zrv_audio_quality_to_string(config.max_audio_quality));
    line("Silence at a rate change", std::to_string(config.rate_change_silence_ms) + " ms");
    line("Unique Device ID", unique_device_id);

    const MessagingConfig &m = config.messaging;
    if (!m.enabled) {
        line("Messaging", "disabled");
    } else if (m.backend == MESSAGING_BACKEND_NATS) {
        line("Messaging", "NATS");
        line("NATS URL", mask_url_credentials(m.nats.url));
        line("NATS subscribe subject", m.nats.subscribe_subject);
        line("NATS publish subject", m.nats.publish_subject);
        if (!m.nats.secondary_subscribe_subject.empty())
            line("NATS secondary subscribe subject", m.nats.secondary_subscribe_subject);
        if (!m.nats.tertiary_subscribe_subject.empty())
            line("NATS tertiary subscribe subject", m.nats.tertiary_subscribe_subject);
        line("NATS username", m.nats.username);
        line("NATS password", masked_secret(m.nats.password));
        line("NATS token", masked_secret(m.nats.token));
        line("NATS TLS", m.nats.tls ? "on" : "off");
    } else {
        line("Messaging", "RabbitMQ");
        line("RabbitMQ host", m.rabbitmq.host);
        line("RabbitMQ port", std::to_string(m.rabbitmq.port));
        line("RabbitMQ username", m.rabbitmq.username);
        line("RabbitMQ password", masked_secret(m.rabbitmq.password));
        line("RabbitMQ exchange", m.rabbitmq.exchange);
        line("RabbitMQ exchange type", m.rabbitmq.exchange_type);
        line("RabbitMQ binding key", m.rabbitmq.binding_key);
        line("RabbitMQ routing key", m.rabbitmq.routing_key);
    }
}

int command_line_check_config(const char *path) {
    AppConfig config;
    if (!config_load_from_file(path, &config)) {
        std::printf("Error: Failed to load configuration from file: %s\n", path);
        return 1;
    }
    for (const std::string &advisory : config_advisories(config))
        std::fprintf(stderr, "Warning: %s\n", advisory.c_str());
    std::printf("Configuration file: %s\n", path);
    config_print_effective(config, unique_device_id_derive(config.serial_number.c_str()), stdout);
    std::printf("Configuration is valid\n");
    config_free(&config);
    return 0;
}
