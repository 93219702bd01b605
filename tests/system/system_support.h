// Helpers of the system tests: the daemon binary as a child process with a
// config file of the test's own, its log, its stand-in call record, HTTP
// requests to it and DNS-SD browsing through the avahi fixture. Everything
// runs on the test's thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

using namespace std::chrono_literals;

// KEY=VALUE lines of <services dir>/<fixture>/env; empty when there is none.
std::map<std::string, std::string> fixture_env(const std::string &fixture);
// The same from <dir>/env.
std::map<std::string, std::string> service_env(const std::string &dir);

// A test service of the test's own (scripts/services/<script>), in
// <services dir>/<name>: started by start(), stopped by the destructor.
class PrivateService {
  public:
    PrivateService(std::string script, const std::string &name);
    ~PrivateService();
    PrivateService(const PrivateService &) = delete;
    PrivateService &operator=(const PrivateService &) = delete;

    // Runs "<script> <action> <dir>"; true on exit status 0.
    bool run(const std::string &action);
    bool start() { return run("start"); }
    const std::string &dir() const { return dir_; }
    std::map<std::string, std::string> env() const { return service_env(dir_); }

  private:
    std::string script_;
    std::string dir_;
    bool started_ = false;
};
// The first line of <services dir>/<fixture>/<file>, or "".
std::string fixture_file(const std::string &fixture, const std::string &file);

// A loopback TCP port that was free a moment ago.
int free_port();

// Polls every 20 ms until the condition holds or the time is up.
bool eventually(const std::function<bool()> &condition, std::chrono::milliseconds timeout);

// A minimal configuration for the daemon on the given HTTP port; `extra` is
// spliced into the top-level object (",\"key\":value..." without the comma).
std::string daemon_config(int port, const std::string &extra = "");

// examples/<name> as shipped, with each `replacements` key (which must be
// there) replaced by its value: the ports of the test's own services.
std::string shipped_example(const std::string &name, const std::map<std::string, std::string> &replacements);

struct ExitResult {
    bool exited = false;  // ended within the time allowed
    int status = -1;      // exit status, or -signal when killed by one
    std::chrono::milliseconds took{0};
};

// The daemon (build/zorva-renderer) run with a config file written by the
// test. Its stdout and stderr go to files in a private directory; the
// stand-in SDK records every call into another file there. The environment
// is the test's own with the services' variables set: XDG_RUNTIME_DIR of the
// pipewire fixture and DBUS_SYSTEM_BUS_ADDRESS of the avahi fixture, or a
// dead socket path when the avahi fixture is not used, so the daemon never
// reaches a real system bus.
class Daemon {
  public:
    struct Options {
        std::string config;                              // JSON text
        std::map<std::string, std::string> environment;  // set on top of the services' variables
        bool use_avahi = true;                           // the avahi fixture's bus, else a dead one
        std::string system_bus;                          // this bus instead (a private avahi)
        std::string pipewire_dir;                        // a private PipeWire's dir instead of the fixture's
    };

    explicit Daemon(Options options);
    ~Daemon();  // SIGKILL if it still runs; the private directory is removed
    Daemon(const Daemon &) = delete;
    Daemon &operator=(const Daemon &) = delete;

    void start();
    pid_t pid() const { return pid_; }
    bool running();

    // Whole stdout and stderr so far.
    std::string log() const;
    std::string errors() const;
    // True once some stdout line contains `text`, waiting at most `timeout`.
    bool wait_for_log(const std::string &text, std::chrono::milliseconds timeout = 5s) const;
    size_t count_log(const std::string &text) const;
    // Calls recorded by the stand-in, one "op(args)" per entry.
    std::vector<std::string> record() const;
    size_t count_record(const std::string &prefix) const;
    bool wait_for_record(const std::string &prefix, size_t count, std::chrono::milliseconds timeout = 5s) const;

    void signal(int number);
    // SIGINT and wait for the end.
    ExitResult interrupt(std::chrono::milliseconds timeout = 6s);
    ExitResult wait_exit(std::chrono::milliseconds timeout);
    // What a sanitizer wrote on stderr in a sanitizer build (must be empty);
    // always empty in other builds.
    std::string sanitizer_report() const;
    // VmRSS, and VmHWM (the peak so far), in kB; 0 when unknown.
    long rss_kb() const { return status_kb("VmRSS:"); }
    long peak_rss_kb() const { return status_kb("VmHWM:"); }

    const std::string &dir() const { return dir_; }

  private:
    // A "<field> <n> kB" line of /proc/<pid>/status.
    long status_kb(const std::string &field) const;

    Options options_;
    std::string dir_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// Lines of `log` that contain `text`, in order: index of the first line
// containing each text, searching on after the previous one; -1 where the
// order breaks.
std::vector<long> line_order(const std::string &log, const std::vector<std::string> &texts);

struct HttpReply {
    long status = 0;  // 0 when no answer came
    std::string body;
};
HttpReply http_get(int port, const std::string &path, long timeout_ms = 3000);
HttpReply http_post(int port, const std::string &path, const std::string &body, long timeout_ms = 3000);

// The connect-to-zconnect body for a session whose zconnect endpoint is `endpoint`.
std::string connect_request(const std::string &session, const std::string &endpoint);

struct BrowsedService {
    std::string name;  // as avahi-browse prints it (\032 for a space)
    std::string host;
    std::string address;
    int port = 0;
    std::vector<std::string> txt;  // as printed: reversed registration order, with quotes removed
};
// avahi-browse -rpt <type> on the avahi fixture's bus (or the given one): the
// resolved IPv4 entries.
std::vector<BrowsedService> browse(const std::string &type, const std::string &bus = "");

// Runs a command with /bin/sh, returns its exit status.
int run_shell(const std::string &command);

// Offset in `haystack` of the first occurrence of `needle`, or npos; the
// match must start on a multiple of `stride`.
size_t find_aligned(const std::vector<uint8_t> &haystack, const std::vector<uint8_t> &needle, size_t stride);
