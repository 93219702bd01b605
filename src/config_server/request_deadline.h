// Whole-request deadlines for the HTTP server's worker threads. civetweb
// bounds each read of a request, not the request: a client that sends a byte
// now and then holds a worker for as long as it likes. Each connection's
// clock starts when a worker takes it; once its socket is watched, a watchdog
// thread cuts the socket's reading side when the deadline passes before the
// request has arrived in full, so the read that waits for it ends at once and
// the caller answers 408. open, watch, received, is_received, expired,
// elapsed and close run on the worker thread that serves the connection; the
// watchdog runs on a thread of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>

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

    // A worker has taken a connection: its clock starts now. Null only when
    // memory ran out; every function below accepts null and then does
    // nothing.
    Entry *open();
    // Watches the connection's socket: the one accepted on local_port from
    // the peer (address as text). civetweb does not give out a connection's
    // socket, so it is found among the process's descriptors by its two
    // ends; one that cannot be found is not watched. A deadline already past
    // cuts at once.
    void watch(Entry *entry, const char *peer_address, uint16_t peer_port, uint16_t local_port);
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

    std::chrono::milliseconds limit_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<Entry> entries_;  // guarded by mutex_
    bool stopping_ = false;     // guarded by mutex_
    std::thread thread_;
};
