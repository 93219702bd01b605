// End to end: the stand-in's playback service drives the Player, the Player
// plays through the real sink into the fixture's null sink, and a capture of
// the sink's monitor is compared with the PCM the stand-in regenerates.
// The test thread runs the Player's loop; the capture has its own thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "player_fixture.h"
#include "pw_capture.h"

namespace {

size_t stride_of(AudioFormat format) { return format.channels * zrv_audio_sample_format_size(format.sample_format); }

std::vector<uint8_t> track_pcm(uint32_t seed, AudioFormat format, uint64_t first_frame, uint64_t frames) {
    std::vector<uint8_t> pcm(frames * stride_of(format));
    size_t written = zrv_standin_generate_pcm(seed, format, first_frame, frames, pcm.data(), pcm.size());
    pcm.resize(written);
    return pcm;
}

void append(std::vector<uint8_t> &to, const std::vector<uint8_t> &more) {
    to.insert(to.end(), more.begin(), more.end());
}

// The captured frames that are not all zero: the audio without the silence
// of start-up, pauses and the end (the stand-in's PCM has no zero sample).
std::vector<uint8_t> sound_only(const std::vector<uint8_t> &captured, size_t stride) {
    std::vector<uint8_t> sound;
    for (size_t at = 0; at + stride <= captured.size(); at += stride)
        if (std::any_of(captured.begin() + at, captured.begin() + at + stride, [](uint8_t b) { return b != 0; }))
            sound.insert(sound.end(), captured.begin() + at, captured.begin() + at + stride);
    return sound;
}

// Offset of the first occurrence of `needle` in `hay` at a frame boundary,
// or hay.size().
size_t find_frames(const std::vector<uint8_t> &hay, const std::vector<uint8_t> &needle, size_t stride) {
    for (size_t at = 0; at + needle.size() <= hay.size(); at += stride)
        if (std::memcmp(hay.data() + at, needle.data(), needle.size()) == 0) return at;
    return hay.size();
}

// Empty when the two are equal; otherwise where they first differ.
std::string compare_frames(const std::vector<uint8_t> &got, const std::vector<uint8_t> &want, size_t stride) {
    size_t n = std::min(got.size(), want.size());
    auto diff = std::mismatch(got.begin(), got.begin() + n, want.begin());
    size_t at = static_cast<size_t>(diff.first - got.begin());
    if (at == n && got.size() == want.size()) return "";
    return "first difference at frame " + std::to_string(at / stride) + " of " + std::to_string(want.size() / stride) +
           " (got " + std::to_string(got.size() / stride) + " frames)";
}

const AudioFormat cd{44100, 2, ZRV_SAMPLE_FORMAT_S16};
const AudioFormat hires{96000, 2, ZRV_SAMPLE_FORMAT_S24_32};

class PlayerEndToEndTest : public PlayerTest {
  protected:
    void SetUp() override {
        PlayerTest::SetUp();
        if (HasFatalFailure()) return;
        std::string error;
        ASSERT_TRUE(pw_test_use_server(&error)) << error;
        player_set_sdk(player_, sdk());
    }

    std::unique_ptr<PwCapture> capture(AudioFormat format) {
        std::string error;
        auto result = PwCapture::start(format.sample_rate, format.channels, format.sample_format, &error);
        EXPECT_TRUE(result) << error;
        return result;
    }

    // Plays the queue from its first track and runs the loop until the
    // service has stopped again (end of the queue).
    bool play_queue(const std::string &endpoint, int timeout_ms) {
        sdk_->clear();
        if (sdk_->connect(endpoint, true) != ZRV_OK) return false;
        if (!run_until([&] { return sdk_->status().streams_announced > 0; }, 2000)) return false;
        return run_until([&] { return state() == PLAYER_STATE_STOPPED && sdk_->status().state == 0; }, timeout_ms);
    }

    // The capture once it has stopped growing: the monitor delivers a cycle
    // or two after the sink played.
    std::vector<uint8_t> settled(PwCapture &pw) {
        size_t size = pw.size();
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            if (pw.size() == size && size > 0) break;
            size = pw.size();
        }
        return pw.bytes();
    }

