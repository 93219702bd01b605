// The sink's calls onto PipeWire's data thread against the "pipewire"
// fixture's headless server. Right after an open the thread loop's thread is
// busy with the server's replies (the node, its ports and links, the
// positions), several of which it hands to the data thread, while the loop
// thread hands over its own calls at a pause, a flush or a close. The test
// thread is the sink's loop thread; a watchdog thread fails the test when a
// round hangs.
#include <atomic>
#include <cstdlib>

#include "pipewire_sink_fixture.h"

namespace {

constexpr int rounds = 10000;
constexpr long hang_ms = 10000;

// Ends the process when a round takes longer than hang_ms: a hung loop
// thread cannot report a failure itself.
class Watchdog {
  public:
    Watchdog() : thread_([this] { watch(); }) {}
    ~Watchdog() {
        done_ = true;
        thread_.join();
    }
    Watchdog(const Watchdog &) = delete;
    Watchdog &operator=(const Watchdog &) = delete;

    void round_begins(int round) {
        round_ = round;
        started_ms_ = now_ms();
    }

  private:
    static long now_ms() {
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count());
    }
    void watch() {
        while (!done_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (now_ms() - started_ms_ > hang_ms) {
                std::fprintf(stderr, "round %d has not ended after %ld ms: the sink hangs\n", round_.load(), hang_ms);
                std::fflush(stderr);
                std::abort();
            }
        }
    }

    std::atomic<bool> done_{false};
    std::atomic<int> round_{0};
    std::atomic<long> started_ms_{now_ms()};
    std::thread thread_;
};

TEST_F(PipeWireSinkTest, OpeningPausedThenAtOncePausingFlushingOrClosingNeverHangs) {
    // The pause outlives the close: every open below starts paused.
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    ASSERT_TRUE(pipewire_sink_pause(sink));
    pipewire_sink_close(sink);

    int failed_opens = 0;
    int failed_steps = 0;
    const auto start = Clock::now();
    {
        Watchdog watchdog;
        for (int round = 0; round < rounds; ++round) {
            watchdog.round_begins(round);
            if (!pipewire_sink_open(sink, s16_44100())) {
                ++failed_opens;
                continue;
            }
            // Pauses or flushes, one after the other, from at once to well
            // into the replies to the connection; or a close at once.
            const auto window = std::chrono::microseconds((round * 7919) % 4000);
            const auto opened = Clock::now();
            if (round % 3 != 2) {
                do {
                    const bool done = round % 3 == 0 ? pipewire_sink_pause(sink) : pipewire_sink_flush(sink);
                    failed_steps += done ? 0 : 1;
                } while (Clock::now() - opened < window);
            }
            pipewire_sink_close(sink);
            uv_run(&loop, UV_RUN_NOWAIT);
        }
    }
    std::printf("%d rounds of open, pause, flush or close in %ld ms\n", rounds, elapsed_ms(start));
    EXPECT_EQ(failed_opens, 0);
    EXPECT_EQ(failed_steps, 0);

    // And the sink still plays.
    ASSERT_TRUE(pipewire_sink_open(sink, s16_44100()));
    ASSERT_TRUE(pipewire_sink_resume(sink));
    feeder.pcm = pw_test_pcm(8820, 2, 0, 51);
    feeder.feed();
    run_loop(5000, [&] { return feeder.done() && feeder.need_data_calls > 0; });
    EXPECT_TRUE(feeder.done());
    EXPECT_TRUE(pipewire_sink_drain(sink));
    pipewire_sink_close(sink);
}

}  // namespace
