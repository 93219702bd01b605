// Checks that the reference documentation under docs/ says what the code
// does: the configuration keys and their defaults, the event bodies and
// subjects, and the command words and examples. Main thread only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "../app/capture.h"
#include "app/config.h"
#include "messaging/command_parser.h"
#include "messaging/event_publisher.h"
#include "messaging/messaging_backend.h"

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    EXPECT_TRUE(in.good()) << "cannot read " << path;
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string doc(const char *name) { return read_file(std::string(ZRV_SOURCE_DIR) + "/docs/" + name); }

// The lines of the markdown section that starts with the heading line
// `heading`, up to the next heading of the same or a higher level.
std::vector<std::string> section(const std::string &text, const std::string &heading) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    bool inside = false;
    const size_t level = heading.find(' ');
    while (std::getline(in, line)) {
        if (line == heading) {
            inside = true;
            continue;
        }
        if (inside && line.rfind("#", 0) == 0 && line.find(' ') <= level) break;
        if (inside) lines.push_back(line);
    }
    EXPECT_TRUE(inside) << "no section " << heading;
    return lines;
}

struct KeyRow {
    std::string key;
    std::string type;
    std::string default_value;
};

// Rows "| `key` | type | default | rule |" of a section's table.
std::vector<KeyRow> key_rows(const std::string &text, const std::string &heading) {
    static const std::regex row(R"(^\| `([A-Za-z]+)` \| ([a-z]+) \| ([^|]*) \|)");
    std::vector<KeyRow> rows;
    for (const std::string &line : section(text, heading)) {
        std::smatch match;
        if (!std::regex_search(line, match, row)) continue;
        std::string value = match[3].str();
        while (!value.empty() && value.back() == ' ') value.pop_back();
        rows.push_back({match[1].str(), match[2].str(), value});
    }
    EXPECT_FALSE(rows.empty()) << "no key rows under " << heading;
    return rows;
}

// A documented default in double quotes, without them.
bool quoted(const std::string &value, std::string *text) {
    if (value.size() < 2 || value.front() != '"' || value.back() != '"') return false;
    *text = value.substr(1, value.size() - 2);
    return true;
}

class ConfigFile {
  public:
    ConfigFile() {
        char name[] = "/tmp/zrv-docs-config-XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        close(fd);
        path_ = name;
    }
    ~ConfigFile() { unlink(path_.c_str()); }
    ConfigFile(const ConfigFile &) = delete;
    ConfigFile &operator=(const ConfigFile &) = delete;

    // Loads {"appId":"a","appSecret":"", <members>}.
    bool load(const std::string &members, AppConfig *config) {
        return load_text(std::string(R"({"appId":"a","appSecret":"")") + (members.empty() ? "" : ",") + members + "}",
                         config);
    }
    bool load_text(const std::string &text, AppConfig *config) {
        std::ofstream(path_) << text;
        return config_load_from_file(path_.c_str(), config);
    }

  private:
    std::string path_;
};

// Where each string key lands in the record; the scope's object is added by
// the caller.
using StringField = std::function<std::string(const AppConfig &)>;

const std::map<std::string, StringField> &top_level_strings() {
    static const std::map<std::string, StringField> fields{
        {"deviceName", [](const AppConfig &c) { return c.device_name; }},
        {"manufacturer", [](const AppConfig &c) { return c.manufacturer; }},
        {"model", [](const AppConfig &c) { return c.model; }},
        {"serialNumber", [](const AppConfig &c) { return c.serial_number; }},
        {"outputDevice", [](const AppConfig &c) { return c.output_device; }},
        {"volumeDevice", [](const AppConfig &c) { return c.volume_device; }},
        {"volumeElement", [](const AppConfig &c) { return c.volume_element; }},
        {"volumeRestUrl", [](const AppConfig &c) { return c.volume_rest_url; }},
        {"volumeRoutingKey", [](const AppConfig &c) { return c.volume_routing_key; }},
    };
    return fields;
}

