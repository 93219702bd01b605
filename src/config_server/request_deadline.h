// Whole-request deadlines for the HTTP server's worker threads. civetweb
// bounds each read of a request, not the request: a client that sends a byte
// now and then holds a worker for as long as it likes. When a worker takes a
// connection, open finds the connection's socket and starts its clock; a
// watchdog thread cuts the socket's reading side when the deadline passes
// before the request has arrived in full, so the read that waits for it ends
// at once and the caller answers 408. open, refuse, is_watched, received,
// is_received, expired, elapsed and close run on the worker thread that
// serves the connection; the watchdog runs on a thread of its own.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

// The socket address of a peer given as civetweb prints it: numeric IPv4 or
// IPv6, the latter with "%<interface>" or "%<index>" for a link-local peer.
// False when the text is no numeric address (or names no interface here).
bool peer_socket_address(const char *address, uint16_t port, sockaddr_storage &out);

// True when both name the same end: family, address and port, and for IPv6
// the interface (scope id), which tells two link-local peers apart.
bool same_socket_address(const sockaddr_storage &a, const sockaddr_storage &b);

class RequestDeadlines {
  public:
    struct Entry;

    explicit RequestDeadlines(std::chrono::milliseconds limit);
    // Stops the watchdog; every entry must have been closed.
    ~RequestDeadlines();
    RequestDeadlines(const RequestDeadlines &) = delete;
    RequestDeadlines &operator=(const RequestDeadlines &) = delete;

    // Starts the watchdog thread; false when it cannot be started.
    bool start();

    // A worker has taken the connection accepted on local_port from the peer
    // (address as civetweb prints it): its clock starts now and its socket
    // is watched. civetweb does not give out a connection's socket, so it is
    // found among the process's descriptors by comparing both ends' socket
    // addresses (one no other entry watches); when no single socket matches, the entry is not watched
    // (is_watched is false) and the caller must not serve the connection.
    // Null only when memory ran out; every function below accepts null and
    // then does nothing.
    Entry *open(const char *peer_address, uint16_t peer_port, uint16_t local_port);
    // Ends the connection before a byte of it is read: both directions of
    // its socket are shut down. False when its socket is not known.
    bool refuse(Entry *entry);
    bool is_watched(Entry *entry);
    // The request has arrived in full: it is not cut any more.
    void received(Entry *entry);
    bool is_received(Entry *entry);
    // True once the deadline has cut the connection's reading side.
    bool expired(Entry *entry);
    // Time since the connection was opened.
    std::chrono::steady_clock::duration elapsed(Entry *entry);
    // Before the connection's socket is closed; the entry goes.
    void close(Entry *entry);

  private:
    void run() noexcept;
    int find_socket(const sockaddr_storage &peer, uint16_t local_port);
    bool is_owned(int fd) const;  // with mutex_ held
    void remember(int fd);        // with mutex_ held

    // How many descriptors of past connections are tried first.
    static constexpr size_t max_recent_sockets = 64;

    std::chrono::milliseconds limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<Entry> entries_;  // guarded by mutex_
    bool stopping_ = false;     // guarded by mutex_
    // When the watchdog looks at the entries next; open wakes it only for
    // an earlier deadline.
    std::chrono::steady_clock::time_point watchdog_wakes_at_ =
        std::chrono::steady_clock::time_point::max();  // guarded by mutex_
    // Descriptors that connections had, the latest first.
    std::vector<int> recent_sockets_;  // guarded by mutex_
    std::thread thread_;
};
