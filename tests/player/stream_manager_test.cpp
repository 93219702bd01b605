// StreamManager on its own: the SDK's audio delegate driven directly, the
// stand-in SDK recording what the manager asks of it. Test thread = loop thread.
#include "player/stream_manager.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sdk_test_support.h"

namespace {

struct HookLog {
    StreamManager *manager = nullptr;
    std::vector<std::string> events;
    size_t accept_limit = SIZE_MAX;  // on_data takes at most this many bytes per call
    bool was_current_at_dispose = false;
    bool was_next_at_dispose = false;
};

size_t record_data(AudioStream *stream, const void *, size_t size, void *user) {
    auto *log = static_cast<HookLog *>(user);
    size_t taken = std::min(size, log->accept_limit);
    log->events.push_back("data " + std::to_string(audio_stream_id(stream)) + " " + std::to_string(taken));
    return taken;
}

void record_state(AudioStream *stream, StreamState new_state, StreamState old_state, void *user) {
    static_cast<HookLog *>(user)->events.push_back("state " + std::to_string(audio_stream_id(stream)) + " " +
                                                   std::to_string(old_state) + "->" + std::to_string(new_state));
}

void record_seeked(AudioStream *stream, void *user) {
    static_cast<HookLog *>(user)->events.push_back("seeked " + std::to_string(audio_stream_id(stream)));
}

void record_disposed(AudioStream *stream, void *user) {
    auto *log = static_cast<HookLog *>(user);
    log->events.push_back("disposed " + std::to_string(audio_stream_id(stream)));
    log->was_current_at_dispose = stream_manager_is_current(log->manager, stream);
    log->was_next_at_dispose = stream_manager_is_next(log->manager, stream);
}

// After a disposal: the roles as they are then, and how many streams are left.
void record_roles(StreamManager *manager, void *user) {
    auto id = [](AudioStream *stream) { return std::to_string(stream ? audio_stream_id(stream) : 0); };
    static_cast<HookLog *>(user)->events.push_back("roles " + id(stream_manager_current(manager)) + "/" +
                                                   id(stream_manager_next(manager)) + " of " +
                                                   std::to_string(stream_manager_stream_count(manager)));
}

void install_recording_hooks(StreamManager *, AudioStream *stream, void *user) {
    StreamHooks hooks{user, record_data, record_state, record_seeked, record_disposed};
    audio_stream_install_hooks(stream, &hooks);
}

class StreamManagerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(uv_loop_init(&loop_), 0);
        sdk_ = std::make_unique<TestSdk>(&loop_, AudioDelegate{}, PlaybackDelegate{});
        ASSERT_TRUE(sdk_->handle());
        manager_ = stream_manager_new(&log_, install_recording_hooks);
        log_.manager = manager_;
        stream_manager_set_sdk(manager_, sdk_->handle());
        audio_ = stream_manager_audio_delegate(manager_);
    }

    void TearDown() override {
        stream_manager_free(manager_);
        sdk_.reset();
        uv_run(&loop_, UV_RUN_DEFAULT);
        EXPECT_EQ(uv_loop_close(&loop_), 0);
    }

    void announce(uint64_t id, uint32_t rate = 44100, uint32_t channels = 2, uint32_t format = 0,
                  uint64_t start_ms = 0) {
        StreamInfo info{rate, channels, format, 0, 180000};
        audio_.new_stream(sdk_->handle(), id, &info, start_ms, audio_.user);
    }
    size_t push(uint64_t id, size_t size) {
        std::vector<uint8_t> data(size, 0x11);
        return audio_.audio_data(sdk_->handle(), id, data.data(), data.size(), audio_.user);
    }
    void finished(uint64_t id) { audio_.finished(sdk_->handle(), id, audio_.user); }
    void seeked(uint64_t id, uint64_t ms) { audio_.seeked(sdk_->handle(), id, ms, audio_.user); }
    void disposed(uint64_t id) { audio_.disposed(sdk_->handle(), id, audio_.user); }
    uint64_t id_of(AudioStream *stream) { return stream ? audio_stream_id(stream) : 0; }

    uv_loop_t loop_{};
    std::unique_ptr<TestSdk> sdk_;
    StreamManager *manager_ = nullptr;
    AudioDelegate audio_{};
    HookLog log_;
};

TEST_F(StreamManagerTest, StartPositionBecomesByteOffsetInTheStreamsOwnFormat) {
    announce(1, 44100, 2, ZRV_SAMPLE_FORMAT_S16, 90000);
    announce(2, 96000, 2, ZRV_SAMPLE_FORMAT_S24_32, 1500);
    announce(3, 44100, 1, ZRV_SAMPLE_FORMAT_S16, 1);  // 44.1 frames: truncated to 44
    EXPECT_EQ(audio_stream_position_bytes(stream_manager_find(manager_, 1)), 15876000u);
    EXPECT_EQ(audio_stream_position_bytes(stream_manager_find(manager_, 2)), 2u * 144000 * 4);
    EXPECT_EQ(audio_stream_position_bytes(stream_manager_find(manager_, 3)), 44u * 2);
}

