// Helpers of the configuration server tests: a plain-socket HTTP client that
// can send anything (also broken requests), a driver that runs the loop while
// a client thread talks to the server, and capture of the log on stdout.
#pragma once

#include <uv.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

struct HttpResponse {
    int status = 0;  // 0 when no status line came back
    std::string head;
    std::string body;
};

struct RawRequestOptions {
    // Pause between single bytes (a slow client); zero sends at once. A slow
    // client stops sending once an answer arrives.
    std::chrono::milliseconds byte_gap{0};
    // With a gap: how many bytes go at once before the gaps begin (a head
    // sent whole, then a body trickled).
    size_t sent_at_once = 0;
    // Half-closes after sending, so the server sees the end of the body.
    bool shut_write = false;
    std::chrono::milliseconds receive_timeout{15000};
    // The client's own address (another loopback address is another peer);
    // null for the system's choice.
    const char *source_address = nullptr;
};

// Sends the bytes as they are and reads until the server closes.
HttpResponse http_raw(uint16_t port, const std::string &bytes, const RawRequestOptions &options = {});
HttpResponse http_get(uint16_t port, const std::string &path, const std::string &method = "GET");
HttpResponse http_post(uint16_t port, const std::string &path, const std::string &body);
// A header's value in a response head, or "" (name matched without case).
std::string header_value(const HttpResponse &response, const std::string &name);

// A non-blocking socket listening on 127.0.0.1 at a free port, which goes
// into port; -1 when there is none.
int listen_on_loopback(uint16_t &port);

// Runs work on its own thread while this thread runs the loop, until work
// has returned.
void run_loop_during(uv_loop_t *loop, const std::function<void()> &work);

// Resident set size of this process in bytes.
size_t resident_bytes();

// Everything the process writes to stdout from construction until the end.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    // What was written so far; the capture goes on.
    std::string text();
    // Number of lines holding " <LEVEL> JuxApp: <message>" exactly.
    size_t count_line(const char *level, const std::string &message);
    bool has_line(const char *level, const std::string &message) { return count_line(level, message) > 0; }
    // Offset of the first such line in text(), or npos.
    size_t find_line(const char *level, const std::string &message);
    bool wait_for_line(const char *level, const std::string &message,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

  private:
    int saved_stdout_ = -1;
    std::string path_;
};