    // Plays the queue into a capture and compares it with `reference`;
    // empty when they match. A rare one-period glitch of the timer-driven
    // null sink gets one retry.
    std::string play_and_compare(const std::string &endpoint, const std::vector<uint8_t> &reference) {
        std::string result;
        for (int attempt = 0; attempt < 2; ++attempt) {
            auto pw = capture(cd);
            if (!pw) return "no capture";
            if (!play_queue(endpoint, 20000)) return "the queue did not play to its end";
            result = pw_compare_capture(settled(*pw), reference, 4);
            if (result.empty()) break;
            std::fprintf(stderr, "capture differs (%s); retrying once\n", result.c_str());
        }
        return result;
    }

    // The renderer's notifications, in order.
    std::vector<std::string> notifications() {
        std::vector<std::string> result;
        for (const auto &call : sdk_->calls())
            if (call.rfind("notify_", 0) == 0) result.push_back(call);
        return result;
    }
};

// The renderer's notifications over three tracks of one format.
const std::vector<std::string> three_gapless_tracks{
    "notify_playback_initiated 44100 2 0", "notify_playback_finished false",      "notify_playback_initiated 44100 2 0",
    "notify_playback_finished false",      "notify_playback_initiated 44100 2 0", "notify_playback_finished true",
};

TEST_F(PlayerEndToEndTest, ThreeTracksOfOneFormatPlayGaplessAndBitExact) {
    std::vector<uint8_t> reference;
    for (uint32_t seed = 1; seed <= 3; ++seed) append(reference, track_pcm(seed, cd, 0, 88200));
    EXPECT_EQ(play_and_compare("standin:queue=44100/16/2/2000,44100/16/2/2000,44100/16/2/2000", reference), "")
        << "samples inserted or dropped";

    EXPECT_EQ(notifications(), three_gapless_tracks);
    EXPECT_FALSE(pipewire_sink_is_open(sink()));
    // Every stream the service announced (three a run; a retried run has
    // six) was disposed of.
    EXPECT_EQ(sdk_->status().streams_disposed, sdk_->status().streams_announced);
}

TEST_F(PlayerEndToEndTest, AFormatChangeDrainsReopensAndPlaysTheNewTrackIntact) {
    // The capture holds the graph at the new rate, so the second track is
    // compared bit for bit (the first is resampled on its way to the monitor).
    auto pw = capture(hires);
    ASSERT_TRUE(pw);
    testing::internal::CaptureStdout();
    bool played = play_queue("standin:queue=44100/16/2/1500,96000/24/2/2000", 20000);
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(played) << out;
    auto second = track_pcm(2, hires, 0, 192000);
    auto captured = settled(*pw);
    size_t start = find_frames(captured, std::vector<uint8_t>(second.begin(), second.begin() + 64 * 8), 8);
    ASSERT_LT(start, captured.size()) << "the new track's first frames never played";
    auto tail = std::vector<uint8_t>(captured.begin() + static_cast<long>(start), captured.end());
    EXPECT_EQ(pw_compare_capture(tail, second, 8), "");

    EXPECT_EQ(notifications(), (std::vector<std::string>{
                                   "notify_playback_initiated 44100 2 0",
                                   "notify_playback_finished false",
                                   "notify_playback_initiated 96000 2 1",
                                   "notify_playback_finished true",
                               }));
    EXPECT_NE(out.find("PipeWire audio sink opened: 96000 Hz, 2 ch, 32 bits, ring buffer 384000 bytes"),
              std::string::npos);
    EXPECT_EQ(sdk_count_substr(out, "Starting audio data flow from the next audio source"), 0u)
        << "no early start across a format change";
}

