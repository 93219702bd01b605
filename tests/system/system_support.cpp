// Runs on the test's thread only.
#include "system_support.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace {

const std::string daemon_path = std::string(ZRV_BINARY_DIR) + "/zorva-renderer";

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

size_t curl_append(char *data, size_t size, size_t count, void *user) {
    static_cast<std::string *>(user)->append(data, size * count);
    return size * count;
}

HttpReply http_request(int port, const std::string &path, const std::string *body, long timeout_ms) {
    HttpReply reply;
    CURL *curl = curl_easy_init();
    if (!curl) return reply;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + path;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, curl_append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeout_ms);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    struct curl_slist *headers = nullptr;
    if (body) {
        headers = curl_slist_append(headers, "Content-Type: application/json");
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body->c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->size()));
    }
    if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return reply;
}

}  // namespace

std::map<std::string, std::string> fixture_env(const std::string &fixture) {
    return service_env(std::string(ZRV_TEST_SERVICES_DIR) + "/" + fixture);
}

std::map<std::string, std::string> service_env(const std::string &dir) {
    std::map<std::string, std::string> values;
    for (const auto &line : split_lines(read_file(dir + "/env"))) {
        const auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string value = line.substr(equals + 1);
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        std::string key = line.substr(0, equals);
        if (key.rfind("export ", 0) == 0) key = key.substr(7);
        values[key] = value;
    }
    return values;
}

std::string fixture_file(const std::string &fixture, const std::string &file) {
    const auto lines = split_lines(read_file(std::string(ZRV_TEST_SERVICES_DIR) + "/" + fixture + "/" + file));
    return lines.empty() ? "" : lines.front();
}

std::string shipped_example(const std::string &name, const std::map<std::string, std::string> &replacements) {
    std::string text = read_file(std::string(ZRV_SOURCE_DIR) + "/examples/" + name);
    for (const auto &[from, to] : replacements) {
        const size_t at = text.find(from);
        if (at == std::string::npos) throw std::runtime_error(name + " holds no " + from);
        text.replace(at, from.size(), to);
    }
    return text;
}

PrivateService::PrivateService(std::string script, const std::string &name)
    : script_(std::string(ZRV_SOURCE_DIR) + "/scripts/services/" + std::move(script)),
      dir_(std::string(ZRV_TEST_SERVICES_DIR) + "/" + name + "-" + std::to_string(getpid())) {}

PrivateService::~PrivateService() {
    if (started_) run("stop");
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

bool PrivateService::run(const std::string &action) {
    if (action != "stop") started_ = true;
    return run_shell(script_ + " " + action + " '" + dir_ + "'") == 0;
}

int free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

std::string daemon_config(int port, const std::string &extra) {
    // The REST service defaults to a port nothing listens on: its WARNING
    // comes at once and start-up goes on.
    std::string config =
        "{\"appId\":\"zorva-system-test\",\"appSecret\":\"00112233445566778899aabbccddeeff\","
        "\"deviceName\":\"System Test Renderer\",\"manufacturer\":\"Test maker\","
        "\"model\":\"Test model\",\"serialNumber\":\"SYS-0001\",\"port\":" +
        std::to_string(port);
    if (extra.find("\"volumeRestUrl\"") == std::string::npos)
        config += ",\"volumeRestUrl\":\"http://127.0.0.1:" + std::to_string(free_port()) + "/api/volume/percent\"";
    if (!extra.empty()) config += "," + extra;
    return config + "}";
}

Daemon::Daemon(Options options) : options_(std::move(options)) {
    char pattern[] = "/tmp/zrv-system-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
}

Daemon::~Daemon() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    if (!getenv("ZRV_KEEP_SYSTEM_TEST_DIRS")) std::filesystem::remove_all(dir_, ignored);
}