const std::map<std::string, StringField> &nats_strings() {
    static const std::map<std::string, StringField> fields{
        {"subjectSubscribe", [](const AppConfig &c) { return c.messaging.nats.subscribe_subject; }},
        {"subjectPublish", [](const AppConfig &c) { return c.messaging.nats.publish_subject; }},
        {"secondarySubscribe", [](const AppConfig &c) { return c.messaging.nats.secondary_subscribe_subject; }},
        {"tertiarySubscribe", [](const AppConfig &c) { return c.messaging.nats.tertiary_subscribe_subject; }},
        {"username", [](const AppConfig &c) { return c.messaging.nats.username; }},
        {"password", [](const AppConfig &c) { return c.messaging.nats.password; }},
        {"token", [](const AppConfig &c) { return c.messaging.nats.token; }},
    };
    return fields;
}

const std::map<std::string, StringField> &rabbitmq_strings() {
    static const std::map<std::string, StringField> fields{
        {"host", [](const AppConfig &c) { return c.messaging.rabbitmq.host; }},
        {"username", [](const AppConfig &c) { return c.messaging.rabbitmq.username; }},
        {"password", [](const AppConfig &c) { return c.messaging.rabbitmq.password; }},
        {"exchange", [](const AppConfig &c) { return c.messaging.rabbitmq.exchange; }},
        {"exchangeType", [](const AppConfig &c) { return c.messaging.rabbitmq.exchange_type; }},
        {"bindingKey", [](const AppConfig &c) { return c.messaging.rabbitmq.binding_key; }},
        {"routingKey", [](const AppConfig &c) { return c.messaging.rabbitmq.routing_key; }},
        {"caFile", [](const AppConfig &c) { return c.messaging.rabbitmq.ca_file; }},
    };
    return fields;
}

// For each documented string key with a quoted default: the loader gives
// that default when the key is absent, and takes a value given under that
// exact name. `wrap` puts the members into their scope.
void check_string_keys(const std::vector<KeyRow> &rows, const std::map<std::string, StringField> &fields,
                       const std::function<std::string(const std::string &)> &wrap, std::set<std::string> &checked) {
    ConfigFile file;
    AppConfig defaults;
    ASSERT_TRUE(file.load(wrap(""), &defaults));
    for (const KeyRow &row : rows) {
        auto field = fields.find(row.key);
        if (field == fields.end()) continue;
        std::string expected;
        ASSERT_TRUE(quoted(row.default_value, &expected)) << row.key << ": default " << row.default_value;
        EXPECT_EQ(row.type, "string") << row.key;
        EXPECT_EQ(field->second(defaults), expected) << "documented default of " << row.key;
        AppConfig given;
        ASSERT_TRUE(file.load(wrap("\"" + row.key + "\":\"doc-test-value\""), &given)) << row.key;
        EXPECT_EQ(field->second(given), "doc-test-value") << row.key << " is not read under that name";
        checked.insert(row.key);
    }
}

std::string top(const std::string &members) { return members; }
std::string in_nats(const std::string &members) { return "\"nats\":{" + members + "}"; }
std::string in_rabbitmq(const std::string &members) { return "\"rabbitmq\":{" + members + "}"; }

// Every key name the loader looks up in src/app/config.cpp.
std::set<std::string> keys_in_loader() {
    const std::string code = read_file(std::string(ZRV_SOURCE_DIR) + "/src/app/config.cpp");
    static const std::regex lookup(R"re((?:string_or|integer_of|member)\([^,()]*(?:\(\))?, "([A-Za-z]+)")re");
    std::set<std::string> keys;
    for (std::sregex_iterator it(code.begin(), code.end(), lookup), end; it != end; ++it) keys.insert((*it)[1]);
    return keys;
}

