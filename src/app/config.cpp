// Main thread only, at start-up. Every message goes to stderr: the log is not
// in use yet when the file is read.
#include "app/config.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/file_ptr.h"
#include "config_server/cjson_ptr.h"

namespace {

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

// The keys the loader reads, per object. A key outside these lists is named
// on stderr, since a typo ("rabbitMQ") would otherwise switch a feature off
// without a word.
constexpr std::string_view top_level_keys[] = {
    "appId",         "appSecret",          "deviceName",       "manufacturer",
    "model",         "serialNumber",       "outputDevice",     "volumeDevice",
    "volumeElement", "volumeRestUrl",      "volumeRoutingKey", "volumeControlMode",
    "port",          "maxAudioQuality",    "messaging",        "nats",
    "rabbitmq",      "rateChangeSilenceMs"};
// "backend" is read only inside "messaging"; a "nats" object has the rest.
constexpr std::string_view messaging_keys[] = {"backend",
                                               "host",
                                               "port",
                                               "subjectSubscribe",
                                               "subjectPublish",
                                               "secondarySubscribe",
                                               "tertiarySubscribe",
                                               "username",
                                               "password",
                                               "token",
                                               "tls"};
constexpr std::span<const std::string_view> nats_keys = std::span(messaging_keys).subspan(1);
constexpr std::string_view rabbitmq_keys[] = {"host",         "port",       "username",   "password", "exchange",
                                              "exchangeType", "bindingKey", "routingKey", "tls",      "caFile"};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// Edits (insert, delete, replace, swap of neighbours) between two keys,
// ignoring case.
size_t key_distance(std::string_view a, std::string_view b) {
    std::vector<size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) previous[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        current[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
            current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
            if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) && lower(a[i - 2]) == lower(b[j - 1]))
                current[j] = std::min(current[j], before[j - 2] + 1);
        }
        before.swap(previous);
        previous.swap(current);
    }
    return previous[b.size()];
}

// The known key closest to `key`, when it is close enough to be a typo of it.
std::string_view closest_key(std::string_view key, std::span<const std::string_view> known) {
    std::string_view best;
    size_t best_distance = 0;
    for (std::string_view candidate : known) {
        const size_t distance = key_distance(key, candidate);
        if (best.empty() || distance < best_distance) {
            best = candidate;
            best_distance = distance;
        }
    }
    return best_distance <= std::max<size_t>(1, best.size() / 3) ? best : std::string_view();
}

// One warning per member of `object` that the loader does not read there.
// `scope` is the object's key ("" at the top level) and prefixes the names.
void warn_unknown_keys(const cJSON *object, std::span<const std::string_view> known, std::string_view scope) {
    const std::string prefix = scope.empty() ? std::string() : std::string(scope) + ".";
    for (const cJSON *item = object->child; item; item = item->next) {
        const std::string_view key = item->string ? item->string : "";
        if (std::find(known.begin(), known.end(), key) != known.end()) continue;
        std::string line = "Warning: unknown configuration key \"" + prefix + std::string(key) + "\" ignored";
        const std::string_view suggestion = closest_key(key, known);
        if (!suggestion.empty()) line += "; did you mean \"" + prefix + std::string(suggestion) + "\"?";
        line += '\n';
        std::fputs(line.c_str(), stderr);
    }
}

// Warnings only: loading goes on as if the unknown keys were not there.
void warn_unknown_configuration_keys(const cJSON *root) noexcept {
    if (!cJSON_IsObject(root)) return;
    try {
        warn_unknown_keys(root, top_level_keys, "");
        const std::pair<const char *, std::span<const std::string_view>> scopes[] = {
            {"messaging", messaging_keys}, {"nats", nats_keys}, {"rabbitmq", rabbitmq_keys}};
        for (const auto &[scope, known] : scopes) {
            const cJSON *object = member(root, scope);
            if (cJSON_IsObject(object)) warn_unknown_keys(object, known, scope);
        }
    } catch (const std::bad_alloc &) {
        // Out of memory: the warnings are dropped; loading goes on and says
        // what fails.
    }
}