void Daemon::start() {
    write_file(dir_ + "/config.json", options_.config);
    std::map<std::string, std::string> variables;
    for (char **entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        const auto equals = text.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = text.substr(0, equals);
        if (key.rfind("ZRV_STANDIN_", 0) == 0 || key == "DBUS_SESSION_BUS_ADDRESS") continue;
        variables[key] = text.substr(equals + 1);
    }
    const auto pipewire = options_.pipewire_dir.empty() ? fixture_env("pipewire") : service_env(options_.pipewire_dir);
    if (pipewire.find("XDG_RUNTIME_DIR") == pipewire.end())
        throw std::runtime_error("the PipeWire service wrote no XDG_RUNTIME_DIR");
    for (const auto &[key, value] : pipewire) variables[key] = value;
    if (!options_.system_bus.empty()) {
        variables["DBUS_SYSTEM_BUS_ADDRESS"] = options_.system_bus;
    } else if (options_.use_avahi) {
        const auto avahi = fixture_env("avahi");
        const auto bus = avahi.find("DBUS_SYSTEM_BUS_ADDRESS");
        if (bus == avahi.end()) throw std::runtime_error("the avahi fixture wrote no DBUS_SYSTEM_BUS_ADDRESS");
        variables["DBUS_SYSTEM_BUS_ADDRESS"] = bus->second;
    } else {
        variables["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + dir_ + "/no-system-bus";
    }
    variables["ZRV_STANDIN_RECORD"] = dir_ + "/record.txt";
    for (const auto &[key, value] : options_.environment) variables[key] = value;

    std::vector<std::string> texts;
    for (const auto &[key, value] : variables) texts.push_back(key + "=" + value);
    std::vector<char *> envp;
    for (auto &text : texts) envp.push_back(text.data());
    envp.push_back(nullptr);
    std::string config_path = dir_ + "/config.json";
    std::string binary = daemon_path;
    char *argv[] = {binary.data(), config_path.data(), nullptr};

    const int out = open((dir_ + "/stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int err = open((dir_ + "/stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0 || err < 0) throw std::runtime_error("cannot create the daemon's output files");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        // The test runner may ignore or block SIGINT; the daemon must not inherit that.
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execve(argv[0], argv, envp.data());
        _exit(127);
    }
    close(out);
    close(err);
    if (pid_ < 0) throw std::runtime_error("fork failed");
}

bool Daemon::running() {
    if (pid_ <= 0 || reaped_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        return false;
    }
    return true;
}

std::string Daemon::log() const { return read_file(dir_ + "/stdout.txt"); }
std::string Daemon::errors() const { return read_file(dir_ + "/stderr.txt"); }

bool Daemon::wait_for_log(const std::string &text, std::chrono::milliseconds timeout) const {
    return eventually([&] { return log().find(text) != std::string::npos; }, timeout);
}

size_t Daemon::count_log(const std::string &text) const {
    size_t count = 0;
    for (const auto &line : split_lines(log()))
        if (line.find(text) != std::string::npos) ++count;
    return count;
}

std::vector<std::string> Daemon::record() const { return split_lines(read_file(dir_ + "/record.txt")); }

size_t Daemon::count_record(const std::string &prefix) const {
    size_t count = 0;
    for (const auto &line : record())
        if (line.rfind(prefix, 0) == 0) ++count;
    return count;
}

bool Daemon::wait_for_record(const std::string &prefix, size_t count, std::chrono::milliseconds timeout) const {
    return eventually([&] { return count_record(prefix) >= count; }, timeout);
}

void Daemon::signal(int number) {
    if (pid_ > 0 && !reaped_) kill(pid_, number);
}

ExitResult Daemon::interrupt(std::chrono::milliseconds timeout) {
    signal(SIGINT);
    return wait_exit(timeout);
}

ExitResult Daemon::wait_exit(std::chrono::milliseconds timeout) {
    ExitResult result;
    if (pid_ <= 0 || reaped_) return result;
    const auto begin = std::chrono::steady_clock::now();
    int status = 0;
    while (true) {
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        result.took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
        if (done == pid_) break;
        if (result.took >= timeout) return result;
        std::this_thread::sleep_for(10ms);
    }
    reaped_ = true;
    result.exited = true;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    return result;
}

std::string Daemon::sanitizer_report() const {
#ifdef ZRV_SANITIZE_BUILD
    return errors();
#else
    return "";
#endif
}

long Daemon::status_kb(const std::string &field) const {
    for (const auto &line : split_lines(read_file("/proc/" + std::to_string(pid_) + "/status")))
        if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + field.size(), nullptr, 10);
    return 0;
}