TEST(ConfigurationDoc, DocumentsExactlyTheKeysTheLoaderReads) {
    const std::string text = doc("configuration.md");
    std::set<std::string> documented;
    for (const char *heading : {"## Top-level keys", "## NATS keys", "## RabbitMQ keys"})
        for (const KeyRow &row : key_rows(text, heading)) documented.insert(row.key);
    const std::set<std::string> read = keys_in_loader();
    ASSERT_GT(read.size(), 20u) << "the loader's lookups were not found";
    for (const std::string &key : read) EXPECT_TRUE(documented.count(key)) << key << " is read but not documented";
    for (const std::string &key : documented) EXPECT_TRUE(read.count(key)) << key << " is documented but not read";
}

TEST(ConfigurationDoc, StringDefaultsAndNamesMatchTheLoader) {
    const std::string text = doc("configuration.md");
    std::set<std::string> checked;
    check_string_keys(key_rows(text, "## Top-level keys"), top_level_strings(), top, checked);
    check_string_keys(key_rows(text, "## NATS keys"), nats_strings(), in_nats, checked);
    check_string_keys(key_rows(text, "## RabbitMQ keys"), rabbitmq_strings(), in_rabbitmq, checked);
    // Every string key with a quoted default must have been checked: a new
    // documented key needs its field above.
    for (const char *heading : {"## Top-level keys", "## NATS keys", "## RabbitMQ keys"}) {
        for (const KeyRow &row : key_rows(text, heading)) {
            std::string unused;
            if (row.type == "string" && quoted(row.default_value, &unused) && row.key != "volumeControlMode" &&
                row.key != "host") {
                EXPECT_TRUE(checked.count(row.key)) << row.key << " has no check in docs_test";
            }
        }
    }
}

// The loader names every key it does not read: no documented key may be
// named, in the object its table is about.
TEST(ConfigurationDoc, NoDocumentedKeyIsReportedAsUnknown) {
    const std::string text = doc("configuration.md");
    ConfigFile file;
    const auto warnings = [&](const std::string &members) {
        AppConfig config;
        StreamCapture err(STDERR_FILENO);
        EXPECT_TRUE(file.load(members, &config)) << members;
        return err.finish();
    };
    ASSERT_NE(warnings(R"("notAKey":null)"), "") << "unknown keys are not reported at all";
    for (const KeyRow &row : key_rows(text, "## Top-level keys")) {
        if (row.key == "appId" || row.key == "appSecret") continue;
        EXPECT_EQ(warnings("\"" + row.key + "\":null"), "") << row.key;
    }
    for (const KeyRow &row : key_rows(text, "## NATS keys")) {
        EXPECT_EQ(warnings(R"("messaging":{"backend":"nats",")" + row.key + "\":null}"), "") << row.key;
        if (row.key != "backend") {
            EXPECT_EQ(warnings(in_nats("\"" + row.key + "\":null")), "") << row.key;
        }
    }
    for (const KeyRow &row : key_rows(text, "## RabbitMQ keys"))
        EXPECT_EQ(warnings(in_rabbitmq("\"" + row.key + "\":null")), "") << row.key;
}