// A key the loader knows, the JSON type it reads and what it falls back to
// when the value has another type.
struct TypedKey {
    const char *key;
    int type;  // cJSON_String, cJSON_Number or cJSON_Object
    const char *fallback;
};

constexpr TypedKey typed_top_level_keys[] = {
    {"deviceName", cJSON_String, "\"Sample device\""},
    {"manufacturer", cJSON_String, "\"Sample manufacturer\""},
    {"model", cJSON_String, "\"Sample model\""},
    {"serialNumber", cJSON_String, "\"Serial-1234\""},
    {"outputDevice", cJSON_String, "\"plug:default\""},
    {"volumeDevice", cJSON_String, "\"default\""},
    {"volumeElement", cJSON_String, "\"Master\""},
    {"volumeRestUrl", cJSON_String, "\"http://localhost/api/volume/percent\""},
    {"volumeRoutingKey", cJSON_String, "\"zorva.outgoing.events\""},
    {"volumeControlMode", cJSON_String, "\"external\""},
    {"port", cJSON_Number, "8000"},
    {"maxAudioQuality", cJSON_String, "the audio output's maximum quality"},
    {"messaging", cJSON_Object, "no messaging from this key"},
    {"nats", cJSON_Object, "no NATS settings from this key"},
    {"rabbitmq", cJSON_Object, "no RabbitMQ settings from this key"},
    {"rateChangeSilenceMs", cJSON_Number, "0"},
};
constexpr TypedKey typed_nats_keys[] = {
    {"backend", cJSON_String, "no NATS settings from \"messaging\""},
    {"host", cJSON_String, "\"localhost\""},
    {"port", cJSON_Number, "4222"},
    {"subjectSubscribe", cJSON_String, "\"zorva.incoming.events\""},
    {"subjectPublish", cJSON_String, "\"zorva.outgoing.events\""},
    {"secondarySubscribe", cJSON_String, "none"},
    {"tertiarySubscribe", cJSON_String, "none"},
    {"username", cJSON_String, "none"},
    {"password", cJSON_String, "none"},
    {"token", cJSON_String, "none"},
    {"tls", cJSON_Number, "0 (TLS off)"},
};
constexpr TypedKey typed_rabbitmq_keys[] = {
    {"host", cJSON_String, "\"localhost\""},
    {"port", cJSON_Number, "5672"},
    {"username", cJSON_String, "\"guest\""},
    {"password", cJSON_String, "the default password"},
    {"exchange", cJSON_String, "\"zorva.audio\""},
    {"exchangeType", cJSON_String, "\"topic\""},
    {"bindingKey", cJSON_String, "\"zorva.incoming.events\""},
    {"routingKey", cJSON_String, "\"zorva.incoming.events\""},
    {"caFile", cJSON_String, "\"\" (the system's CAs)"},
};

const char *json_type_name(const cJSON *value) {
    if (cJSON_IsString(value)) return "a string";
    if (cJSON_IsNumber(value)) return "a number";
    if (cJSON_IsBool(value)) return "a boolean";
    if (cJSON_IsArray(value)) return "an array";
    if (cJSON_IsObject(value)) return "an object";
    return "invalid";
}

const char *wanted_type_name(int type) {
    return type == cJSON_String ? "a string" : type == cJSON_Number ? "a number" : "an object";
}

// One warning per known key of `object` whose value has a type the loader
// does not read there, naming the value it falls back to.
void warn_mistyped_keys(const cJSON *object, std::span<const TypedKey> keys, std::string_view scope) {
    for (const TypedKey &typed : keys) {
        const cJSON *value = member(object, typed.key);
        // null says "unset" as plainly as leaving the key out.
        if (!value || cJSON_IsNull(value) || (value->type & 0xff) == typed.type) continue;
        const std::string name = scope.empty() ? typed.key : std::string(scope) + "." + typed.key;
        std::fprintf(stderr, "Warning: configuration key \"%s\" is %s, not %s: ignored, %s is used\n", name.c_str(),
                     json_type_name(value), wanted_type_name(typed.type), typed.fallback);
    }
}