// A change of sample format at one rate, captured at that rate in 24 bits,
// where the 16-bit track comes back shifted left by 8: every sample of both
// tracks is there, in order, although the sink is drained, closed and
// reopened between them.
TEST_F(PlayerEndToEndTest, AFormatChangePlaysEverySampleOfBothTracks) {
    const AudioFormat cd24{44100, 2, ZRV_SAMPLE_FORMAT_S24_32};
    std::vector<uint8_t> reference;
    const auto first = track_pcm(1, cd, 0, 66150);
    for (size_t at = 0; at + 2 <= first.size(); at += 2) {
        int16_t sample = 0;
        std::memcpy(&sample, first.data() + at, 2);
        const int32_t widened = int32_t{sample} * 256;
        const auto *bytes = reinterpret_cast<const uint8_t *>(&widened);
        reference.insert(reference.end(), bytes, bytes + 4);
    }
    append(reference, track_pcm(2, cd24, 0, 66150));
    // The rate stays: no lead-in of silence.
    player_set_rate_change_silence(player_, 2000);

    std::string result;
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto pw = capture(cd24);
        ASSERT_TRUE(pw);
        StdoutLog log;
        ASSERT_TRUE(play_queue("standin:queue=44100/16/2/1500,44100/24/2/1500", 20000));
        EXPECT_EQ(log.text().find("of silence before the track"), std::string::npos);
        const auto captured = settled(*pw);
        result = compare_frames(sound_only(captured, 8), reference, 8);
        if (result.empty()) {
            const size_t end_of_first = pw_first_sound(captured, 8) + (reference.size() - 66150 * 8);
            const auto second_start = std::vector<uint8_t>(reference.end() - 66150 * 8, reference.end() - 66086 * 8);
            std::printf("silence at the format change: %.1f ms\n",
                        static_cast<double>(find_frames(captured, second_start, 8) - end_of_first) / 8 * 1000 / 44100);
            break;
        }
        // A rare one-period glitch of the timer-driven null sink.
        std::fprintf(stderr, "capture differs (%s); retrying once\n", result.c_str());
    }
    EXPECT_EQ(result, "");
    EXPECT_EQ(notifications(), (std::vector<std::string>{
                                   "notify_playback_initiated 44100 2 0",
                                   "notify_playback_finished false",
                                   "notify_playback_initiated 44100 2 1",
                                   "notify_playback_finished true",
                               }));
}

