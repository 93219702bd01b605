#include "app/config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture.h"
#include "expected_usage.h"

namespace {

struct LoadResult {
    bool ok;
    std::string err;
};

// Loads the text from a temporary file with stderr captured.
LoadResult load_text(const std::string &json, AppConfig *config, HostNameSource host = system_host_name) {
    TempDir dir;
    std::string path = dir.write("config.json", json);
    StreamCapture err(STDERR_FILENO);
    bool ok = config_load_from_file(path.c_str(), config, host);
    return {ok, err.finish()};
}

// Fails with the exact message, and the record holds no strings afterwards.
void expect_failure(const std::string &json, const std::string &message) {
    AppConfig config;
    LoadResult result = load_text(json, &config);
    EXPECT_FALSE(result.ok) << json;
    EXPECT_EQ(result.err, message) << json;
    EXPECT_TRUE(config.app_id.empty() && config.app_secret.empty() && config.device_name.empty() &&
                config.output_device.empty() && config.messaging.nats.url.empty() &&
                config.messaging.rabbitmq.host.empty())
        << json;
}

AppConfig load_ok(const std::string &json, HostNameSource host = system_host_name) {
    AppConfig config;
    LoadResult result = load_text(json, &config, host);
    EXPECT_TRUE(result.ok) << json << "\n" << result.err;
    EXPECT_EQ(result.err, "") << json;
    return config;
}

std::string with_credentials(const std::string &members) {
    return R"({"appId": "app", "appSecret": "00ff")" + (members.empty() ? "" : ", " + members) + "}";
}

int host_with_hyphens(char *name, size_t length) {
    std::strncpy(name, "living-room-box", length);
    return 0;
}
int host_empty(char *name, size_t /*length*/) {
    name[0] = '\0';
    return 0;
}
int host_fails(char * /*name*/, size_t /*length*/) { return -1; }

TEST(ConfigRequiredKeys, MinimalFileLoadsWithEveryDefault) {
    AppConfig c = load_ok(R"({"appId": "my-app", "appSecret": ""})");
    EXPECT_EQ(c.app_id, "my-app");
    EXPECT_EQ(c.app_secret, "");
    EXPECT_EQ(c.device_name, "Sample device");
    EXPECT_EQ(c.device_type, 0);
    EXPECT_EQ(c.manufacturer, "Sample manufacturer");
    EXPECT_EQ(c.model, "Sample model");
    EXPECT_EQ(c.serial_number, "Serial-1234");
    EXPECT_EQ(c.output_device, "plug:default");
    EXPECT_EQ(c.volume_device, "default");
    EXPECT_EQ(c.volume_element, "Master");
    EXPECT_TRUE(c.external_volume);
    EXPECT_EQ(c.volume_rest_url, "http://localhost/api/volume/percent");
    EXPECT_EQ(c.volume_routing_key, "zorva.outgoing.events");
    EXPECT_EQ(c.port, 8000);
    EXPECT_TRUE(c.quality_follows_output);
    EXPECT_EQ(c.max_audio_quality, 3u);
    EXPECT_FALSE(c.messaging.enabled);
    EXPECT_EQ(c.messaging.backend, 0u);
    EXPECT_EQ(c.messaging.nats.url, "");
    EXPECT_EQ(c.messaging.rabbitmq.host, "");
    config_free(&c);
}

TEST(ConfigRequiredKeys, EveryKeyIsRead) {
    AppConfig c = load_ok(with_credentials(
        R"("deviceName": "Den", "manufacturer": "Acme", "model": "M1", "serialNumber": "S-9",
           "outputDevice": "hw:1", "volumeDevice": "hw:2", "volumeElement": "PCM",
           "volumeRestUrl": "http://10.0.0.1/v", "volumeRoutingKey": "vol.key",
           "volumeControlMode": "alsa", "port": 8123, "maxAudioQuality": "HIRES1")"));
    EXPECT_EQ(c.device_name, "Den");
    EXPECT_EQ(c.manufacturer, "Acme");
    EXPECT_EQ(c.model, "M1");
    EXPECT_EQ(c.serial_number, "S-9");
    EXPECT_EQ(c.output_device, "hw:1");
    EXPECT_EQ(c.volume_device, "hw:2");
    EXPECT_EQ(c.volume_element, "PCM");
    EXPECT_EQ(c.volume_rest_url, "http://10.0.0.1/v");
    EXPECT_EQ(c.volume_routing_key, "vol.key");
    EXPECT_FALSE(c.external_volume);
    EXPECT_EQ(c.port, 8123);
    EXPECT_FALSE(c.quality_follows_output);
    EXPECT_EQ(c.max_audio_quality, 1u);
}

TEST(ConfigRequiredKeys, KeysOfAnotherTypeCountAsAbsent) {
    AppConfig c;
    LoadResult result = load_text(
        with_credentials(
            R"("deviceName": 5, "model": null, "volumeControlMode": true, "port": "8080", "maxAudioQuality": 2,
           "DeviceName": "case matters")"),
        &c);
    ASSERT_TRUE(result.ok);
    // Each is named with what it falls back to; null is plainly unset.
    EXPECT_EQ(result.err,
              "Warning: unknown configuration key \"DeviceName\" ignored; did you mean \"deviceName\"?\n"
              "Warning: configuration key \"deviceName\" is a number, not a string: ignored, \"Sample device\" is "
              "used\n"
              "Warning: configuration key \"volumeControlMode\" is a boolean, not a string: ignored, \"external\" is "
              "used\n"
              "Warning: configuration key \"port\" is a string, not a number: ignored, 8000 is used\n"
              "Warning: configuration key \"maxAudioQuality\" is a number, not a string: ignored, the audio output's "
              "maximum quality is used\n");
    EXPECT_EQ(c.device_name, "Sample device");
    EXPECT_EQ(c.model, "Sample model");
    EXPECT_TRUE(c.external_volume);
    EXPECT_EQ(c.port, 8000);
    EXPECT_TRUE(c.quality_follows_output);
}

TEST(ConfigRequiredKeys, MissingOrMistypedCredentialsFailInOrder) {
    expect_failure(R"({"appSecret": "00"})", "Error: appId is required in config file\n");
    expect_failure(R"({"appId": 12, "appSecret": "00"})", "Error: appId is required in config file\n");
    expect_failure(R"({})", "Error: appId is required in config file\n");
    expect_failure(R"({"appId": "a"})", "Error: appSecret is required in config file\n");
    expect_failure(R"({"appId": "a", "appSecret": 1234})", "Error: appSecret is required in config file\n");
    expect_failure(R"(["appId", "appSecret"])", "Error: appId is required in config file\n");
}

TEST(ConfigAppSecret, MustBeEvenLengthHex) {
    const std::string bad = "Error: appSecret has invalid format (must be valid hex string)\n";
    expect_failure(R"({"appId": "a", "appSecret": "abc"})", bad);
    expect_failure(R"({"appId": "a", "appSecret": "0g"})", bad);
    expect_failure(R"({"appId": "a", "appSecret": "00 11"})", bad);
    AppConfig c = load_ok(R"({"appId": "a", "appSecret": "09afAF7b"})");
    EXPECT_EQ(c.app_secret, "09afAF7b");
}

TEST(ConfigPorts, ServerPortRange) {
    const std::string bad = "Error: port must be an integer in range <1 - 65535>\n";
    expect_failure(with_credentials(R"("port": 0)"), bad);
    expect_failure(with_credentials(R"("port": 65536)"), bad);
    expect_failure(with_credentials(R"("port": -1)"), bad);
    EXPECT_EQ(load_ok(with_credentials(R"("port": 65535)")).port, 65535);
    EXPECT_EQ(load_ok(with_credentials(R"("port": 1)")).port, 1);
}

TEST(ConfigPorts, RabbitMqPortRange) {
    const std::string bad = "Error: RabbitMQ port must be an integer in range <1 - 65535>\n";
    expect_failure(with_credentials(R"("rabbitmq": {"port": 0})"), bad);
    expect_failure(with_credentials(R"("rabbitmq": {"port": 65536})"), bad);
    EXPECT_EQ(load_ok(with_credentials(R"("rabbitmq": {"port": 65535})")).messaging.rabbitmq.port, 65535);
    AppConfig mistyped;
    EXPECT_EQ(load_text(with_credentials(R"("rabbitmq": {"port": "1"})"), &mistyped).err,
              "Warning: configuration key \"rabbitmq.port\" is a string, not a number: ignored, 5672 is used\n");
    EXPECT_EQ(mistyped.messaging.rabbitmq.port, 5672);
}

TEST(ConfigQuality, NamesMapToCodes) {
    const char *names[] = {"CD", "HIRES1", "HIRES2", "HIRES3"};
    for (uint32_t code = 0; code < 4; ++code) {
        AppConfig c = load_ok(with_credentials(std::string(R"("maxAudioQuality": ")") + names[code] + "\""));
        EXPECT_FALSE(c.quality_follows_output) << names[code];
        EXPECT_EQ(c.max_audio_quality, code) << names[code];
    }
    expect_failure(with_credentials(R"("maxAudioQuality": "hires3")"),
                   "Error: unknown maximum supported audio quality: \"hires3\"\n");
    expect_failure(with_credentials(R"("maxAudioQuality": "")"),
                   "Error: unknown maximum supported audio quality: \"\"\n");
}

// The lead-in at a rate change: 0 when absent, taken as given within 0 to
// 2000 ms, and out of range the nearest bound with a warning that says so.
TEST(ConfigRateChangeSilence, RangeIsClampedWithAWarning) {
    EXPECT_EQ(load_ok(with_credentials("")).rate_change_silence_ms, 0u);
    EXPECT_EQ(load_ok(with_credentials(R"("rateChangeSilenceMs": 0)")).rate_change_silence_ms, 0u);
    EXPECT_EQ(load_ok(with_credentials(R"("rateChangeSilenceMs": 750.9)")).rate_change_silence_ms, 750u);
    EXPECT_EQ(load_ok(with_credentials(R"("rateChangeSilenceMs": 2000)")).rate_change_silence_ms, 2000u);
    struct {
        const char *value;
        uint32_t used;
        const char *warning;
    } const out_of_range[] = {
        {"2001", 2000, "Warning: rateChangeSilenceMs must be 0 to 2000: 2001 is out of range, 2000 is used\n"},
        {"1e12", 2000, "Warning: rateChangeSilenceMs must be 0 to 2000: 2147483647 is out of range, 2000 is used\n"},
        {"-5", 0, "Warning: rateChangeSilenceMs must be 0 to 2000: -5 is out of range, 0 is used\n"},
    };
    for (const auto &c : out_of_range) {
        AppConfig config;
        LoadResult result = load_text(with_credentials(std::string(R"("rateChangeSilenceMs": )") + c.value), &config);
        EXPECT_TRUE(result.ok) << c.value;
        EXPECT_EQ(result.err, c.warning);
        EXPECT_EQ(config.rate_change_silence_ms, c.used) << c.value;
    }
    AppConfig mistyped;
    EXPECT_EQ(load_text(with_credentials(R"("rateChangeSilenceMs": "500")"), &mistyped).err,
              "Warning: configuration key \"rateChangeSilenceMs\" is a string, not a number: ignored, 0 is used\n");
    EXPECT_EQ(mistyped.rate_change_silence_ms, 0u);
}

TEST(ConfigVolumeMode, OnlyExternalOrAlsa) {
    EXPECT_TRUE(load_ok(with_credentials(R"("volumeControlMode": "external")")).external_volume);
    EXPECT_FALSE(load_ok(with_credentials(R"("volumeControlMode": "alsa")")).external_volume);
    expect_failure(with_credentials(R"("volumeControlMode": "ALSA")"), "Error: unknown volumeControlMode: \"ALSA\"\n");
}

TEST(ConfigMessaging, MessagingObjectWithNatsBackendUsesDefaults) {
    AppConfig c = load_ok(with_credentials(R"("messaging": {"backend": "nats"})"));
    const MessagingConfig &m = c.messaging;
    EXPECT_TRUE(m.enabled);
    EXPECT_EQ(m.backend, MESSAGING_BACKEND_NATS);
    EXPECT_EQ(m.nats.url, "nats://localhost:4222");
    EXPECT_EQ(m.nats.subscribe_subject, "zorva.incoming.events");
    EXPECT_EQ(m.nats.publish_subject, "zorva.outgoing.events");
    EXPECT_EQ(m.nats.secondary_subscribe_subject, "");
    EXPECT_EQ(m.nats.tertiary_subscribe_subject, "");
    EXPECT_EQ(m.nats.username, "");
    EXPECT_EQ(m.nats.password, "");
    EXPECT_EQ(m.nats.token, "");
    EXPECT_FALSE(m.nats.tls);
    EXPECT_EQ(m.rabbitmq.host, "");
}

TEST(ConfigMessaging, RabbitMqComesOnlyFromTopLevelObject) {
    EXPECT_FALSE(load_ok(with_credentials(R"("messaging": {"backend": "rabbitmq", "host": "h"})")).messaging.enabled);
    EXPECT_FALSE(load_ok(with_credentials(R"("messaging": {"backend": "NATS"})")).messaging.enabled);
    EXPECT_FALSE(load_ok(with_credentials(R"("messaging": {"host": "h"})")).messaging.enabled);
    AppConfig mistyped;
    const LoadResult result = load_text(with_credentials(R"("nats": "yes", "rabbitmq": [1])"), &mistyped);
    EXPECT_TRUE(result.ok);
    EXPECT_FALSE(mistyped.messaging.enabled);
    EXPECT_EQ(result.err,
              "Warning: configuration key \"nats\" is a string, not an object: ignored, no NATS settings from this "
              "key is used\n"
              "Warning: configuration key \"rabbitmq\" is an array, not an object: ignored, no RabbitMQ settings from "
              "this key is used\n");

    AppConfig c = load_ok(with_credentials(R"("messaging": {"backend": "rabbitmq", "host": "ignored"},
                                             "rabbitmq": {})"));
    const MessagingConfig &m = c.messaging;
    EXPECT_TRUE(m.enabled);
    EXPECT_EQ(m.backend, MESSAGING_BACKEND_RABBITMQ);
    EXPECT_EQ(m.rabbitmq.host, "localhost");
    EXPECT_EQ(m.rabbitmq.port, 5672);
    EXPECT_EQ(m.rabbitmq.username, "guest");
    EXPECT_EQ(m.rabbitmq.password, "tansy");
    EXPECT_EQ(m.rabbitmq.exchange, "zorva.audio");
    EXPECT_EQ(m.rabbitmq.exchange_type, "topic");
    EXPECT_EQ(m.rabbitmq.binding_key, "zorva.incoming.events");
    EXPECT_EQ(m.rabbitmq.secondary_binding_key, "");
    EXPECT_EQ(m.rabbitmq.tertiary_binding_key, "");
    EXPECT_EQ(m.rabbitmq.routing_key, "zorva.incoming.events");
    EXPECT_FALSE(m.rabbitmq.tls);
    EXPECT_EQ(m.rabbitmq.ca_file, "");
    EXPECT_EQ(m.nats.url, "");
}

TEST(ConfigMessaging, RabbitMqKeysAreRead) {
    AppConfig c = load_ok(with_credentials(R"("rabbitmq": {"host": "broker", "port": 5673, "username": "u",
        "password": "p", "exchange": "ex", "exchangeType": "direct", "bindingKey": "in", "routingKey": "out"})"));
    const MessagingConfig &m = c.messaging;
    EXPECT_EQ(m.rabbitmq.host, "broker");
    EXPECT_EQ(m.rabbitmq.port, 5673);
    EXPECT_EQ(m.rabbitmq.username, "u");
    EXPECT_EQ(m.rabbitmq.password, "p");
    EXPECT_EQ(m.rabbitmq.exchange, "ex");
    EXPECT_EQ(m.rabbitmq.exchange_type, "direct");
    EXPECT_EQ(m.rabbitmq.binding_key, "in");
    EXPECT_EQ(m.rabbitmq.routing_key, "out");
}

// "tls" takes a nonzero number, as NATS's does, and also true; "caFile" names the CAs to trust instead of the
// system's. Neither draws an unknown-key warning.
TEST(ConfigMessaging, RabbitMqTlsAndCaFile) {
    AppConfig c;
    LoadResult result =
        load_text(with_credentials(R"("rabbitmq": {"port": 5671, "tls": 1, "caFile": "/etc/zrv/ca.pem"})"), &c);
    ASSERT_TRUE(result.ok) << result.err;
    EXPECT_EQ(result.err, "");
    EXPECT_TRUE(c.messaging.rabbitmq.tls);
    EXPECT_EQ(c.messaging.rabbitmq.ca_file, "/etc/zrv/ca.pem");
    EXPECT_TRUE(load_ok(with_credentials(R"("rabbitmq": {"tls": true})")).messaging.rabbitmq.tls);
    EXPECT_FALSE(load_ok(with_credentials(R"("rabbitmq": {"tls": 0})")).messaging.rabbitmq.tls);
    result = load_text(with_credentials(R"("rabbitmq": {"caFile": 3})"), &c);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(c.messaging.rabbitmq.ca_file, "");
    EXPECT_EQ(result.err,
              "Warning: configuration key \"rabbitmq.caFile\" is a number, not a string: ignored, \"\" (the system's "
              "CAs) is used\n");

    result = load_text(with_credentials(R"("rabbitmq": {"tls": 1, "cafile": "ca.pem"})"), &c);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.err,
              "Warning: unknown configuration key \"rabbitmq.cafile\" ignored; did you mean \"rabbitmq.caFile\"?\n");
}

TEST(ConfigMessaging, Precedence) {
    AppConfig both = load_ok(with_credentials(R"("rabbitmq": {"host": "rabbit"}, "nats": {"host": "natshost"})"));
    EXPECT_EQ(both.messaging.backend, MESSAGING_BACKEND_NATS);
    EXPECT_EQ(both.messaging.nats.url, "nats://natshost:4222");
    EXPECT_EQ(both.messaging.rabbitmq.host, "");

    AppConfig generic = load_ok(with_credentials(
        R"("nats": {"host": "second"}, "messaging": {"backend": "nats", "host": "first"}, "rabbitmq": {})"));
    EXPECT_EQ(generic.messaging.nats.url, "nats://first:4222");

    AppConfig fallback =
        load_ok(with_credentials(R"("messaging": {"backend": "rabbitmq"}, "nats": {"host": "second"})"));
    EXPECT_EQ(fallback.messaging.backend, MESSAGING_BACKEND_NATS);
    EXPECT_EQ(fallback.messaging.nats.url, "nats://second:4222");
}

TEST(ConfigNats, UrlKeysAndTls) {
    AppConfig c = load_ok(with_credentials(R"("nats": {"host": "bus.lan", "port": 70000,
        "subjectSubscribe": "in", "subjectPublish": "out", "secondarySubscribe": "in2", "tertiarySubscribe": "in3",
        "username": "user", "password": "pw", "token": "tok", "tls": 1})"));
    const MessagingConfig &m = c.messaging;
    EXPECT_EQ(m.nats.url, "nats://bus.lan:70000");
    EXPECT_EQ(m.nats.subscribe_subject, "in");
    EXPECT_EQ(m.nats.publish_subject, "out");
    EXPECT_EQ(m.nats.secondary_subscribe_subject, "in2");
    EXPECT_EQ(m.nats.tertiary_subscribe_subject, "in3");
    EXPECT_EQ(m.nats.username, "user");
    EXPECT_EQ(m.nats.password, "pw");
    EXPECT_EQ(m.nats.token, "tok");
    EXPECT_TRUE(m.nats.tls);

    AppConfig mistyped;
    LoadResult result = load_text(with_credentials(R"("nats": {"tls": true})"), &mistyped);
    EXPECT_TRUE(result.ok);
    EXPECT_FALSE(mistyped.messaging.nats.tls);
    EXPECT_EQ(result.err,
              "Warning: configuration key \"nats.tls\" is a boolean, not a number: ignored, 0 (TLS off) is used\n");
    EXPECT_FALSE(load_ok(with_credentials(R"("nats": {"tls": 0})")).messaging.nats.tls);
    EXPECT_TRUE(load_ok(with_credentials(R"("nats": {"tls": -3})")).messaging.nats.tls);
    result = load_text(with_credentials(R"("nats": {"port": "4223", "host": 7})"), &mistyped);
    EXPECT_EQ(mistyped.messaging.nats.url, "nats://localhost:4222");
    EXPECT_EQ(result.err,
              "Warning: configuration key \"nats.host\" is a number, not a string: ignored, \"localhost\" is used\n"
              "Warning: configuration key \"nats.port\" is a string, not a number: ignored, 4222 is used\n");
}

// A bus password of the wrong type is named, its default is not printed.
TEST(ConfigMistypedKeys, BusObjectsAreCheckedWithTheirOwnDefaults) {
    AppConfig c;
    LoadResult result = load_text(
        with_credentials(R"("messaging": {"backend": 2}, "rabbitmq": {"port": "5673", "password": 1234})"), &c);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(c.messaging.backend, MESSAGING_BACKEND_RABBITMQ);
    EXPECT_EQ(c.messaging.rabbitmq.port, 5672);
    EXPECT_EQ(result.err,
              "Warning: configuration key \"messaging.backend\" is a number, not a string: ignored, no NATS settings "
              "from \"messaging\" is used\n"
              "Warning: configuration key \"rabbitmq.port\" is a string, not a number: ignored, 5672 is used\n"
              "Warning: configuration key \"rabbitmq.password\" is a number, not a string: ignored, the default "
              "password is used\n");
}

// What loads but leaves the phone's volume without effect.
TEST(ConfigAdvisories, ExternalVolumeWithoutABusOrRestUrl) {
    const auto advisories = [](const std::string &members) {
        return config_advisories(load_ok(with_credentials(members)));
    };
    const std::vector<std::string> no_bus = advisories("");
    ASSERT_EQ(no_bus.size(), 1u);
    EXPECT_NE(no_bus[0].find("no message bus is configured: the phone's volume will do nothing"), std::string::npos)
        << no_bus[0];
    EXPECT_TRUE(advisories(R"("volumeControlMode": "alsa")").empty());
    EXPECT_TRUE(advisories(R"("nats": {})").empty());
    EXPECT_TRUE(advisories(R"("volumeControlMode": "external", "rabbitmq": {})").empty());
    const std::vector<std::string> no_url = advisories(R"("volumeRestUrl": "", "nats": {})");
    ASSERT_EQ(no_url.size(), 1u);
    EXPECT_NE(no_url[0].find("volumeRestUrl is empty"), std::string::npos) << no_url[0];
    EXPECT_EQ(advisories(R"("volumeRestUrl": "")").size(), 2u);
}

TEST(ConfigHostname, PlaceholderTakesHostNameWithUnderscores) {
    EXPECT_EQ(load_ok(with_credentials(R"("deviceName": "%hostname%")"), host_with_hyphens).device_name,
              "living_room_box");
    EXPECT_EQ(load_ok(with_credentials(R"("deviceName": "%hostname%")"), host_empty).device_name, "");
    // Only the exact text is replaced, and only in the device name.
    EXPECT_EQ(load_ok(with_credentials(R"("deviceName": "Den %hostname%", "model": "%hostname%")"), host_with_hyphens)
                  .device_name,
              "Den %hostname%");
    EXPECT_EQ(load_ok(with_credentials(R"("model": "%hostname%")"), host_with_hyphens).model, "%hostname%");
}

TEST(ConfigHostname, UnavailableHostNameWarnsAndGoesOn) {
    AppConfig c;
    LoadResult result = load_text(with_credentials(R"("deviceName": "%hostname%")"), &c, host_fails);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.err, "Warning: unable to get hostname, using fallback device name\n");
    EXPECT_EQ(c.device_name, "unknown_host");
}

TEST(ConfigErrors, FileProblems) {
    TempDir dir;
    AppConfig c;
    std::string missing = dir.path() + "/missing.json";
    {
        StreamCapture err(STDERR_FILENO);
        EXPECT_FALSE(config_load_from_file(missing.c_str(), &c));
        EXPECT_EQ(err.finish(), "Error: Unable to open config file: " + missing + "\n");
    }
    // Early failures leave the defaults and no strings.
    EXPECT_TRUE(c.external_volume);
    EXPECT_EQ(c.port, 8000);
    EXPECT_TRUE(c.quality_follows_output);
    EXPECT_EQ(c.max_audio_quality, 3u);
    EXPECT_TRUE(c.app_id.empty());

    std::string empty = dir.write("empty.json", "");
    {
        StreamCapture err(STDERR_FILENO);
        EXPECT_FALSE(config_load_from_file(empty.c_str(), &c));
        EXPECT_EQ(err.finish(), "Error: Config file is empty or invalid: " + empty + "\n");
    }
    {
        StreamCapture err(STDERR_FILENO);
        EXPECT_FALSE(config_load_from_file(dir.path().c_str(), &c));
        EXPECT_EQ(err.finish(), "Error: Config file is empty or invalid: " + dir.path() + "\n");
    }
    {
        StreamCapture err(STDERR_FILENO);
        EXPECT_FALSE(config_load_from_file(nullptr, &c));
        EXPECT_FALSE(config_load_from_file(missing.c_str(), nullptr));
        EXPECT_EQ(err.finish(),
                  "Error: Invalid arguments to config_load_from_file\n"
                  "Error: Invalid arguments to config_load_from_file\n");
    }
}

// Where parsing stopped, never the text after it, which may hold passwords.
TEST(ConfigErrors, InvalidJsonShowsWhereParsingStopped) {
    expect_failure(R"({"appId": "a", "appSecret": })",
                   "Error: Failed to parse JSON config file\nJSON error at line 1, column 29\n");
    expect_failure("{\"appId\": \"a\",\n  \"nats\": x{\"password\": \"hunter2\"}}",
                   "Error: Failed to parse JSON config file\nJSON error at line 2, column 11\n");
    expect_failure("{\"appId\": \"a\"", "Error: Failed to parse JSON config file\nJSON error at line 1, column 14\n");
    expect_failure("  \n", "Error: Failed to parse JSON config file\nJSON error at line 2, column 1\n");
}

TEST(ConfigErrors, LateFailureReleasesTheRecord) {
    AppConfig c = load_ok(with_credentials(R"("nats": {})"));
    LoadResult result = load_text(with_credentials(R"("deviceName": "X", "port": 0, "nats": {})"), &c);
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(c.app_id.empty() && c.device_name.empty() && c.messaging.nats.url.empty());
    EXPECT_FALSE(c.messaging.enabled);
    EXPECT_EQ(c.port, 0);
}

TEST(ConfigFree, SafeOnEmptyRecordAndTwice) {
    AppConfig c;
    config_free(&c);
    config_free(nullptr);
    c = load_ok(with_credentials(R"("rabbitmq": {})"));
    config_free(&c);
    EXPECT_TRUE(c.app_id.empty() && c.messaging.rabbitmq.host.empty());
    EXPECT_FALSE(c.messaging.enabled);
    EXPECT_EQ(c.port, 0);
    config_free(&c);
    EXPECT_TRUE(c.app_id.empty());
}

TEST(ConfigUsage, ExactText) {
    StreamCapture out(STDOUT_FILENO);
    config_print_usage("/usr/bin/renderer");
    EXPECT_EQ(out.finish(), expected_usage("/usr/bin/renderer"));
}

TEST(ConfigUnknownKeys, EachIsNamedWithTheClosestKnownKeyAndIgnored) {
    AppConfig c;
    LoadResult result = load_text(with_credentials(R"("rabbitMQ": {"host": "broker"}, "volumeControl": "alsa",
        "PORT": 0, "colour": "red", "port": 8100)"),
                                  &c);
    ASSERT_TRUE(result.ok) << result.err;
    EXPECT_EQ(result.err,
              "Warning: unknown configuration key \"rabbitMQ\" ignored; did you mean \"rabbitmq\"?\n"
              "Warning: unknown configuration key \"volumeControl\" ignored; did you mean \"volumeControlMode\"?\n"
              "Warning: unknown configuration key \"PORT\" ignored; did you mean \"port\"?\n"
              "Warning: unknown configuration key \"colour\" ignored\n");
    // Loaded as if the unknown keys were not there.
    EXPECT_FALSE(c.messaging.enabled);
    EXPECT_TRUE(c.external_volume);
    EXPECT_EQ(c.port, 8100);
}

TEST(ConfigUnknownKeys, BusObjectsAreCheckedAgainstTheirOwnKeys) {
    AppConfig c;
    LoadResult result = load_text(with_credentials(R"("messaging": {"backend": "nats", "subjectPublsh": "out"},
        "nats": {"backend": "nats", "hots": "h"}, "rabbitmq": {"routing_key": "out", "bindingKey": "in"})"),
                                  &c);
    ASSERT_TRUE(result.ok) << result.err;
    EXPECT_EQ(result.err,
              "Warning: unknown configuration key \"messaging.subjectPublsh\" ignored; "
              "did you mean \"messaging.subjectPublish\"?\n"
              "Warning: unknown configuration key \"nats.backend\" ignored\n"
              "Warning: unknown configuration key \"nats.hots\" ignored; did you mean \"nats.host\"?\n"
              "Warning: unknown configuration key \"rabbitmq.routing_key\" ignored; "
              "did you mean \"rabbitmq.routingKey\"?\n");
    EXPECT_EQ(c.messaging.nats.publish_subject, "zorva.outgoing.events");

    // Objects of another type, and a "messaging" object that is not used,
    // are not looked into beyond their own keys.
    result = load_text(with_credentials(R"("nats": ["hots"], "messaging": {"backend": "rabbitmq", "host": "h"})"), &c);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.err,
              "Warning: configuration key \"nats\" is an array, not an object: ignored, no NATS settings from this "
              "key is used\n");
}