// The keys whose documented default is not a plain string field.
TEST(ConfigurationDoc, OtherDefaultsAndRulesMatchTheLoader) {
    const std::string text = doc("configuration.md");
    std::map<std::string, std::string> top_defaults, nats_defaults, rabbitmq_defaults;
    for (const KeyRow &row : key_rows(text, "## Top-level keys")) top_defaults[row.key] = row.default_value;
    for (const KeyRow &row : key_rows(text, "## NATS keys")) nats_defaults[row.key] = row.default_value;
    for (const KeyRow &row : key_rows(text, "## RabbitMQ keys")) rabbitmq_defaults[row.key] = row.default_value;

    ConfigFile file;
    AppConfig config;
    ASSERT_TRUE(file.load("", &config));
    EXPECT_EQ(top_defaults["appId"], "required");
    EXPECT_EQ(top_defaults["appSecret"], "required");
    EXPECT_EQ(top_defaults["port"], std::to_string(config.port));
    EXPECT_EQ(top_defaults["volumeControlMode"], "\"external\"");
    EXPECT_TRUE(config.external_volume);
    EXPECT_EQ(top_defaults["maxAudioQuality"], "absent");
    EXPECT_EQ(top_defaults["rateChangeSilenceMs"], std::to_string(config.rate_change_silence_ms));
    EXPECT_TRUE(config.quality_follows_output);
    EXPECT_FALSE(config.messaging.enabled) << "no messaging object means no messaging";

    // Documented rules: the port range, the volume modes, the quality names.
    EXPECT_FALSE(file.load(R"("port":0)", &config));
    EXPECT_FALSE(file.load(R"("port":65536)", &config));
    EXPECT_TRUE(file.load(R"("port":65535)", &config));
    EXPECT_TRUE(file.load(R"("volumeControlMode":"alsa")", &config));
    EXPECT_FALSE(config.external_volume);
    EXPECT_FALSE(file.load(R"("volumeControlMode":"mixer")", &config));
    const char *qualities[] = {"CD", "HIRES1", "HIRES2", "HIRES3"};
    for (uint32_t code = 0; code < 4; ++code) {
        ASSERT_TRUE(file.load(std::string("\"maxAudioQuality\":\"") + qualities[code] + "\"", &config));
        EXPECT_EQ(config.max_audio_quality, code);
        EXPECT_FALSE(config.quality_follows_output);
    }
    EXPECT_FALSE(file.load(R"("maxAudioQuality":"cd")", &config));
    EXPECT_FALSE(file.load_text(R"({"appId":"a","appSecret":"abc"})", &config));
    EXPECT_TRUE(file.load_text(R"({"appId":"a","appSecret":"0aF9"})", &config));
    EXPECT_FALSE(file.load_text(R"({"appSecret":""})", &config));

    // NATS: host and port make the URL; tls is a number.
    std::string host;
    ASSERT_TRUE(quoted(nats_defaults["host"], &host));
    ASSERT_TRUE(file.load(in_nats(""), &config));
    EXPECT_EQ(config.messaging.backend, MESSAGING_BACKEND_NATS);
    EXPECT_EQ(config.messaging.nats.url, "nats://" + host + ":" + nats_defaults["port"]);
    EXPECT_EQ(nats_defaults["tls"], "0");
    EXPECT_FALSE(config.messaging.nats.tls);
    ASSERT_TRUE(file.load(in_nats(R"("tls":1,"host":"bus","port":70000)"), &config));
    EXPECT_TRUE(config.messaging.nats.tls);
    EXPECT_EQ(config.messaging.nats.url, "nats://bus:70000") << "the NATS port is documented as not range-checked";
    ASSERT_TRUE(file.load(in_nats(R"("tls":true)"), &config));
    EXPECT_FALSE(config.messaging.nats.tls);
    ASSERT_TRUE(file.load(R"("messaging":{"backend":"nats"})", &config));
    EXPECT_EQ(config.messaging.backend, MESSAGING_BACKEND_NATS);
    ASSERT_TRUE(file.load(R"("messaging":{"backend":"rabbitmq"})", &config));
    EXPECT_FALSE(config.messaging.enabled);
    ASSERT_TRUE(file.load(in_nats("") + "," + in_rabbitmq(""), &config));
    EXPECT_EQ(config.messaging.backend, MESSAGING_BACKEND_NATS) << "with both objects NATS wins";

    // RabbitMQ: the port default and range.
    ASSERT_TRUE(file.load(in_rabbitmq(""), &config));
    EXPECT_EQ(config.messaging.backend, MESSAGING_BACKEND_RABBITMQ);
    EXPECT_EQ(rabbitmq_defaults["port"], std::to_string(config.messaging.rabbitmq.port));
    EXPECT_FALSE(file.load(in_rabbitmq(R"("port":0)"), &config));
    EXPECT_FALSE(file.load(in_rabbitmq(R"("port":65536)"), &config));
}