// The lead-in of silence at the demo queue's two changes of rate (44.1 kHz
// S16 to 48 kHz S24_32, then to 96 kHz), each played into a capture at the
// new rate: the new track is there bit for bit, right behind the lead-in's
// frames at the new rate. The silence between the old track (resampled
// there; every sample of a track before a change of format is checked at one
// rate above) and the new one, timed on the graph's clock, is the lead-in
// plus no more than a format change costs without one (at most two graph
// quanta of the old rate and 20 ms, the benchmark's bound). A change of
// format at one rate gets none.
TEST_F(PlayerEndToEndTest, ARateChangePlaysTheLeadInBeforeTheNewTrack) {
    constexpr uint32_t lead_in_ms = 400;
    constexpr double quantum = 4096;
    const AudioFormat dat{48000, 2, ZRV_SAMPLE_FORMAT_S24_32};
    player_set_rate_change_silence(player_, lead_in_ms);
    struct Change {
        const char *queue;
        uint32_t old_rate;
        AudioFormat format;
        uint64_t frames;
    } const changes[] = {
        {"standin:queue=44100/16/2/1500,48000/24/2/1500", 44100, dat, 72000},
        {"standin:queue=48000/24/2/1500,96000/24/2/1500", 48000, hires, 144000},
    };
    for (const Change &change : changes) {
        const uint32_t new_rate = change.format.sample_rate;
        SCOPED_TRACE(std::to_string(change.old_rate) + " to " + std::to_string(new_rate) + " Hz");
        const auto track = track_pcm(2, change.format, 0, change.frames);
        std::string result;
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::string error;
            auto pw = PwCapture::start(new_rate, 2, ZRV_SAMPLE_FORMAT_S24_32, &error, "test_sink", true);
            ASSERT_TRUE(pw) << error;
            StdoutLog log;
            ASSERT_TRUE(play_queue(change.queue, 20000));
            const auto captured = settled(*pw);
            const size_t start = find_frames(captured, std::vector<uint8_t>(track.begin(), track.begin() + 64 * 8), 8);
            if (start == captured.size()) {
                result = "the new track's first frames never played";
            } else {
                const size_t end = std::min(captured.size(), start + track.size());
                result = compare_frames(std::vector<uint8_t>(captured.begin() + static_cast<long>(start),
                                                             captured.begin() + static_cast<long>(end)),
                                        track, 8);
            }
            if (!result.empty()) {
                // A rare one-period glitch of the timer-driven null sink.
                std::fprintf(stderr, "capture differs (%s); retrying once\n", result.c_str());
                continue;
            }
            EXPECT_NE(log.text().find("Playing 400 ms of silence before the track: the rate changed from " +
                                      std::to_string(change.old_rate) + " to " + std::to_string(new_rate) + " Hz"),
                      std::string::npos);
            auto silent_at = [&](size_t at) {
                return std::all_of(captured.begin() + static_cast<long>(at),
                                   captured.begin() + static_cast<long>(at + 8), [](uint8_t b) { return b == 0; });
            };
            size_t silence_start = start;
            while (silence_start >= 8 && silent_at(silence_start - 8)) silence_start -= 8;
            EXPECT_GE((start - silence_start) / 8, uint64_t{lead_in_ms} * new_rate / 1000)
                << "the lead-in's frames at the new rate, right before the new track";
            EXPECT_GT(silence_start, pw_first_sound(captured, 8)) << "the old track played before the silence";
            std::printf("the old track at %u Hz: %zu frames of sound\n", new_rate,
                        (silence_start - pw_first_sound(captured, 8)) / 8);

            const int64_t silence_ns = pw->time_of(start, new_rate) - pw->time_of(silence_start, new_rate);
            const double silence_ms = static_cast<double>(silence_ns) / 1e6;
            const double bound_ms = lead_in_ms + 2 * quantum * 1000 / change.old_rate + 20;
            std::printf("silence at the rate change %u -> %u Hz with a lead-in of %u ms: %.1f ms (bound %.1f ms)\n",
                        change.old_rate, new_rate, lead_in_ms, silence_ms, bound_ms);
            // A busy machine may add a late cycle to the change: once more.
            if (silence_ms > bound_ms && attempt == 0) continue;
            EXPECT_GE(silence_ms, lead_in_ms - 1.0);
            EXPECT_LE(silence_ms, bound_ms);
            break;
        }
        EXPECT_EQ(result, "") << "every sample of the new track";
        EXPECT_EQ(notifications(), (std::vector<std::string>{
                                       "notify_playback_initiated " + std::to_string(change.old_rate) + " 2 " +
                                           (change.old_rate == 44100 ? "0" : "1"),
                                       "notify_playback_finished false",
                                       "notify_playback_initiated " + std::to_string(new_rate) + " 2 1",
                                       "notify_playback_finished true",
                                   }));
    }
}

TEST_F(PlayerEndToEndTest, PauseAndResumeLoseNothing) {
    auto pw = capture(cd);
    ASSERT_TRUE(pw);
    sdk_->clear();
    ASSERT_EQ(sdk_->connect("standin:queue=44100/16/2/3000", true), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_PLAYING; }, 2000));
    run_for(1000);
    ASSERT_EQ(zrv_standin_pause(sdk()), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_PAUSED; }, 1000));
    uint64_t paused_at = position();
    run_for(700);
    EXPECT_EQ(position(), paused_at) << "the position stands still while paused";
    ASSERT_EQ(zrv_standin_resume(sdk()), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_STOPPED && sdk_->status().state == 0; }, 10000));

    auto sound = sound_only(settled(*pw), 4);
    EXPECT_EQ(compare_frames(sound, track_pcm(1, cd, 0, 132300), 4), "");
    EXPECT_EQ(notifications(), (std::vector<std::string>{
                                   "notify_playback_initiated 44100 2 0",
                                   "notify_playback_paused",
                                   "notify_playback_resumed",
                                   "notify_playback_finished true",
                               }));
}

