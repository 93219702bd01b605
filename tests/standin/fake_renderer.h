// A small renderer for driving the stand-in's playback service in tests: it
// serves the audio and playback delegates roughly as the daemon does (data is
// taken only while a stream is delivering, a short accept stops delivery,
// initiate and resume ask for data again) and writes every callback and every
// call it makes into one event list. Loop thread only.
#pragma once

#include <uv.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "standin_test_support.h"

struct FakeStream {
    uint64_t id = 0;
    StreamInfo info{};
    uint64_t start_ms = 0;
    bool delivering = false;
    bool disposed = false;
    uint64_t segment_start_frame = 0;  // where the bytes below begin in the track
    std::vector<uint8_t> bytes;        // taken since the announcement or the last seek
    size_t data_calls = 0;
    std::string title;

    AudioFormat format() const { return AudioFormat{info.sample_rate, info.channels, info.sample_format}; }
    size_t frame_size() const { return info.channels * zrv_audio_sample_format_size(info.sample_format); }
};

class FakeRenderer {
  public:
    explicit FakeRenderer(uv_loop_t *loop) : loop_(loop) {
        uv_timer_init(loop_, &transition_timer_);
        transition_timer_.data = this;
    }
    // The handle is released by the next loop run; the renderer must outlive it.
    void close() { uv_close(reinterpret_cast<uv_handle_t *>(&transition_timer_), nullptr); }

    ZrvConnect *sdk = nullptr;
    std::vector<std::string> events;
    std::map<uint64_t, FakeStream> streams;
    std::vector<uint64_t> order;      // stream ids in announcement order
    size_t accept_limit = SIZE_MAX;   // bytes taken per data call
    bool resume_inside_data = false;  // ask for more from inside a short accept
    bool auto_transition = true;      // report the end of a track once its data is complete
    uint64_t position_ms = 0;         // what get_position_ms answers
    bool in_resume = false;           // set by tests around a direct resume call
    size_t data_calls_inside_resume = 0;
    int data_depth = 0;
    int max_data_depth = 0;

    void add_to(ZrvConnectConfig &config) {
        config.audio.user = this;
        config.audio.new_stream = [](ZrvConnect *, uint64_t id, const StreamInfo *info, uint64_t start, void *u) {
            self(u)->on_new_stream(id, *info, start);
        };
        config.audio.audio_data = [](ZrvConnect *, uint64_t id, const void *data, size_t size, void *u) {
            return self(u)->on_data(id, data, size);
        };
        config.audio.metadata = [](ZrvConnect *, uint64_t id, const StreamMetadata *m, void *u) {
            self(u)->streams[id].title = m->title;
            self(u)->events.push_back("metadata " + std::to_string(id) + " " + m->title + " / " + m->artist);
        };
        config.audio.finished = [](ZrvConnect *, uint64_t id, void *u) { self(u)->on_finished(id); };
        config.audio.seeked = [](ZrvConnect *, uint64_t id, uint64_t ms, void *u) { self(u)->on_seeked(id, ms); };
        config.audio.disposed = [](ZrvConnect *, uint64_t id, void *u) {
            self(u)->streams[id].disposed = true;
            self(u)->events.push_back("disposed " + std::to_string(id));
        };
        config.playback.user = this;
        config.playback.initiate = [](ZrvConnect *, uint32_t state, void *u) { self(u)->on_initiate(state); };
        config.playback.pause = [](ZrvConnect *, void *u) { self(u)->on_pause(); };
        config.playback.resume = [](ZrvConnect *, void *u) { self(u)->on_resume(); };
        config.playback.stop = [](ZrvConnect *, void *u) { self(u)->on_stop(); };
        config.playback.seek_started = [](ZrvConnect *, void *u) {
            self(u)->events.push_back("seek_started");
            if (FakeStream *s = self(u)->current()) s->delivering = false;
        };
        config.playback.get_position_ms = [](ZrvConnect *, void *u) { return self(u)->position_ms; };
        config.playback.volume_changed = [](ZrvConnect *, uint32_t v, void *u) {
            self(u)->events.push_back("volume " + std::to_string(v));
        };
        config.playback.mute_changed = [](ZrvConnect *, bool m, void *u) {
            self(u)->events.push_back(std::string("mute ") + (m ? "true" : "false"));
        };
        config.playback.playback_state_changed = [](ZrvConnect *, uint32_t s, void *u) {
            self(u)->events.push_back(std::string("state ") + zrv_playback_state_to_string(s));
        };
        config.playback.max_quality_changed = [](ZrvConnect *, uint32_t q, void *u) {
            self(u)->events.push_back(std::string("quality ") + zrv_audio_quality_to_string(q));
        };
        config.playback.controls_changed = [](ZrvConnect *, uint32_t l, bool s, void *u) {
            self(u)->events.push_back(std::string("controls ") + zrv_loop_mode_to_string(l) + (s ? " shuffle" : ""));
        };
        config.playback.actions_availability_changed = [](ZrvConnect *, bool n, void *u) {
            self(u)->events.push_back(std::string("next_available ") + (n ? "true" : "false"));
        };
    }

