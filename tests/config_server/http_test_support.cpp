// Test thread and client threads; see the header.
#include "http_test_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

HttpResponse http_raw(uint16_t port, const std::string &bytes, const RawRequestOptions &options) {
    HttpResponse response;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return response;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{};
    timeout.tv_sec = options.receive_timeout.count() / 1000;
    timeout.tv_usec = (options.receive_timeout.count() % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (options.source_address) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, options.source_address, &source.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr *>(&source), sizeof source) != 0) {
            close(fd);
            return response;
        }
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        close(fd);
        return response;
    }
    if (options.byte_gap.count() > 0) {
        const size_t at_once = std::min(options.sent_at_once, bytes.size());
        if (at_once > 0 && send(fd, bytes.data(), at_once, MSG_NOSIGNAL) != static_cast<ssize_t>(at_once)) {
            close(fd);
            return response;
        }
        for (size_t i = at_once; i < bytes.size(); ++i) {
            pollfd answer{fd, POLLIN, 0};
            if (poll(&answer, 1, static_cast<int>(options.byte_gap.count())) > 0) break;
            if (send(fd, &bytes[i], 1, MSG_NOSIGNAL) != 1) break;
        }
    } else {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t count = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count <= 0) break;
            sent += static_cast<size_t>(count);
        }
    }
    if (options.shut_write) shutdown(fd, SHUT_WR);
    std::string received;
    char buffer[4096];
    for (;;) {
        const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
        if (count <= 0) break;
        received.append(buffer, static_cast<size_t>(count));
    }
    close(fd);

    const size_t end = received.find("\r\n\r\n");
    response.head = received.substr(0, end);
    if (end != std::string::npos) response.body = received.substr(end + 4);
    int status = 0;
    if (std::sscanf(response.head.c_str(), "HTTP/1.%*d %d", &status) == 1) response.status = status;
    return response;
}

HttpResponse http_get(uint16_t port, const std::string &path, const std::string &method) {
    return http_raw(port, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

HttpResponse http_post(uint16_t port, const std::string &path, const std::string &body) {
    return http_raw(port, "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                              "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\n\r\n" + body);
}

std::string header_value(const HttpResponse &response, const std::string &name) {
    std::istringstream lines(response.head);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t colon = line.find(':');
        if (colon == std::string::npos || colon != name.size()) continue;
        bool same = true;
        for (size_t i = 0; i < colon; ++i) same = same && std::tolower(line[i]) == std::tolower(name[i]);
        if (!same) continue;
        size_t start = colon + 1;
        while (start < line.size() && line[start] == ' ') ++start;
        return line.substr(start);
    }
    return "";
}

int listen_on_loopback(uint16_t &port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 64) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        if (fd >= 0) close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

void run_loop_during(uv_loop_t *loop, const std::function<void()> &work) {
    uv_async_t finished;
    std::atomic<bool> done{false};
    uv_async_init(loop, &finished, [](uv_async_t *) {});
    std::thread client([&] {
        work();
        done = true;
        uv_async_send(&finished);
    });
    while (!done) uv_run(loop, UV_RUN_ONCE);
    client.join();
    uv_close(reinterpret_cast<uv_handle_t *>(&finished), nullptr);
    uv_run(loop, UV_RUN_NOWAIT);
}

size_t resident_bytes() {
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

StdoutCapture::StdoutCapture() {
    char path[] = "/tmp/zrv-http-log-XXXXXX";
    const int fd = mkstemp(path);
    path_ = path;
    std::fflush(stdout);
    saved_stdout_ = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    close(fd);
}

StdoutCapture::~StdoutCapture() {
    // gtest reports failures on stdout too: show them with the log around them.
    const std::string captured = ::testing::Test::HasFailure() ? text() : std::string();
    std::fflush(stdout);
    dup2(saved_stdout_, STDOUT_FILENO);
    if (!captured.empty()) std::fwrite(captured.data(), 1, captured.size(), stdout);
    close(saved_stdout_);
    unlink(path_.c_str());
}

std::string StdoutCapture::text() {
    std::fflush(stdout);
    std::ifstream file(path_);
    std::stringstream content;
    content << file.rdbuf();
    return content.str();
}

size_t StdoutCapture::count_line(const char *level, const std::string &message) {
    const std::string needle = std::string(" ") + level + " JuxApp: " + message + "\n";
    const std::string all = text();
    size_t count = 0;
    for (size_t at = all.find(needle); at != std::string::npos; at = all.find(needle, at + 1)) ++count;
    return count;
}

size_t StdoutCapture::find_line(const char *level, const std::string &message) {
    return text().find(std::string(" ") + level + " JuxApp: " + message + "\n");
}

bool StdoutCapture::wait_for_line(const char *level, const std::string &message, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (has_line(level, message)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return has_line(level, message);
}