TEST_F(PlayerEndToEndTest, ASeekContinuesFromTheTargetSample) {
    auto pw = capture(cd);
    ASSERT_TRUE(pw);
    sdk_->clear();
    ASSERT_EQ(sdk_->connect("standin:queue=44100/16/2/5000", true), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_PLAYING; }, 2000));
    run_for(800);
    uint64_t before_seek = 0;
    uint64_t while_seeking = UINT64_MAX;
    PlayerState seeking_state = PLAYER_STATE_STOPPED;
    sdk_->after_playback_call = [&](const std::string &slot) {
        if (slot != "seek_started") return;
        seeking_state = state();
        while_seeking = position();
    };
    before_seek = position();
    ASSERT_EQ(zrv_standin_seek(sdk(), 3000), ZRV_OK);
    bool seen = run_until([&] { return while_seeking != UINT64_MAX; }, 1000);
    sdk_->after_playback_call = nullptr;
    ASSERT_TRUE(seen);
    EXPECT_EQ(seeking_state, PLAYER_STATE_SEEKING_PLAYING);
    EXPECT_GE(while_seeking, before_seek) << "the position where the seek began, not the target";
    EXPECT_LT(while_seeking, before_seek + 100);
    sdk_->after_playback_call = nullptr;
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_PLAYING; }, 1000));
    run_for(300);
    uint64_t after = position();
    EXPECT_GE(after, 3000u);
    EXPECT_LT(after, 3800u);
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_STOPPED && sdk_->status().state == 0; }, 10000));

    auto sound = sound_only(settled(*pw), 4);
    auto track = track_pcm(1, cd, 0, 220500);
    // What played before the seek is a prefix of the track; what follows it
    // is the track from frame 132300 to its end.
    auto rest = std::vector<uint8_t>(track.begin() + 132300 * 4, track.end());
    ASSERT_GE(sound.size(), rest.size());
    auto before = std::vector<uint8_t>(sound.begin(), sound.end() - static_cast<long>(rest.size()));
    EXPECT_EQ(compare_frames(std::vector<uint8_t>(sound.end() - static_cast<long>(rest.size()), sound.end()), rest, 4),
              "");
    ASSERT_LE(before.size(), track.size());
    EXPECT_EQ(compare_frames(before,
                             std::vector<uint8_t>(track.begin(), track.begin() + static_cast<long>(before.size())), 4),
              "");
    EXPECT_GT(before.size() / 4, 22050u) << "something played before the seek";
}

TEST_F(PlayerEndToEndTest, StopClosesTheSinkAndPositionFollowsPlayedMinusBuffered) {
    sdk_->clear();
    ASSERT_EQ(sdk_->connect("standin:queue=44100/16/2/10000", true), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_PLAYING; }, 2000));
    auto started = std::chrono::steady_clock::now();
    uint64_t last = 0;
    for (int i = 0; i < 10; ++i) {
        run_for(100);
        AudioStream *current = stream_manager_current(streams());
        ASSERT_TRUE(current);
        uint64_t before = buffered_frames();
        uint64_t pos = position();
        uint64_t after = buffered_frames();
        uint64_t accepted_ms = audio_stream_position_bytes(current) / 4 * 1000 / 44100;
        EXPECT_LE(pos, accepted_ms - std::min(accepted_ms, after * 1000 / 44100));
        EXPECT_GE(pos, accepted_ms - std::min(accepted_ms, before * 1000 / 44100));
        EXPECT_GE(pos, last) << "the position never goes back";
        last = pos;
    }
    auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    EXPECT_LT(last, static_cast<uint64_t>(elapsed.count()) + 600) << "no further ahead than the buffers";

    ASSERT_EQ(zrv_standin_stop(sdk()), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_STOPPED; }, 1000));
    EXPECT_FALSE(pipewire_sink_is_open(sink()));
    EXPECT_EQ(notifications(),
              (std::vector<std::string>{"notify_playback_initiated 44100 2 0", "notify_playback_stopped"}));
    EXPECT_EQ(position(), 0u);
    run_until([&] { return stream_manager_stream_count(streams()) == 0; }, 1000);
    EXPECT_EQ(stream_manager_stream_count(streams()), 0u) << "the service disposed of its streams";
}