std::vector<long> line_order(const std::string &log, const std::vector<std::string> &texts) {
    const auto lines = split_lines(log);
    std::vector<long> found;
    size_t next = 0;
    for (const auto &text : texts) {
        long at = -1;
        for (size_t i = next; i < lines.size(); ++i)
            if (lines[i].find(text) != std::string::npos) {
                at = static_cast<long>(i);
                next = i + 1;
                break;
            }
        found.push_back(at);
    }
    return found;
}

HttpReply http_get(int port, const std::string &path, long timeout_ms) {
    return http_request(port, path, nullptr, timeout_ms);
}

HttpReply http_post(int port, const std::string &path, const std::string &body, long timeout_ms) {
    return http_request(port, path, &body, timeout_ms);
}

std::string connect_request(const std::string &session, const std::string &endpoint) {
    return "{\"session_id\":\"" + session +
           "\",\"jwt_api\":{\"endpoint\":\"https://api.invalid\",\"jwt\":\"api-token\",\"exp\":4102444800},"
           "\"jwt_zconnect\":{\"endpoint\":\"" +
           endpoint + "\",\"jwt\":\"zconnect-token\",\"exp\":4102444800},\"become_active\":true}";
}

std::vector<BrowsedService> browse(const std::string &type, const std::string &bus) {
    std::string address = bus;
    if (address.empty()) address = fixture_env("avahi")["DBUS_SYSTEM_BUS_ADDRESS"];
    if (address.empty()) return {};
    const std::string command = "DBUS_SYSTEM_BUS_ADDRESS='" + address + "' timeout 10 avahi-browse -rpt " + type;
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return {};
    std::string output;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    pclose(pipe);

    std::vector<BrowsedService> services;
    for (const auto &line : split_lines(output)) {
        if (line.empty() || line[0] != '=') continue;
        // =;iface;proto;name;type;domain;host;address;port;txt
        std::vector<std::string> fields;
        size_t start = 0;
        for (int i = 0; i < 9; ++i) {
            const auto semicolon = line.find(';', start);
            if (semicolon == std::string::npos) break;
            fields.push_back(line.substr(start, semicolon - start));
            start = semicolon + 1;
        }
        if (fields.size() != 9 || fields[2] != "IPv4") continue;
        BrowsedService service;
        service.name = fields[3];
        service.host = fields[6];
        service.address = fields[7];
        service.port = std::atoi(fields[8].c_str());
        const std::string txt = line.substr(start);
        size_t at = 0;
        while ((at = txt.find('"', at)) != std::string::npos) {
            const auto end = txt.find('"', at + 1);
            if (end == std::string::npos) break;
            service.txt.push_back(txt.substr(at + 1, end - at - 1));
            at = end + 1;
        }
        services.push_back(service);
    }
    return services;
}

int run_shell(const std::string &command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

size_t find_aligned(const std::vector<uint8_t> &haystack, const std::vector<uint8_t> &needle, size_t stride) {
    if (needle.empty() || haystack.size() < needle.size()) return std::string::npos;
    for (size_t at = 0; at + needle.size() <= haystack.size(); at += stride)
        if (std::memcmp(haystack.data() + at, needle.data(), needle.size()) == 0) return at;
    return std::string::npos;
}