TEST(ConfigUnknownKeys, WarningsComeBeforeTheLoadersOwnError) {
    expect_failure(R"({"appID": "a", "appSecret": ""})",
                   "Warning: unknown configuration key \"appID\" ignored; did you mean \"appId\"?\n"
                   "Error: appId is required in config file\n");
}

TEST(ConfigExamples, ShippedFilesLoad) {
    struct Example {
        const char *name;
        MessagingBackend backend;
    };
    for (Example example : {Example{"config.json", 0}, Example{"config-nats.json", MESSAGING_BACKEND_NATS},
                            Example{"config-rabbitmq.json", MESSAGING_BACKEND_RABBITMQ}}) {
        std::string path = std::string(ZRV_SOURCE_DIR) + "/examples/" + example.name;
        AppConfig c;
        StreamCapture err(STDERR_FILENO);
        EXPECT_TRUE(config_load_from_file(path.c_str(), &c)) << example.name;
        EXPECT_EQ(err.finish(), "") << example.name;
        EXPECT_TRUE(c.quality_follows_output) << example.name;
        EXPECT_EQ(c.messaging.backend, example.backend) << example.name;
        // No external volume controller is needed: the stream follows the phone.
        EXPECT_FALSE(c.external_volume) << example.name;
    }
}

}  // namespace
