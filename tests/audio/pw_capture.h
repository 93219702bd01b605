// Test helpers for the headless PipeWire server of the "pipewire" fixture: a
// record client on test_sink's monitor that collects what the sink played, and
// the PCM helpers to compare it with what was written. PwCapture's methods are
// called on the test's thread; its stream runs on its own PipeWire thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Points this process at the fixture's server (XDG_RUNTIME_DIR from
// <ZRV_TEST_SERVICES_DIR>/pipewire/env). False, with the reason, when the
// fixture has not written its env file.
bool pw_test_use_server(std::string *error);

// Runs a shell command; what it wrote to its standard output.
std::string pw_test_run(const std::string &command);

// The id of the PipeWire node with this node.name that a client of this
// process made (pw-dump), or -1.
int pw_test_node_id(const std::string &node_name);

// Records the monitor of test_sink, or of the sink named at start, at the
// given rate, channel count and SDK sample format (0 = S16_LE, 1 =
// S24_32_LE), asking the graph for that rate.
class PwCapture {
  public:
    // Null, with the reason, when the stream cannot be set up or does not
    // start streaming within a few seconds. An in-cycle capture takes each
    // buffer in the graph cycle that carries it (on PipeWire's data thread),
    // so its stamps are exact even when the machine is busy.
    static std::unique_ptr<PwCapture> start(uint32_t rate, uint32_t channels, uint32_t sample_format,
                                            std::string *error, const std::string &sink_name = "test_sink",
                                            bool in_cycle = false);

    // Where each captured buffer starts in bytes() and when its graph cycle
    // began (CLOCK_MONOTONIC, ns; the stream's time report of that cycle).
    struct Stamp {
        size_t offset;
        int64_t ns;
    };
    std::vector<Stamp> stamps();
    // CLOCK_MONOTONIC in ns at which the frame starting at byte `offset` was
    // played: its buffer's cycle start plus the frames before it in the
    // buffer at `rate`. -1 when no buffer holds it.
    int64_t time_of(size_t offset, uint32_t rate);
    ~PwCapture();
    PwCapture(const PwCapture &) = delete;
    PwCapture &operator=(const PwCapture &) = delete;

    // Everything captured so far.
    std::vector<uint8_t> bytes();
    size_t size();
    // Forgets what was captured so far, with its stamps.
    void clear();
    // Waits until at least `count` bytes have come, at most timeout_ms.
    bool wait_for(size_t count, int timeout_ms);

    struct Impl;

  private:
    explicit PwCapture(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Interleaved test PCM with no sample exactly zero, so leading and trailing
// silence in a capture can be told apart from the audio. Format 1 samples are
// 24-bit values sign-extended into 32 bits, as PipeWire hands them back.
std::vector<uint8_t> pw_test_pcm(size_t frames, uint32_t channels, uint32_t sample_format, uint32_t seed);

// Offset of the first frame that is not all zero bytes, or bytes.size().
size_t pw_first_sound(const std::vector<uint8_t> &bytes, size_t stride);

// Empty when `captured` holds `reference` after its leading silence and only
// silence after it (as far as it goes); otherwise what differs.
std::string pw_compare_capture(const std::vector<uint8_t> &captured, const std::vector<uint8_t> &reference,
                               size_t stride);