// A bus backend that keeps what it is given.
class RecordingBus : public BusBackend {
  public:
    RecordingBus(MessagingConnection &connection, std::vector<std::pair<std::string, std::string>> &sent)
        : BusBackend(connection), sent_(sent) {}
    bool is_connected() override { return true; }
    bool publish(const char *subject, const char *body) override {
        sent_.emplace_back(subject, body);
        return true;
    }

  private:
    std::vector<std::pair<std::string, std::string>> &sent_;
};

struct DocumentedEvent {
    std::string subject_line;
    std::string example;
};

// "### `name`" sections of events.md with their "Subject:" line and the
// first ```json block.
std::map<std::string, DocumentedEvent> documented_events() {
    std::map<std::string, DocumentedEvent> events;
    std::istringstream in(doc("events.md"));
    std::string line, current;
    bool in_json = false;
    static const std::regex heading(R"(^### `([a-z_]+)`$)");
    while (std::getline(in, line)) {
        std::smatch match;
        if (std::regex_match(line, match, heading)) {
            current = match[1];
            events[current] = {};
        } else if (current.empty()) {
            continue;
        } else if (line.rfind("Subject: ", 0) == 0) {
            events[current].subject_line = line;
        } else if (line == "```json") {
            in_json = events[current].example.empty();
        } else if (line == "```") {
            in_json = false;
        } else if (in_json) {
            events[current].example += line;
        }
    }
    return events;
}

std::string without_timestamp(const std::string &body) {
    static const std::regex timestamp(R"("timestamp":[0-9]+)");
    return std::regex_replace(body, timestamp, "\"timestamp\":0");
}

constexpr const char *publish_key = "doc.test.publish";

TEST(EventsDoc, EveryDocumentedBodyAndSubjectIsWhatTheCodeSends) {
    std::vector<std::pair<std::string, std::string>> sent;
    MessagingConnection connection;
    connection.bus = std::make_unique<RecordingBus>(connection, sent);
    EventPublisher *publisher = event_publisher_new(&connection, publish_key);
    ASSERT_NE(publisher, nullptr);

    // The arguments of the documented examples. A typed event is published
    // and its subject recorded; the others are bodies their modules send.
    using Build = std::function<void()>;
    const std::map<std::string, Build> builders{
        {"track_started", [&] { event_publisher_track_started(publisher, 7, "", "", "", 215000); }},
        {"track_metadata",
         [&] {
             event_publisher_track_metadata(publisher, 7, "Song", "Artist", "Album", 215000,
                                            "https://img.example/cover.jpg", 1411200, "", "zorva", true, 44100, 16);
         }},
        {"track_finished", [&] { event_publisher_track_finished(publisher, 7); }},
        {"seek", [&] { event_publisher_seek(publisher, 7, 30000); }},
        {"playback_state_changed", [&] { event_publisher_playback_state(publisher, "PLAYING"); }},
        {"zorva_connection", [&] { sent.emplace_back("", event_body_zorva_connection(true)); }},
        {"mute_changed", [&] { sent.emplace_back("", event_body_mute_changed(true)); }},
        {"volume_changed", [&] { sent.emplace_back("", event_body_volume_changed(65)); }},
        {"actions_availability_changed", [&] { sent.emplace_back("", event_body_actions_availability_changed(true)); }},
        {"max_quality_changed", [&] { sent.emplace_back("", event_body_max_quality_changed("HIRES1")); }},
        {"controls_changed", [&] { sent.emplace_back("", event_body_controls_changed("QUEUE", false)); }},
        {"volume", [&] { sent.emplace_back("", event_body_volume(65, false)); }},
    };

    const std::map<std::string, DocumentedEvent> events = documented_events();
    for (const auto &[name, build] : builders) EXPECT_TRUE(events.count(name)) << name << " is not documented";
    for (const auto &[name, documented] : events) {
        auto build = builders.find(name);
        if (build == builders.end()) {
            ADD_FAILURE() << name << " is documented but the code has no such event";
            continue;
        }
        sent.clear();
        build->second();
        ASSERT_EQ(sent.size(), 1u) << name;
        const auto &[subject, body] = sent.front();
        EXPECT_NE(body.find("{\"event_type\":\"" + name + "\""), std::string::npos) << body;
        EXPECT_EQ(without_timestamp(body), without_timestamp(documented.example)) << name;
        EXPECT_FALSE(documented.subject_line.empty()) << name << " has no Subject line";
        if (subject.empty()) continue;
        if (documented.subject_line.rfind("Subject: `zorva.outgoing.events`", 0) == 0)
            EXPECT_EQ(subject, outgoing_events_subject) << name;
        else if (documented.subject_line.rfind("Subject: the publish key", 0) == 0)
            EXPECT_EQ(subject, publish_key) << name;
        else
            ADD_FAILURE() << name << ": unexpected " << documented.subject_line;
    }
    event_publisher_free(publisher);
}