TEST_F(StreamManagerTest, DataFlowsOnlyWhileDeliveringAndAPartialAcceptStopsIt) {
    announce(7);
    AudioStream *stream = stream_manager_find(manager_, 7);
    EXPECT_EQ(push(7, 4096), 0u) << "never resumed";
    EXPECT_EQ(audio_stream_position_bytes(stream), 0u);
    EXPECT_TRUE(log_.events.empty()) << "a stream that is not delivering does not reach the hook";

    sdk_->clear();
    stream_manager_resume_delivery(stream);
    EXPECT_TRUE(audio_stream_is_delivering(stream));
    EXPECT_EQ(sdk_->count("resume_audio_delivery 7"), 1u);
    stream_manager_resume_delivery(stream);
    EXPECT_EQ(sdk_->count("resume_audio_delivery 7"), 1u) << "already delivering: no second request";

    EXPECT_EQ(push(7, 4096), 4096u);
    log_.accept_limit = 1000;
    EXPECT_EQ(push(7, 4096), 1000u);
    EXPECT_FALSE(audio_stream_is_delivering(stream));
    EXPECT_EQ(push(7, 4096), 0u) << "after a short accept nothing more until resumed";
    EXPECT_EQ(audio_stream_position_bytes(stream), 5096u);

    log_.accept_limit = SIZE_MAX;
    stream_manager_resume_delivery(stream);
    EXPECT_EQ(push(7, 3096), 3096u);
    EXPECT_EQ(audio_stream_position_bytes(stream), 8192u);

    stream_manager_stop_delivery(stream);
    EXPECT_EQ(push(7, 100), 0u);
    EXPECT_EQ(audio_stream_position_bytes(stream), 8192u);
}

TEST_F(StreamManagerTest, RolesMoveUpInAnnouncementOrderAsStreamsAreDisposedOf) {
    stream_manager_set_roles_hook(manager_, record_roles);
    announce(1);
    announce(2);
    announce(3);
    announce(4);
    EXPECT_EQ(id_of(stream_manager_current(manager_)), 1u);
    EXPECT_EQ(id_of(stream_manager_next(manager_)), 2u);

    disposed(1);
    EXPECT_TRUE(log_.was_current_at_dispose) << "on_disposed runs before the marks move";
    EXPECT_EQ(id_of(stream_manager_current(manager_)), 2u);
    EXPECT_EQ(id_of(stream_manager_next(manager_)), 3u);

    disposed(3);  // the next one: the one after it moves up
    EXPECT_TRUE(log_.was_next_at_dispose);
    EXPECT_EQ(id_of(stream_manager_current(manager_)), 2u);
    EXPECT_EQ(id_of(stream_manager_next(manager_)), 4u);

    announce(5);
    disposed(5);  // neither current nor next
    EXPECT_FALSE(log_.was_current_at_dispose);
    EXPECT_FALSE(log_.was_next_at_dispose);
    EXPECT_EQ(id_of(stream_manager_next(manager_)), 4u);

    disposed(2);
    EXPECT_EQ(id_of(stream_manager_current(manager_)), 4u);
    EXPECT_EQ(stream_manager_next(manager_), nullptr);
    disposed(4);
    EXPECT_EQ(stream_manager_current(manager_), nullptr);
    EXPECT_EQ(stream_manager_next(manager_), nullptr);
    EXPECT_EQ(stream_manager_stream_count(manager_), 0u);
    // The roles hook follows each disposal of the current or next stream,
    // once the marks have moved and the stream is gone.
    EXPECT_EQ(log_.events,
              (std::vector<std::string>{"disposed 1", "roles 2/3 of 3", "disposed 3", "roles 2/4 of 2", "disposed 5",
                                        "disposed 2", "roles 4/0 of 1", "disposed 4", "roles 0/0 of 0"}));

    announce(6);
    EXPECT_EQ(id_of(stream_manager_current(manager_)), 6u) << "an empty manager takes the next stream as current";
}

TEST_F(StreamManagerTest, FinishedTwiceChangesStateOnceAndASeekMakesItActiveAgain) {
    announce(1, 44100, 2, 0, 0);
    finished(1);
    finished(1);
    AudioStream *stream = stream_manager_find(manager_, 1);
    EXPECT_EQ(audio_stream_state(stream), STREAM_STATE_FINISHED);
    ASSERT_EQ(log_.events, (std::vector<std::string>{"state 1 0->1"}));

    log_.events.clear();
    sdk_->clear();
    seeked(1, 60000);
    EXPECT_EQ(audio_stream_state(stream), STREAM_STATE_ACTIVE);
    EXPECT_EQ(log_.events, (std::vector<std::string>{"seeked 1", "state 1 1->0"}));
    EXPECT_EQ(audio_stream_position_bytes(stream), 2u * 2646000 * 2);
    EXPECT_TRUE(audio_stream_is_delivering(stream)) << "a seek resumes delivery";
    EXPECT_EQ(sdk_->count("resume_audio_delivery 1"), 1u);

    log_.events.clear();
    seeked(1, 0);  // an ACTIVE stream: no state change
    EXPECT_EQ(log_.events, (std::vector<std::string>{"seeked 1"}));
}

TEST_F(StreamManagerTest, UnknownStreamIdsAreLoggedAndIgnored) {
    announce(1);
    stream_manager_resume_delivery(stream_manager_find(manager_, 1));
    log_.events.clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(push(99, 512), 0u);
    finished(99);
    seeked(99, 1000);
    disposed(99);
    StreamMetadata metadata{"t", "a", "b", "u"};
    audio_.metadata(sdk_->handle(), 99, &metadata, audio_.user);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sdk_count_substr(out, "WARNING"), 5u) << out;
    EXPECT_NE(out.find("[Stream 99]: Ignoring audio data for an unknown audio stream"), std::string::npos) << out;
    EXPECT_TRUE(log_.events.empty());
    EXPECT_EQ(stream_manager_stream_count(manager_), 1u);
    EXPECT_EQ(id_of(stream_manager_current(manager_)), 1u);
    EXPECT_EQ(push(1, 512), 512u) << "the known stream is untouched";
}

}  // namespace
