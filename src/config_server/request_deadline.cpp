// The worker threads open, mark and close entries; the watchdog thread
// waits for the earliest deadline of a watched entry and cuts. Both sides
// hold the mutex while they touch an entry, and the watchdog cuts only under
// it, so it never shuts down a descriptor that was closed (and its entry
// with it) and reused meanwhile.
#include "config_server/request_deadline.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <system_error>
#include <vector>

struct RequestDeadlines::Entry {
    std::chrono::steady_clock::time_point deadline;
    int fd = -1;            // the watched socket, or -1
    bool armed = false;     // watched, and the request has not arrived in full yet
    bool expired = false;   // cut by the watchdog
    bool received = false;  // the request has arrived in full
};

bool peer_socket_address(const char *address, uint16_t port, sockaddr_storage &out) {
    if (!address || !*address) return false;
    // Plain addresses directly; one with an interface through the resolver,
    // which knows interface names.
    out = sockaddr_storage{};
    auto &in = reinterpret_cast<sockaddr_in &>(out);
    if (inet_pton(AF_INET, address, &in.sin_addr) == 1) {
        in.sin_family = AF_INET;
        in.sin_port = htons(port);
        return true;
    }
    auto &in6 = reinterpret_cast<sockaddr_in6 &>(out);
    if (!std::strchr(address, '%') && inet_pton(AF_INET6, address, &in6.sin6_addr) == 1) {
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(port);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    if (getaddrinfo(address, std::to_string(port).c_str(), &hints, &found) != 0 || !found) return false;
    bool ok = false;
    if (found->ai_addrlen <= sizeof out && (found->ai_family == AF_INET || found->ai_family == AF_INET6)) {
        out = sockaddr_storage{};
        std::memcpy(&out, found->ai_addr, found->ai_addrlen);
        ok = true;
    }
    freeaddrinfo(found);
    return ok;
}

bool same_socket_address(const sockaddr_storage &a, const sockaddr_storage &b) {
    if (a.ss_family != b.ss_family) return false;
    if (a.ss_family == AF_INET) {
        const auto &x = reinterpret_cast<const sockaddr_in &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in &>(b);
        return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    if (a.ss_family == AF_INET6) {
        const auto &x = reinterpret_cast<const sockaddr_in6 &>(a);
        const auto &y = reinterpret_cast<const sockaddr_in6 &>(b);
        return x.sin6_port == y.sin6_port && x.sin6_scope_id == y.sin6_scope_id &&
               std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
    }
    return false;
}

namespace {

// The port of a socket's local end, or 0 when it is no IP socket.
uint16_t local_port_of(int fd) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&storage), &length) != 0) return 0;
    if (storage.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in &>(storage).sin_port);
    if (storage.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6 &>(storage).sin6_port);
    return 0;
}

bool peer_is(int fd, const sockaddr_storage &peer) {
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    return getpeername(fd, reinterpret_cast<sockaddr *>(&storage), &length) == 0 && same_socket_address(storage, peer);
}

}  // namespace

bool RequestDeadlines::is_owned(int fd) const {
    for (const Entry &entry : entries_)
        if (entry.fd == fd) return true;
    return false;
}

void RequestDeadlines::remember(int fd) {
    std::erase(recent_sockets_, fd);
    recent_sockets_.insert(recent_sockets_.begin(), fd);
    if (recent_sockets_.size() > max_recent_sockets) recent_sockets_.pop_back();
}

// The descriptor of the connected socket whose local end has local_port and
// whose peer is peer, and which no other entry watches; -1 when there is
// none, or more than one (a peer that reached two of this host's addresses
// from one port). A new connection's descriptor is usually one that an
// earlier connection had, so those are tried first; only when none of them
// matches are all of the process's descriptors looked at.
int RequestDeadlines::find_socket(const sockaddr_storage &peer, uint16_t local_port) {
    auto matches = [&](int fd) { return local_port_of(fd) == local_port && peer_is(fd, peer); };
    std::vector<int> recent;
    {
        std::lock_guard lock(mutex_);
        recent = recent_sockets_;
    }
    for (const int fd : recent) {
        if (!matches(fd)) continue;
        std::lock_guard lock(mutex_);
        if (!is_owned(fd)) return fd;
    }

    DIR *descriptors = opendir("/proc/self/fd");
    if (!descriptors) return -1;
    const int listing = dirfd(descriptors);
    std::vector<int> found;
    while (dirent *entry = readdir(descriptors)) {
        char *end = nullptr;
        const long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == listing) continue;
        if (matches(static_cast<int>(fd))) found.push_back(static_cast<int>(fd));
    }
    closedir(descriptors);
    std::lock_guard lock(mutex_);
    std::erase_if(found, [this](int fd) { return is_owned(fd); });
    if (found.size() != 1) return -1;
    remember(found.front());
    return found.front();
}

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

RequestDeadlines::Entry *RequestDeadlines::open(const char *peer_address, uint16_t peer_port, uint16_t local_port) {
    const auto now = std::chrono::steady_clock::now();
    sockaddr_storage peer{};
    const int fd = peer_socket_address(peer_address, peer_port, peer) ? find_socket(peer, local_port) : -1;
    Entry *opened = nullptr;
    {
        std::lock_guard lock(mutex_);
        try {
            opened = &entries_.emplace_back();
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
        opened->deadline = now + limit_;
        opened->fd = fd;
        opened->armed = fd >= 0;
        // The watchdog looks again by itself when it wakes before this
        // deadline, as it does while connections come one after another.
        if (!opened->armed || watchdog_wakes_at_ <= opened->deadline) return opened;
    }
    changed_.notify_all();
    return opened;
}

bool RequestDeadlines::refuse(Entry *entry) {
    if (!entry) return false;
    std::lock_guard lock(mutex_);
    if (entry->fd < 0) return false;
    ::shutdown(entry->fd, SHUT_RDWR);
    entry->armed = false;
    return true;
}

bool RequestDeadlines::is_watched(Entry *entry) {
    if (!entry) return false;
    std::lock_guard lock(mutex_);
    return entry->fd >= 0;
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
    if (entry->fd >= 0) remember(entry->fd);
    entries_.remove_if([entry](const Entry &candidate) { return &candidate == entry; });
}

void RequestDeadlines::run() noexcept {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        Entry *next = nullptr;
        for (Entry &entry : entries_)
            if (entry.armed && (!next || entry.deadline < next->deadline)) next = &entry;
        const auto now = std::chrono::steady_clock::now();
        if (!next && entries_.empty()) {
            watchdog_wakes_at_ = std::chrono::steady_clock::time_point::max();
            changed_.wait(lock);
        } else if (!next) {
            // Connections are open: a new one soon arms a deadline after
            // this wake-up, which then finds it without being told.
            watchdog_wakes_at_ = now + limit_;
            changed_.wait_until(lock, watchdog_wakes_at_);
        } else if (now < next->deadline) {
            // A copy: the entry may be closed while this waits.
            watchdog_wakes_at_ = next->deadline;
            changed_.wait_until(lock, watchdog_wakes_at_);
        } else {
            // Reading ends: a read that waits returns the end of the stream,
            // while the answer can still be written.
            ::shutdown(next->fd, SHUT_RD);
            next->armed = false;
            next->expired = true;
        }
    }
}