// A seek race: the resume reaches the Player between the seek start and the
// stream's seek report. The report must leave it playing, and the track must
// still come to its end.
TEST_F(PlayerEndToEndTest, AResumeDuringASeekKeepsPlayingToTheEndOfTheTrack) {
    auto pw = capture(cd);
    ASSERT_TRUE(pw);
    sdk_->clear();
    ASSERT_EQ(sdk_->connect("standin:queue=44100/16/2/2000;paused", true), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_PAUSED; }, 2000));
    std::vector<std::string> seen;
    sdk_->after_playback_call = [&](const std::string &slot) { seen.push_back(slot + " " + std::to_string(state())); };
    ASSERT_EQ(zrv_standin_seek(sdk(), 1000), ZRV_OK);
    ASSERT_EQ(zrv_standin_resume(sdk()), ZRV_OK);
    ASSERT_TRUE(run_until(
        [&] {
            AudioStream *played = stream(1);
            return played && audio_stream_position_bytes(played) > 44100u * 4;
        },
        2000));
    sdk_->after_playback_call = nullptr;
    EXPECT_EQ(seen, (std::vector<std::string>{"seek_started 4", "resume 1"}));
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING) << "the seek report keeps the state the resume set";
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_STOPPED && sdk_->status().state == 0; }, 5000))
        << "the track never finished";

    EXPECT_EQ(compare_frames(sound_only(settled(*pw), 4), track_pcm(1, cd, 44100, 44100), 4), "");
    EXPECT_EQ(notifications(), (std::vector<std::string>{"notify_playback_initiated 44100 2 0",
                                                         "notify_playback_resumed", "notify_playback_finished true"}));
}

// The user removes the next track from the queue after the gapless
// hand-over has put its first data in the sink: none of it is heard, and the
// track after it follows the current one instead, every sample of both:
// whether the service announces that track only then or had it announced
// already (then it flows at once).
TEST_F(PlayerEndToEndTest, ANextTrackWithdrawnAfterTheHandOverIsNeverHeard) {
    const auto first = track_pcm(1, cd, 0, 66150);
    const auto withdrawn = track_pcm(2, cd, 0, 66150);
    const auto third = track_pcm(3, cd, 0, 44100);
    std::vector<uint8_t> reference = first;
    append(reference, third);
    for (uint32_t lookahead : {2u, 3u}) {
        SCOPED_TRACE(lookahead == 2 ? "the track after it announced later" : "the track after it announced already");
        ASSERT_EQ(zrv_standin_set_lookahead(sdk(), lookahead), ZRV_OK);
        std::string result;
        for (int attempt = 0; attempt < 2; ++attempt) {
            StdoutLog log;
            auto pw = capture(cd);
            ASSERT_TRUE(pw);
            sdk_->clear();
            ASSERT_EQ(sdk_->connect("standin:queue=44100/16/2/1500,44100/16/2/1500,44100/16/2/1000", true), ZRV_OK);
            // The second stream flows behind the first one's tail.
            ASSERT_TRUE(run_until(
                [&] {
                    AudioStream *next = stream_manager_next(streams());
                    return next && audio_stream_position_bytes(next) > 0;
                },
                5000));
            ASSERT_EQ(sdk_->status().current_stream, audio_stream_id(stream_manager_current(streams())));
            ASSERT_EQ(zrv_standin_withdraw_next(sdk()), ZRV_OK);
            ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_STOPPED && sdk_->status().state == 0; }, 10000))
                << "the queue did not play to its end";
            EXPECT_NE(log.text().find("bytes of the withdrawn audio stream back out of the sink"), std::string::npos);

            const auto captured = settled(*pw);
            const auto start_of_withdrawn = std::vector<uint8_t>(withdrawn.begin(), withdrawn.begin() + 64 * 4);
            EXPECT_EQ(find_frames(captured, start_of_withdrawn, 4), captured.size()) << "the withdrawn track was heard";
            EXPECT_EQ(notifications(), (std::vector<std::string>{
                                           "notify_playback_initiated 44100 2 0",
                                           "notify_playback_finished false",
                                           "notify_playback_initiated 44100 2 0",
                                           "notify_playback_finished true",
                                       }));
            result = compare_frames(sound_only(captured, 4), reference, 4);
            if (result.empty()) break;
            // A rare one-period glitch of the timer-driven null sink.
            std::fprintf(stderr, "capture differs (%s); retrying once\n", result.c_str());
        }
        EXPECT_EQ(result, "") << "the first and third tracks, every sample";
    }
}