    FakeStream *current() { return live(0); }
    FakeStream *next() { return live(1); }

    // Index of the first event equal to `event` at or after `from`, or -1.
    long index_of(const std::string &event, size_t from = 0) const {
        for (size_t i = from; i < events.size(); ++i)
            if (events[i] == event) return static_cast<long>(i);
        return -1;
    }

    ZrvError resume(uint64_t id) {
        events.push_back("-> resume " + std::to_string(id));
        streams[id].delivering = true;
        return zrv_connect_resume_audio_delivery(sdk, id);
    }

  private:
    static FakeRenderer *self(void *user) { return static_cast<FakeRenderer *>(user); }

    FakeStream *live(size_t n) {
        for (uint64_t id : order) {
            FakeStream &s = streams[id];
            if (s.disposed) continue;
            if (n-- == 0) return &s;
        }
        return nullptr;
    }

    void on_new_stream(uint64_t id, const StreamInfo &info, uint64_t start) {
        FakeStream &s = streams[id];
        s.id = id;
        s.info = info;
        s.start_ms = start;
        s.segment_start_frame = zrv_standin_frames_for_ms(info.sample_rate, start);
        order.push_back(id);
        std::string text = "new_stream " + std::to_string(id) + " " + std::to_string(info.sample_rate) + "/" +
                           std::to_string(info.channels) + "/" + std::to_string(info.sample_format) + " " +
                           std::to_string(info.duration_ms) + "ms @" + std::to_string(start);
        if (FakeStream *cur = current(); cur && cur != &s)
            text += " (current has " + std::to_string(cur->bytes.size()) + " bytes)";
        events.push_back(text);
    }

    size_t on_data(uint64_t id, const void *data, size_t size) {
        FakeStream &s = streams[id];
        ++s.data_calls;
        if (in_resume) ++data_calls_inside_resume;
        if (!s.delivering || s.disposed) return 0;
        const size_t taken = size < accept_limit ? size : accept_limit;
        const auto *bytes = static_cast<const uint8_t *>(data);
        s.bytes.insert(s.bytes.end(), bytes, bytes + taken);
        if (taken < size) {
            s.delivering = false;
            if (resume_inside_data) {
                ++data_depth;
                max_data_depth = std::max(max_data_depth, data_depth);
                s.delivering = true;
                zrv_connect_resume_audio_delivery(sdk, id);
                --data_depth;
            }
        }
        return taken;
    }

    void on_initiate(uint32_t state) {
        events.push_back("initiate " + std::to_string(state));
        FakeStream *s = current();
        if (!s) return;
        if (state == 1) resume(s->id);
        events.push_back("-> initiated");
        zrv_connect_notify_playback_initiated(sdk, s->format());
    }

    void on_pause() {
        events.push_back("pause");
        for (auto &[id, s] : streams) s.delivering = false;
        zrv_connect_notify_playback_paused(sdk);
    }

    void on_resume() {
        events.push_back("resume");
        if (FakeStream *s = current()) resume(s->id);
        zrv_connect_notify_playback_resumed(sdk);
    }

    void on_stop() {
        events.push_back("stop");
        for (auto &[id, s] : streams) s.delivering = false;
        zrv_connect_notify_playback_stopped(sdk);
    }

    void on_seeked(uint64_t id, uint64_t ms) {
        events.push_back("seeked " + std::to_string(id) + " " + std::to_string(ms));
        FakeStream &s = streams[id];
        s.bytes.clear();
        s.segment_start_frame = zrv_standin_frames_for_ms(s.info.sample_rate, ms);
        resume(id);
    }

    void on_finished(uint64_t id) {
        events.push_back("finished " + std::to_string(id));
        // Like the daemon, the end of the track is acted on later, from the
        // loop, not from inside the callback.
        if (auto_transition && current() && current()->id == id)
            uv_timer_start(
                &transition_timer_, [](uv_timer_t *t) { self(t->data)->transition(); }, 0, 0);
    }

    void transition() {
        FakeStream *following = next();
        events.push_back(std::string("-> finished nothing_queued=") + (following ? "false" : "true"));
        zrv_connect_notify_playback_finished(sdk, following == nullptr);
        if (!following) return;
        resume(following->id);
        events.push_back("-> initiated");
        zrv_connect_notify_playback_initiated(sdk, following->format());
    }

    uv_loop_t *loop_;
    uv_timer_t transition_timer_;
};
