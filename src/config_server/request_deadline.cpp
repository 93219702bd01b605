// The worker threads open, watch, mark and close entries; the watchdog
// thread waits for the earliest deadline of a watched entry and cuts. Both
// sides hold the mutex while they touch an entry, and the watchdog cuts only
// under it, so it never shuts down a descriptor that was closed (and its
// entry with it) and reused meanwhile.
#include "config_server/request_deadline.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <system_error>

struct RequestDeadlines::Entry {
    std::chrono::steady_clock::time_point deadline;
    int fd = -1;            // the watched socket, or -1
    bool armed = false;     // watched, and the request has not arrived in full yet
    bool expired = false;   // cut by the watchdog
    bool received = false;  // the request has arrived in full
};

namespace {

// The address and port of one end of a socket, or false when it has none.
bool socket_end(int fd, bool peer, char (&address)[INET6_ADDRSTRLEN], uint16_t &port) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    auto *raw = reinterpret_cast<sockaddr *>(&storage);
    if ((peer ? getpeername(fd, raw, &length) : getsockname(fd, raw, &length)) != 0) return false;
    if (storage.ss_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(&storage);
        port = ntohs(in->sin_port);
        return inet_ntop(AF_INET, &in->sin_addr, address, sizeof address) != nullptr;
    }
    if (storage.ss_family == AF_INET6) {
        const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(&storage);
        port = ntohs(in6->sin6_port);
        return inet_ntop(AF_INET6, &in6->sin6_addr, address, sizeof address) != nullptr;
    }
    return false;
}

// The descriptor of the connected socket whose local end has local_port and
// whose peer is peer_address:peer_port, or -1.
int find_socket(const char *peer_address, uint16_t peer_port, uint16_t local_port) {
    DIR *descriptors = opendir("/proc/self/fd");
    if (!descriptors) return -1;
    const int listing = dirfd(descriptors);
    int found = -1;
    while (dirent *entry = readdir(descriptors)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == listing) continue;
        char address[INET6_ADDRSTRLEN];
        uint16_t port = 0;
        if (!socket_end(static_cast<int>(fd), false, address, port) || port != local_port) continue;
        if (!socket_end(static_cast<int>(fd), true, address, port) || port != peer_port) continue;
        if (std::strcmp(address, peer_address) == 0) {
            found = static_cast<int>(fd);
            break;
        }
    }
    closedir(descriptors);
    return found;
}

}  // namespace

RequestDeadlines::RequestDeadlines(std::chrono::milliseconds limit) : limit_(limit) {}

RequestDeadlines::~RequestDeadlines() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool RequestDeadlines::start() {
    try {
        thread_ = std::thread(&RequestDeadlines::run, this);
    } catch (const std::system_error &) {
        return false;
    }
    return true;
}

RequestDeadlines::Entry *RequestDeadlines::open() {
    std::lock_guard lock(mutex_);
    try {
        Entry &entry = entries_.emplace_back();
        entry.deadline = std::chrono::steady_clock::now() + limit_;
        return &entry;
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

void RequestDeadlines::watch(Entry *entry, const char *peer_address, uint16_t peer_port, uint16_t local_port) {
    if (!entry) return;
    const int fd = find_socket(peer_address ? peer_address : "", peer_port, local_port);
    if (fd < 0) return;
    {
        std::lock_guard lock(mutex_);
        entry->fd = fd;
        entry->armed = true;
    }
    changed_.notify_all();
}

void RequestDeadlines::received(Entry *entry) {
    if (!entry) return;
    std::lock_guard lock(mutex_);
    entry->armed = false;
    entry->received = true;
}

bool RequestDeadlines::is_received(Entry *entry) {
    if (!entry) return false;
    std::lock_guard lock(mutex_);
    return entry->received;
}

bool RequestDeadlines::expired(Entry *entry) {
    if (!entry) return false;
    std::lock_guard lock(mutex_);
    return entry->expired;
}

std::chrono::steady_clock::duration RequestDeadlines::elapsed(Entry *entry) {
    if (!entry) return {};
    // The deadline is set once, by this same thread, in open.
    return std::chrono::steady_clock::now() - (entry->deadline - limit_);
}

void RequestDeadlines::close(Entry *entry) {
    if (!entry) return;
    std::lock_guard lock(mutex_);
    entries_.remove_if([entry](const Entry &candidate) { return &candidate == entry; });
}

void RequestDeadlines::run() noexcept {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        Entry *next = nullptr;
        for (Entry &entry : entries_)
            if (entry.armed && (!next || entry.deadline < next->deadline)) next = &entry;
        if (!next) {
            changed_.wait(lock);
        } else if (const auto deadline = next->deadline; std::chrono::steady_clock::now() < deadline) {
            // A copy: the entry may be closed while this waits.
            changed_.wait_until(lock, deadline);
        } else {
            // Reading ends: a read that waits returns the end of the stream,
            // while the answer can still be written.
            ::shutdown(next->fd, SHUT_RD);
            next->armed = false;
            next->expired = true;
        }
    }
}
