// ListenerWaker: connects to a listening port on 127.0.0.1 every 10 ms from
// a thread of its own, for as long as it exists. civetweb's master thread
// notices its stop flag only when its poll of the listening socket returns,
// which can take two seconds; the configuration server keeps a waker while
// mg_stop runs, so stopping does not wait for that poll. Created and
// destroyed on one thread (the loop thread); the waking runs on its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

class ListenerWaker {
  public:
    explicit ListenerWaker(uint16_t port) noexcept;
    // Stops and joins the thread.
    ~ListenerWaker();
    ListenerWaker(const ListenerWaker &) = delete;
    ListenerWaker &operator=(const ListenerWaker &) = delete;

  private:
    void run() noexcept;

    uint16_t port_;
    std::atomic<bool> stopped_{false};
    std::thread thread_;
};