// Warnings only: the loader reads such a value as absent, as it always has.
void warn_mistyped_configuration_keys(const cJSON *root) noexcept {
    if (!cJSON_IsObject(root)) return;
    try {
        warn_mistyped_keys(root, typed_top_level_keys, "");
        const cJSON *messaging = member(root, "messaging");
        if (cJSON_IsObject(messaging)) warn_mistyped_keys(messaging, typed_nats_keys, "messaging");
        const cJSON *nats = member(root, "nats");
        if (cJSON_IsObject(nats)) warn_mistyped_keys(nats, std::span(typed_nats_keys).subspan(1), "nats");
        const cJSON *rabbitmq = member(root, "rabbitmq");
        if (cJSON_IsObject(rabbitmq)) warn_mistyped_keys(rabbitmq, typed_rabbitmq_keys, "rabbitmq");
    } catch (const std::bad_alloc &) {
        // Out of memory: the warnings are dropped; loading goes on.
    }
}

// Reads the whole file into a terminated buffer, or writes why not.
// A place in a text: line and column, both counted from 1; the column in
// bytes.
struct TextPosition {
    size_t line = 1;
    size_t column = 1;
};

TextPosition text_position(const char *text, const char *at) {
    TextPosition position;
    for (const char *c = text; c < at && *c; ++c) {
        if (*c == '\n') {
            ++position.line;
            position.column = 1;
        } else {
            ++position.column;
        }
    }
    return position;
}

std::unique_ptr<char[]> read_config_text(const char *path) {
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
    std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<size_t>(size) + 1]);
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
    text[size] = '\0';
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
    // A nonzero number turns TLS on, as for NATS; this newer key also takes
    // JSON true, so a broker is never reached in clear by a slip of type.
    int tls = 0;
    rabbitmq.tls = (integer_of(object, "tls", &tls) && tls != 0) || cJSON_IsTrue(member(object, "tls"));
    rabbitmq.ca_file = string_or(object, "caFile", "");
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

    // Out of range is taken as the nearest value allowed rather than an
    // error: the device still plays, with a warning that says what is used.
    int silence_ms = 0;
    if (integer_of(root, "rateChangeSilenceMs", &silence_ms) &&
        (silence_ms < 0 || silence_ms > static_cast<int>(max_rate_change_silence_ms))) {
        const int used = silence_ms < 0 ? 0 : static_cast<int>(max_rate_change_silence_ms);
        std::fprintf(stderr, "Warning: rateChangeSilenceMs must be 0 to %u: %d is out of range, %d is used\n",
                     max_rate_change_silence_ms, silence_ms, used);
        silence_ms = used;
    }
    config->rate_change_silence_ms = static_cast<uint32_t>(silence_ms);

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

    CJsonPtr root;
    {
        std::unique_ptr<char[]> text = read_config_text(path);
        if (!text) return false;
        const char *parse_end = nullptr;
        root.reset(cJSON_ParseWithOpts(text.get(), &parse_end, false));
        if (!root) {
            std::fputs("Error: Failed to parse JSON config file\n", stderr);
            // Where, not what: the text after the error may hold passwords.
            if (parse_end) {
                const TextPosition position = text_position(text.get(), parse_end);
                std::fprintf(stderr, "JSON error at line %zu, column %zu\n", position.line, position.column);
            }
            return false;
        }
    }
    warn_unknown_configuration_keys(root.get());
    warn_mistyped_configuration_keys(root.get());

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

std::vector<std::string> config_advisories(const AppConfig &config) {
    std::vector<std::string> advisories;
    if (!config.external_volume) return advisories;
    // The controller's volume goes to the external volume controller over
    // the bus; without one it reaches nothing.
    if (!config.messaging.enabled)
        advisories.emplace_back(
            "volumeControlMode is \"external\" (the default) but no message bus is configured: the phone's volume "
            "will do nothing. Configure a bus for the external volume controller, or set volumeControlMode to "
            "\"alsa\"");
    if (config.volume_rest_url.empty())
        advisories.emplace_back(
            "volumeControlMode is \"external\" but volumeRestUrl is empty: the volume is not read from the "
            "external volume controller at start-up");
    return advisories;
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