// Two seeks taken at once, as two remote seek commands executed in one go:
// the second seek starts before the first one's report. Playback goes on
// playing, and the track comes to its end and is reported finished.
TEST_F(PlayerEndToEndTest, TwoSeeksInARowKeepPlayingToTheEndOfTheTrack) {
    sdk_->clear();
    ASSERT_EQ(sdk_->connect("standin:queue=44100/16/2/4000", true), ZRV_OK);
    ASSERT_TRUE(run_until([&] { return state() == PLAYER_STATE_PLAYING; }, 2000));
    run_for(300);
    std::vector<std::string> seen;
    sdk_->after_playback_call = [&](const std::string &slot) { seen.push_back(slot + " " + std::to_string(state())); };
    ASSERT_EQ(zrv_standin_seek(sdk(), 1000), ZRV_OK);
    ASSERT_EQ(zrv_standin_seek(sdk(), 2500), ZRV_OK);
    ASSERT_TRUE(run_until(
        [&] {
            AudioStream *played = stream(1);
            return played && audio_stream_position_bytes(played) > 2500u * 441 / 10 * 4;
        },
        2000));
    EXPECT_EQ(state(), PLAYER_STATE_PLAYING);
    const std::string seeking = "seek_started " + std::to_string(PLAYER_STATE_SEEKING_PLAYING);
    EXPECT_EQ(seen, (std::vector<std::string>{seeking, seeking}));
    sdk_->after_playback_call = nullptr;
    EXPECT_TRUE(run_until([&] { return state() == PLAYER_STATE_STOPPED && sdk_->status().state == 0; }, 10000))
        << "the track never finished";
    EXPECT_EQ(notifications(),
              (std::vector<std::string>{"notify_playback_initiated 44100 2 0", "notify_playback_finished true"}));
}

// A short second track: its data is complete before the first track ends, so
// the third one, announced behind it, becomes next only when the first is
// disposed of. It still starts gaplessly, with nothing inserted, also when
// the SDK disposes of the finished stream from inside the finished
// notification.
TEST_F(PlayerEndToEndTest, AThirdTrackBehindAShortSecondOnePlaysGapless) {
    std::vector<uint8_t> reference = track_pcm(1, cd, 0, 66150);
    append(reference, track_pcm(2, cd, 0, 13230));
    append(reference, track_pcm(3, cd, 0, 66150));
    for (bool reentrant : {false, true}) {
        SCOPED_TRACE(reentrant ? "disposal inside the finished notification" : "disposal after it");
        ASSERT_EQ(zrv_standin_set_lookahead(sdk(), 3), ZRV_OK);
        ASSERT_EQ(zrv_standin_set_reentrant_disposal(sdk(), reentrant), ZRV_OK);
        EXPECT_EQ(play_and_compare("standin:queue=44100/16/2/1500,44100/16/2/300,44100/16/2/1500", reference), "")
            << "samples inserted or dropped";
        // Whether a late start inserts silence depends on where the sink's
        // period falls, so the order of the calls is checked as well: the
        // third stream flows before the second one's finished moment.
        auto calls = sdk_->calls();
        const std::string third = "resume_audio_delivery " + std::to_string(sdk_->status().streams_announced);
        auto flows = std::find(calls.begin(), calls.end(), third);
        auto second_end = std::find(std::find(calls.begin(), calls.end(), "notify_playback_finished false") + 1,
                                    calls.end(), "notify_playback_finished false");
        EXPECT_LT(flows - calls.begin(), second_end - calls.begin()) << third;
        EXPECT_EQ(notifications(), three_gapless_tracks);
    }
}

}  // namespace
