// The listener waker against a real listening socket on 127.0.0.1.
#include "config_server/listener_waker.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "http_test_support.h"

namespace {

// Accepts one connection within timeout_ms; false when none came.
bool accept_one(int listener, int timeout_ms) {
    pollfd ready{listener, POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) != 1) return false;
    const int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) return false;
    close(fd);
    return true;
}

TEST(ListenerWaker, ConnectsToThePortWhileItExistsAndNotAfter) {
    uint16_t port = 0;
    const int listener = listen_on_loopback(port);
    ASSERT_GE(listener, 0);
    {
        ListenerWaker waker(port);
        // Not once, but again and again: a poll that missed one wake-up gets the next.
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(accept_one(listener, 2000)) << i;
    }
    // The destructor has joined the thread: what is left in the backlog
    // came before it, and nothing comes after.
    while (accept_one(listener, 0)) {
    }
    EXPECT_FALSE(accept_one(listener, 100));
    close(listener);
}

}  // namespace
