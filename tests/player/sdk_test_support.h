// A stand-in SDK instance for the player tests, on the test's loop. Its
// delegate tables pass the stand-in's own calls on to the tables under test
// while forwarding is on; with it off the stand-in's playback service runs
// with its delegate calls dropped, so a test can drive the Player itself
// while the service still holds a session and a playback (the renderer's
// notifications then succeed). Loop thread only.
#pragma once

#include <uv.h>

#include <functional>
#include <string>
#include <vector>

#include "zorva_connect.h"
#include "zorva_standin.h"

class TestSdk {
  public:
    TestSdk(uv_loop_t *loop, AudioDelegate audio, PlaybackDelegate playback);
    ~TestSdk();
    TestSdk(const TestSdk &) = delete;
    TestSdk &operator=(const TestSdk &) = delete;

    ZrvConnect *handle() const { return sdk_; }
    void set_forwarding(bool on) { forwarding_ = on; }
    bool forwarding() const { return forwarding_; }

    // Joins a session with the given zconnect endpoint ("standin:queue=...").
    ZrvError connect(const std::string &endpoint, bool become_active);

    // The daemon's calls since the last clear, as "operation args": the
    // operation without its "zrv_connect_" prefix, the arguments separated by
    // spaces ("notify_playback_initiated 44100 2 0", "set_mute_state false").
    std::vector<std::string> calls() const;
    size_t count(const std::string &call) const;
    void clear() { zrv_standin_clear_calls(); }
    ZrvStandinStatus status() const;

    // Called after each of the stand-in's playback delegate calls that was
    // passed on, with the slot's name ("seek_started").
    std::function<void(const std::string &)> after_playback_call;

    AudioDelegate audio_;
    PlaybackDelegate playback_;

  private:
    ZrvConnect *sdk_ = nullptr;
    bool forwarding_ = true;
};

size_t sdk_count_substr(const std::string &text, const std::string &needle);
