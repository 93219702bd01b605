// AvahiUvPoll on a real libuv loop, driven through the AvahiPoll interface
// as the Avahi client drives it.
#include "discovery/avahi_uv_poll.h"

#include <avahi-common/timeval.h>
#include <avahi-common/watch.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>
#include <uv.h>

namespace {

struct Counters {
    int timeouts = 0;
    int watches = 0;
    AvahiWatchEvent events = static_cast<AvahiWatchEvent>(0);
    AvahiWatchEvent got_inside = static_cast<AvahiWatchEvent>(0);
    const AvahiPoll *api = nullptr;
};

void count_timeout(AvahiTimeout * /*timeout*/, void *user) { ++static_cast<Counters *>(user)->timeouts; }

void count_watch(AvahiWatch *watch, int /*fd*/, AvahiWatchEvent events, void *user) {
    auto *counters = static_cast<Counters *>(user);
    ++counters->watches;
    counters->events = events;
    counters->got_inside = counters->api->watch_get_events(watch);
    // Once is enough; stop it so the loop can settle.
    counters->api->watch_update(watch, static_cast<AvahiWatchEvent>(0));
}

class AvahiUvPollTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(uv_loop_init(&loop), 0);
        adapter = avahi_uv_poll_new(&loop);
        api = avahi_uv_poll_get(adapter);
        counters.api = api;
    }
    void TearDown() override {
        avahi_uv_poll_free(adapter);
        uv_run(&loop, UV_RUN_DEFAULT);
        EXPECT_EQ(uv_loop_close(&loop), 0);
    }
    // Runs the loop for about ms milliseconds.
    void run_for(uint64_t ms) {
        uv_timer_t guard;
        uv_timer_init(&loop, &guard);
        uv_timer_start(
            &guard, [](uv_timer_t *timer) { uv_stop(timer->loop); }, ms, 0);
        uv_run(&loop, UV_RUN_DEFAULT);
        uv_close(reinterpret_cast<uv_handle_t *>(&guard), nullptr);
        uv_run(&loop, UV_RUN_NOWAIT);
    }

    uv_loop_t loop{};
    AvahiUvPoll *adapter = nullptr;
    const AvahiPoll *api = nullptr;
    Counters counters;
};

TEST(AvahiUvPollDelay, WholeMillisecondsRoundedDownAndPastIsZero) {
    struct timeval now {
        1000, 500000
    };
    struct timeval due = now;
    avahi_timeval_add(&due, 1999);
    EXPECT_EQ(avahi_uv_poll_delay_ms(due, now), 1u);
    due = now;
    avahi_timeval_add(&due, 999);
    EXPECT_EQ(avahi_uv_poll_delay_ms(due, now), 0u);
    due = now;
    avahi_timeval_add(&due, 2500000);
    EXPECT_EQ(avahi_uv_poll_delay_ms(due, now), 2500u);
    due = now;
    due.tv_sec -= 10;
    EXPECT_EQ(avahi_uv_poll_delay_ms(due, now), 0u);
}

TEST_F(AvahiUvPollTest, TimeoutInThePastFiresOnTheNextIteration) {
    struct timeval past {};
    gettimeofday(&past, nullptr);
    past.tv_sec -= 5;
    api->timeout_new(api, &past, count_timeout, &counters);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(counters.timeouts, 1);
    // One-shot: it does not fire again by itself.
    run_for(30);
    EXPECT_EQ(counters.timeouts, 1);
}

TEST_F(AvahiUvPollTest, TimeoutWithoutTimeWaitsForAnUpdate) {
    AvahiTimeout *timeout = api->timeout_new(api, nullptr, count_timeout, &counters);
    run_for(30);
    EXPECT_EQ(counters.timeouts, 0);

    struct timeval soon {};
    gettimeofday(&soon, nullptr);
    avahi_timeval_add(&soon, 10000);
    api->timeout_update(timeout, &soon);
    run_for(60);
    EXPECT_EQ(counters.timeouts, 1);

    gettimeofday(&soon, nullptr);
    avahi_timeval_add(&soon, 20000);
    api->timeout_update(timeout, &soon);
    api->timeout_update(timeout, nullptr);
    run_for(60);
    EXPECT_EQ(counters.timeouts, 1);
    api->timeout_free(timeout);
}

TEST_F(AvahiUvPollTest, TimeoutMayFreeItselfFromItsCallback) {
    struct Self {
        const AvahiPoll *api;
        int fired = 0;
    } self{api};
    struct timeval now {};
    gettimeofday(&now, nullptr);
    api->timeout_new(
        api, &now,
        [](AvahiTimeout *timeout, void *user) {
            auto *s = static_cast<Self *>(user);
            ++s->fired;
            s->api->timeout_free(timeout);
        },
        &self);
    run_for(20);
    EXPECT_EQ(self.fired, 1);
}