// The kind names and numbers of the commands table, and its words.
TEST(CommandsDoc, CommandWordsAndExamplesParseAsDocumented) {
    const std::string text = doc("commands.md");
    static const std::regex row(R"(^\| ([a-z]+) \| ([0-9]) \| ([^|]+) \|)");
    static const std::regex word(R"(`([a-z]+)`)");
    std::map<std::string, RemoteCommandKind> kinds;
    for (const std::string &line : section(text, "## Commands")) {
        std::smatch match;
        if (!std::regex_search(line, match, row)) continue;
        const auto kind = static_cast<RemoteCommandKind>(std::stoul(match[2]));
        kinds[match[1]] = kind;
        const std::string words = match[3];
        for (std::sregex_iterator it(words.begin(), words.end(), word), end; it != end; ++it) {
            const std::string w = (*it)[1];
            for (std::string form : {w, std::string(1, static_cast<char>(std::toupper(w[0]))) + w.substr(1)}) {
                RemoteCommand command{};
                EXPECT_TRUE(nats_parse_command(form.data(), form.size(), &command)) << form;
                EXPECT_EQ(command.kind, kind) << form;
            }
        }
    }
    ASSERT_EQ(kinds.size(), 7u);

    // "| `<message>` | <result> |" rows of the examples table.
    static const std::regex example(R"(^\| `(\{.*\})` \| ([^|]+) \|$)");
    static const std::regex seek_to(R"(^seek to ([0-9]+))");
    size_t examples = 0;
    for (const std::string &line : section(text, "### JSON")) {
        std::smatch match;
        if (!std::regex_match(line, match, example)) continue;
        ++examples;
        const std::string message = match[1];
        const std::string result = match[2];
        RemoteCommand command{};
        const bool parsed = nats_parse_command(message.data(), message.size(), &command);
        std::smatch seek;
        if (result.rfind("nothing", 0) == 0) {
            EXPECT_FALSE(parsed) << message;
        } else if (std::regex_search(result, seek, seek_to)) {
            ASSERT_TRUE(parsed) << message;
            EXPECT_EQ(command.kind, REMOTE_COMMAND_SEEK) << message;
            EXPECT_EQ(command.position_ms, std::stoull(seek[1])) << message;
        } else {
            const std::string name = result.substr(0, result.find(' '));
            ASSERT_TRUE(kinds.count(name)) << "unknown result '" << result << "'";
            ASSERT_TRUE(parsed) << message;
            EXPECT_EQ(command.kind, kinds[name]) << message;
        }
    }
    EXPECT_GE(examples, 10u);
}

}  // namespace
