// Main thread only, at start-up. Every message goes to stderr: the log is not
// in use yet when the file is read.
#include "app/config.h"

#include <cjson/cJSON.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace {

struct JsonDeleter {
    void operator()(cJSON *json) const noexcept { cJSON_Delete(json); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

struct FileCloser {
    void operator()(std::FILE *file) const noexcept { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct FreeDeleter {
    void operator()(char *text) const noexcept { std::free(text); }
};
using TextPtr = std::unique_ptr<char, FreeDeleter>;

constexpr const char *allocation_failed = "Error: Memory allocation failed\n";

const cJSON *member(const cJSON *object, const char *key) { return cJSON_GetObjectItemCaseSensitive(object, key); }

// A member of another type than string counts as absent.
const char *string_or(const cJSON *object, const char *key, const char *fallback) {
    const cJSON *value = member(object, key);
    return cJSON_IsString(value) && value->valuestring ? value->valuestring : fallback;
}

// Numbers are taken as cJSON's integer value; anything else is absent.
bool integer_of(const cJSON *object, const char *key, int *out) {
    const cJSON *value = member(object, key);
    if (!cJSON_IsNumber(value)) return false;
    *out = value->valueint;
    return true;
}

bool is_even_length_hex(const char *text) {
    size_t length = 0;
    for (const char *c = text; *c; ++c, ++length) {
        bool hex = (*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f') || (*c >= 'A' && *c <= 'F');
        if (!hex) return false;
    }
    return length % 2 == 0;
}

// Reads the whole file into a terminated buffer, or writes why not.
TextPtr read_config_text(const char *path) {
    FilePtr file(std::fopen(path, "rb"));
    if (!file) {
        std::fprintf(stderr, "Error: Unable to open config file: %s\n", path);
        return nullptr;
    }
    // A directory opens and reports an enormous size, and a pipe none at all:
    // only a regular file has a size worth reading.
    struct stat info {};
    long size = -1;
    if (fstat(fileno(file.get()), &info) == 0 && S_ISREG(info.st_mode) && std::fseek(file.get(), 0, SEEK_END) == 0) {
        size = std::ftell(file.get());
    }
    std::rewind(file.get());
    if (size < 1) {
        std::fprintf(stderr, "Error: Config file is empty or invalid: %s\n", path);
        return nullptr;
    }
    TextPtr text(static_cast<char *>(std::malloc(static_cast<size_t>(size) + 1)));
    if (!text) {
        std::fputs(allocation_failed, stderr);
        return nullptr;
    }
    size_t read = std::fread(text.get(), 1, static_cast<size_t>(size), file.get());
    file.reset();
    if (read < static_cast<size_t>(size)) {
        std::fputs("Error: Failed to read entire config file\n", stderr);
        return nullptr;
    }
    text.get()[size] = '\0';
    return text;
}

// The device name with "%hostname%" resolved: the host name with '-' turned
// into '_', since controllers show the name and some refuse hyphens.
std::string resolve_device_name(const char *configured, HostNameSource host_name) {
    if (std::strcmp(configured, "%hostname%") != 0) return configured;
    char name[256] = {};
    if (host_name(name, sizeof name - 1) != 0) {
        std::fputs("Warning: unable to get hostname, using fallback device name\n", stderr);
        return "unknown_host";
    }
    name[sizeof name - 1] = '\0';
    for (char *c = name; *c; ++c) {
        if (*c == '-') *c = '_';
    }
    return name;
}

bool read_nats(const cJSON *object, MessagingConfig *messaging) {
    messaging->enabled = true;
    messaging->backend = MESSAGING_BACKEND_NATS;
    NatsSettings &nats = messaging->nats;
    const char *host = string_or(object, "host", "localhost");
    int port = 4222;
    integer_of(object, "port", &port);
    try {
        try {
            nats.url = std::string("nats://") + host + ":" + std::to_string(port);
        } catch (const std::bad_alloc &) {
            nats.url = "nats://localhost:4222";
        }
        nats.subscribe_subject = string_or(object, "subjectSubscribe", "zorva.incoming.events");
        nats.publish_subject = string_or(object, "subjectPublish", "zorva.outgoing.events");
        nats.secondary_subscribe_subject = string_or(object, "secondarySubscribe", "");
        nats.tertiary_subscribe_subject = string_or(object, "tertiarySubscribe", "");
        nats.username = string_or(object, "username", "");
        nats.password = string_or(object, "password", "");
        nats.token = string_or(object, "token", "");
    } catch (const std::bad_alloc &) {
        std::fputs("Error: Memory allocation failed for NATS config\n", stderr);
        return false;
    }
    // A JSON true is not a number: only a nonzero number turns TLS on.
    int tls = 0;
    nats.tls = integer_of(object, "tls", &tls) && tls != 0;
    return true;
}

// May throw std::bad_alloc; the caller reports it.
bool read_rabbitmq(const cJSON *object, MessagingConfig *messaging) {
    messaging->enabled = true;
    messaging->backend = MESSAGING_BACKEND_RABBITMQ;
    RabbitmqSettings &rabbitmq = messaging->rabbitmq;
    rabbitmq.host = string_or(object, "host", "localhost");
    int port = 5672;
    if (integer_of(object, "port", &port) && (port < 1 || port > 65535)) {
        std::fputs("Error: RabbitMQ port must be an integer in range <1 - 65535>\n", stderr);
        return false;
    }
    rabbitmq.port = static_cast<uint16_t>(port);
    rabbitmq.username = string_or(object, "username", "guest");
    rabbitmq.password = string_or(object, "password", "tansy");
    rabbitmq.exchange = string_or(object, "exchange", "zorva.audio");
    rabbitmq.exchange_type = string_or(object, "exchangeType", "topic");
    rabbitmq.binding_key = string_or(object, "bindingKey", "zorva.incoming.events");
    rabbitmq.secondary_binding_key.clear();
    rabbitmq.tertiary_binding_key.clear();
    rabbitmq.routing_key = string_or(object, "routingKey", "zorva.incoming.events");
    return true;
}

// A "messaging" object counts only for NATS; RabbitMQ settings always come
// from the top-level "rabbitmq" object.
bool read_messaging(const cJSON *root, MessagingConfig *messaging) {
    const cJSON *generic = member(root, "messaging");
    if (cJSON_IsObject(generic)) {
        const cJSON *backend = member(generic, "backend");
        if (cJSON_IsString(backend) && backend->valuestring && std::strcmp(backend->valuestring, "nats") == 0) {
            return read_nats(generic, messaging);
        }
    }
    const cJSON *nats = member(root, "nats");
    if (cJSON_IsObject(nats)) return read_nats(nats, messaging);
    const cJSON *rabbitmq = member(root, "rabbitmq");
    if (cJSON_IsObject(rabbitmq)) return read_rabbitmq(rabbitmq, messaging);
    messaging->enabled = false;
    return true;
}

// Everything after the application credentials. May throw std::bad_alloc.
bool read_settings(const cJSON *root, AppConfig *config, HostNameSource host_name) {
    const char *device_name = string_or(root, "deviceName", "Sample device");
    const char *manufacturer = string_or(root, "manufacturer", "Sample manufacturer");
    const char *model = string_or(root, "model", "Sample model");
    const char *serial_number = string_or(root, "serialNumber", "Serial-1234");
    config->device_name = resolve_device_name(device_name, host_name);
    config->manufacturer = manufacturer;
    config->model = model;
    config->serial_number = serial_number;

    config->output_device = string_or(root, "outputDevice", "plug:default");
    config->volume_device = string_or(root, "volumeDevice", "default");
    config->volume_element = string_or(root, "volumeElement", "Master");
    config->volume_rest_url = string_or(root, "volumeRestUrl", "http://localhost/api/volume/percent");
    config->volume_routing_key = string_or(root, "volumeRoutingKey", "zorva.outgoing.events");
    const char *mode = string_or(root, "volumeControlMode", "external");
    if (std::strcmp(mode, "external") == 0) {
        config->external_volume = true;
    } else if (std::strcmp(mode, "alsa") == 0) {
        config->external_volume = false;
    } else {
        std::fprintf(stderr, "Error: unknown volumeControlMode: \"%s\"\n", mode);
        return false;
    }

    int port = 8000;
    if (integer_of(root, "port", &port) && (port < 1 || port > 65535)) {
        std::fputs("Error: port must be an integer in range <1 - 65535>\n", stderr);
        return false;
    }
    config->port = static_cast<uint16_t>(port);

    const cJSON *quality = member(root, "maxAudioQuality");
    if (cJSON_IsString(quality) && quality->valuestring) {
        static constexpr const char *names[] = {"CD", "HIRES1", "HIRES2", "HIRES3"};
        bool known = false;
        for (uint32_t code = 0; code < 4; ++code) {
            if (std::strcmp(quality->valuestring, names[code]) == 0) {
                config->max_audio_quality = code;
                known = true;
            }
        }
        if (!known) {
            std::fprintf(stderr, "Error: unknown maximum supported audio quality: \"%s\"\n", quality->valuestring);
            return false;
        }
        config->quality_follows_output = false;
    }

    return read_messaging(root, &config->messaging);
}

}  // namespace

bool config_load_from_file(const char *path, AppConfig *config, HostNameSource host_name) {
    if (!path || !config) {
        std::fputs("Error: Invalid arguments to config_load_from_file\n", stderr);
        return false;
    }
    if (!host_name) host_name = system_host_name;
    config_free(config);
    config->external_volume = true;
    config->port = 8000;
    config->quality_follows_output = true;
    config->max_audio_quality = 3;

    JsonPtr root;
    {
        TextPtr text = read_config_text(path);
        if (!text) return false;
        const char *parse_end = nullptr;
        root.reset(cJSON_ParseWithOpts(text.get(), &parse_end, false));
        if (!root) {
            std::fputs("Error: Failed to parse JSON config file\n", stderr);
            if (parse_end) std::fprintf(stderr, "JSON error before: %s\n", parse_end);
            return false;
        }
    }

    const cJSON *app_id = member(root.get(), "appId");
    if (!cJSON_IsString(app_id) || !app_id->valuestring) {
        std::fputs("Error: appId is required in config file\n", stderr);
        return false;
    }
    const cJSON *app_secret = member(root.get(), "appSecret");
    if (!cJSON_IsString(app_secret) || !app_secret->valuestring) {
        std::fputs("Error: appSecret is required in config file\n", stderr);
        return false;
    }
    if (!is_even_length_hex(app_secret->valuestring)) {
        std::fputs("Error: appSecret has invalid format (must be valid hex string)\n", stderr);
        return false;
    }
    try {
        config->app_id = app_id->valuestring;
        config->app_secret = app_secret->valuestring;
    } catch (const std::bad_alloc &) {
        std::fputs(allocation_failed, stderr);
        std::string().swap(config->app_id);
        std::string().swap(config->app_secret);
        return false;
    }

    bool loaded = false;
    try {
        loaded = read_settings(root.get(), config, host_name);
    } catch (const std::bad_alloc &) {
        std::fputs(allocation_failed, stderr);
    }
    if (!loaded) config_free(config);
    return loaded;
}

void config_free(AppConfig *config) {
    if (!config) return;
    // Moving a fresh record in releases every string without allocating.
    *config = AppConfig{};
}

void config_print_usage(const char *program) {
    std::printf("\nUsage: %s <config_file>\n", program ? program : "");
    std::fputs(
        "       <config_file>:  Path to JSON configuration file\n"
        "\n"
        "Configuration file example:\n"
        "{\n"
        "  \"appId\": \"your-app-id\",\n"
        "  \"appSecret\": \"your-app-secret-hex\",\n"
        "  \"deviceName\": \"Sample device\",\n"
        "  \"manufacturer\": \"Sample manufacturer\",\n"
        "  \"model\": \"Sample model\",\n"
        "  \"serialNumber\": \"Serial-1234\",\n"
        "  \"outputDevice\": \"plug:default\",\n"
        "  \"volumeDevice\": \"default\",\n"
        "  \"volumeElement\": \"Master\",\n"
        "  \"port\": 8000,\n"
        "  \"maxAudioQuality\": \"HIRES3\"\n"
        "}\n",
        stdout);
}