TEST_F(AvahiUvPollTest, WatchReportsReadableAndWritable) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    AvahiWatch *watch = api->watch_new(api, fds[0], static_cast<AvahiWatchEvent>(AVAHI_WATCH_IN | AVAHI_WATCH_OUT),
                                       count_watch, &counters);
    EXPECT_EQ(api->watch_get_events(watch), 0);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(counters.watches, 1);
    EXPECT_EQ(counters.events, AVAHI_WATCH_IN | AVAHI_WATCH_OUT);
    EXPECT_EQ(counters.got_inside, AVAHI_WATCH_IN | AVAHI_WATCH_OUT);
    // The callback's update cleared what it reported.
    EXPECT_EQ(api->watch_get_events(watch), 0);

    api->watch_update(watch, AVAHI_WATCH_OUT);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(counters.watches, 2);
    EXPECT_EQ(counters.events, AVAHI_WATCH_OUT);
    api->watch_free(watch);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(AvahiUvPollTest, WatchForErrorOrHangUpAloneWaitsForNothing) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    api->watch_new(api, fds[0], AVAHI_WATCH_ERR, count_watch, &counters);
    api->watch_new(api, fds[0], AVAHI_WATCH_HUP, count_watch, &counters);
    run_for(30);
    EXPECT_EQ(counters.watches, 0);
    close(fds[0]);
    close(fds[1]);
    // The adapter frees both watches in TearDown.
}

TEST_F(AvahiUvPollTest, PollErrorReachesAvahiAsErrorAlone) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);  // a pipe with no reader polls as an error on its write end
    AvahiWatch *watch = api->watch_new(api, fds[1], AVAHI_WATCH_OUT, count_watch, &counters);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(counters.watches, 1);
    EXPECT_EQ(counters.events, AVAHI_WATCH_ERR);
    EXPECT_EQ(counters.got_inside, AVAHI_WATCH_ERR);
    api->watch_free(watch);
    close(fds[1]);
}

// D-Bus asks for a read and a write watch on one socket; libuv allows one
// poll handle per descriptor, so both must work side by side.
TEST_F(AvahiUvPollTest, WatchesOfOneDescriptorEachSeeTheirOwnEvents) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    Counters reader, writer;
    reader.api = writer.api = api;
    AvahiWatch *read_watch = api->watch_new(api, fds[0], AVAHI_WATCH_IN, count_watch, &reader);
    AvahiWatch *write_watch = api->watch_new(api, fds[0], AVAHI_WATCH_OUT, count_watch, &writer);
    ASSERT_NE(read_watch, nullptr);
    ASSERT_NE(write_watch, nullptr);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(reader.watches, 0);
    EXPECT_EQ(writer.watches, 1);
    EXPECT_EQ(writer.events, AVAHI_WATCH_OUT);

    ASSERT_EQ(write(fds[1], "x", 1), 1);
    api->watch_update(read_watch, AVAHI_WATCH_IN);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(reader.watches, 1);
    EXPECT_EQ(reader.events, AVAHI_WATCH_IN);
    EXPECT_EQ(writer.watches, 1);

    // The descriptor stays polled for the write watch after the read watch goes.
    api->watch_free(read_watch);
    api->watch_update(write_watch, AVAHI_WATCH_OUT);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(writer.watches, 2);
    api->watch_free(write_watch);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(AvahiUvPollTest, WatchMayFreeItsSiblingFromItsCallback) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    struct Pair {
        const AvahiPoll *api;
        AvahiWatch *sibling = nullptr;
        int first = 0;
        int second = 0;
    } pair{api};
    auto first = [](AvahiWatch *watch, int, AvahiWatchEvent, void *user) {
        auto *p = static_cast<Pair *>(user);
        ++p->first;
        p->api->watch_free(p->sibling);
        p->api->watch_free(watch);
    };
    auto second = [](AvahiWatch *, int, AvahiWatchEvent, void *user) { ++static_cast<Pair *>(user)->second; };
    api->watch_new(api, fds[0], AVAHI_WATCH_OUT, first, &pair);
    pair.sibling = api->watch_new(api, fds[0], AVAHI_WATCH_OUT, second, &pair);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(pair.first, 1);
    EXPECT_EQ(pair.second, 0);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(AvahiUvPollTest, FreeingTheAdapterClosesEveryLiveEntry) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    struct timeval later {};
    gettimeofday(&later, nullptr);
    later.tv_sec += 60;
    for (int i = 0; i < 3; ++i) {
        api->watch_new(api, fds[0], AVAHI_WATCH_IN, count_watch, &counters);
        api->timeout_new(api, &later, count_timeout, &counters);
        api->timeout_new(api, nullptr, count_timeout, &counters);
    }
    // One freed by Avahi before the adapter goes must not be freed twice.
    AvahiTimeout *gone = api->timeout_new(api, &later, count_timeout, &counters);
    api->timeout_free(gone);

    avahi_uv_poll_free(adapter);
    adapter = nullptr;
    // Handles are closing: the loop still has them for one iteration.
    EXPECT_NE(uv_loop_alive(&loop), 0);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(uv_loop_alive(&loop), 0);
    EXPECT_EQ(counters.timeouts, 0);
    EXPECT_EQ(counters.watches, 0);
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
