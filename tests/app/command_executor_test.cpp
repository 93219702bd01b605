// Inbound messages from foreign threads to SDK calls on a real loop, with the
// stand-in SDK recording what the executor called.
#include "app/command_executor.h"

#include <gtest/gtest.h>
#include <uv.h>

#include <string>
#include <thread>
#include <vector>

#include "../messaging/test_support.h"
#include "volume/volume_bridge.h"
#include "zorva_standin.h"

namespace {

// The recorded calls of the remote-control operations, "name(args)".
std::vector<std::string> control_calls() {
    std::vector<std::string> calls;
    for (size_t i = 0; i < zrv_standin_call_count(); ++i) {
        ZrvStandinCall call{};
        zrv_standin_call_at(i, &call);
        std::string name = call.operation;
        if (name == "zrv_connect_create" || name == "zrv_connect_free") continue;
        calls.push_back(name.substr(strlen("zrv_connect_")) +
                        (call.arguments && *call.arguments ? "(" + std::string(call.arguments) + ")" : ""));
    }
    return calls;
}

// A seek to the position, padded with JSON whitespace to the given size.
std::string seek_of_size(size_t position, size_t size = 0) {
    std::string message = R"({"command":"seek","position_ms":)" + std::to_string(position) + "}";
    if (size > message.size()) message.insert(1, size - message.size(), ' ');
    return message;
}

size_t count_of(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

class CommandExecutorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        uv_loop_init(&loop_);
        zrv_standin_reset();
        ZrvConnectConfig config{};
        config.version = ZRV_CONNECT_CONFIG_VERSION;
        config.device_name = "Test device";
        config.manufacturer = "Maker";
        config.model = "Model";
        config.serial_number = "SN-1";
        config.unique_device_id = "commands-test";
        config.app_id = "app";
        config.app_secret = "";
        ZrvError error = ZRV_OK;
        sdk_ = zrv_connect_create(&loop_, &config, &error);
        ASSERT_NE(sdk_, nullptr);
        commands_.sdk = sdk_;
        ASSERT_TRUE(inbound_commands_init(&commands_, &loop_));
        zrv_standin_clear_calls();
    }
    void TearDown() override {
        inbound_commands_close_async(&commands_);
        inbound_commands_drop_pending(&commands_);
        volume_bridge_free(bridge_);
        zrv_connect_free(sdk_);
        uv_run(&loop_, UV_RUN_DEFAULT);
        EXPECT_EQ(uv_loop_close(&loop_), 0);
    }
    void queue(const std::string &message) {
        queue_inbound_message(nullptr, message.data(), message.size(), &commands_);
    }
    // Runs the loop until the executor has executed everything queued; it
    // does so a slice per loop iteration.
    void run() {
        for (int iteration = 0; iteration < 100000; ++iteration) {
            uv_run(&loop_, UV_RUN_NOWAIT);
            std::lock_guard lock(commands_.mutex);
            if (commands_.pending.empty() && commands_.next_taken == commands_.taken.size()) return;
        }
        ADD_FAILURE() << "the executor did not finish";
    }

    uv_loop_t loop_{};
    ZrvConnect *sdk_ = nullptr;
    InboundCommands commands_;
    VolumeBridge *bridge_ = nullptr;
};

TEST_F(CommandExecutorTest, MessagesRunInArrivalOrderWithTheirSdkCalls) {
    queue("pause");
    queue(R"({"command":"seek","positionMs":5000})");
    queue("NEXT");
    queue("prev");
    queue("stop");
    queue("\"disconnect\"");
    LogCapture log;
    run();
    EXPECT_EQ(control_calls(),
              (std::vector<std::string>{"pause_playback", "seek_time(5000)", "next_track", "previous_track",
                                        "stop_playback", "deactivate_and_disconnect_renderer"}));
    EXPECT_TRUE(log.has_line("INFO", "NATS command: PAUSE"));
    EXPECT_TRUE(log.has_line("INFO", "NATS command: SEEK to 5000 ms"));
    EXPECT_TRUE(log.has_line("INFO", "NATS command: DISCONNECT"));
}

TEST_F(CommandExecutorTest, SdkErrorsAreLoggedAndTheRunGoesOn) {
    zrv_standin_inject_error("zrv_connect_deactivate_and_disconnect_renderer", ZRV_ERROR_INVALID_STATE, 1);
    zrv_standin_inject_error("zrv_connect_pause_playback", ZRV_ERROR_NETWORK, 1);
    zrv_standin_inject_error("zrv_connect_stop_playback", ZRV_OK, 0);
    queue("disconnect");
    queue("pause");
    LogCapture log;
    run();
    std::string text = log.text();
    EXPECT_EQ(control_calls(), (std::vector<std::string>{"deactivate_and_disconnect_renderer", "pause_playback"}));
    EXPECT_NE(text.find(std::string("ERROR JuxApp: Failed to execute NATS command: ") +
                        zrv_error_to_string(ZRV_ERROR_INVALID_STATE)),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(std::string("ERROR JuxApp: Failed to execute NATS command: ") +
                        zrv_error_to_string(ZRV_ERROR_NETWORK)),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Zorva client disconnected and audio interface freed"), std::string::npos) << text;
}

TEST_F(CommandExecutorTest, PlayWithoutAPlaybackStateDoesNothingMore) {
    zrv_standin_inject_error("zrv_connect_get_playback_state", ZRV_ERROR_INTERNAL, 1);
    queue("play");
    LogCapture log;
    run();
    EXPECT_EQ(control_calls(), std::vector<std::string>{"get_playback_state"});
    EXPECT_TRUE(
        log.has_line("ERROR", std::string("Failed to get playback state: ") + zrv_error_to_string(ZRV_ERROR_INTERNAL)));
}

TEST_F(CommandExecutorTest, VolumeMessagesGoToTheBridgeNotToTheParser) {
    bridge_ = volume_bridge_new(sdk_, nullptr, "http://127.0.0.1:1/unused", "zrv.volume");
    commands_.volume_bridge = bridge_;
    queue(R"({"volume":30,"command":"pause"})");
    queue(R"({"isMuted":1,"command":"stop"})");
    queue("pause");
    run();
    EXPECT_EQ(control_calls(), (std::vector<std::string>{"set_volume(30)", "stop_playback", "pause_playback"}));
}

TEST_F(CommandExecutorTest, ZeroByteCutsTheCopyAndUnknownMessagesAreDropped) {
    std::string with_zero("stop\0garbage", 12);
    queue(with_zero);
    queue(R"({"event_type":"seek","stream_id":7})");
    queue("");
    queue("bogus");
    run();
    EXPECT_EQ(control_calls(), std::vector<std::string>{"stop_playback"});
}

TEST_F(CommandExecutorTest, FloodFromAnotherThreadRunsEveryMessageInOrder) {
    constexpr int count = 10000;
    std::thread producer([this] {
        for (int i = 0; i < count; ++i) queue(R"({"command":"seek","position_ms":)" + std::to_string(i) + "}");
    });
    std::vector<std::string> calls;
    while (calls.size() < count) {
        uv_run(&loop_, UV_RUN_ONCE);
        calls = control_calls();
    }
    producer.join();
    run();
    calls = control_calls();
    ASSERT_EQ(calls.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) ASSERT_EQ(calls[i], "seek_time(" + std::to_string(i) + ")");
    std::lock_guard lock(commands_.mutex);
    EXPECT_TRUE(commands_.pending.empty());
}

// A command word with a line break, as JSON decodes it, stays in its line.
TEST_F(CommandExecutorTest, AForgedCommandCannotWriteALineOfItsOwn) {
    LogCapture log;
    queue(R"({"command":"x\n20261208 00:00:00.000 [1.1] ERROR JuxApp: forged"})");
    run();
    const std::string text = log.text();
    EXPECT_TRUE(log.has_line("WARNING", R"(Unknown command: x\n20261208 00:00:00.000 [1.1] ERROR JuxApp: forged)"))
        << text;
    EXPECT_EQ(text.find("\n20261208 00:00:00.000"), std::string::npos) << text;
    EXPECT_TRUE(control_calls().empty());
}

// What a peer sends is bounded on arrival: a message over 64 KiB, and every
// message that finds the queue full, is dropped before it is kept.
TEST_F(CommandExecutorTest, MessagesOver64KiBAreDroppedWithTheirSize) {
    LogCapture log;
    queue(seek_of_size(1, inbound_message_max_bytes));
    queue(seek_of_size(2, inbound_message_max_bytes + 1));
    queue(seek_of_size(3, 10 * 1024 * 1024));
    queue(seek_of_size(4));
    run();
    EXPECT_EQ(control_calls(), (std::vector<std::string>{"seek_time(1)", "seek_time(4)"}));
    EXPECT_TRUE(log.has_line("WARNING", "Inbound message of 65537 bytes dropped: larger than 65536 bytes"));
    EXPECT_TRUE(log.has_line("WARNING", "Inbound message of 10485760 bytes dropped: larger than 65536 bytes"));
}

TEST_F(CommandExecutorTest, AFullQueueDropsNewMessagesWithOneWarningPerBurst) {
    for (int burst = 0; burst < 2; ++burst) {
        zrv_standin_clear_calls();
        LogCapture log;
        for (size_t i = 0; i < pending_messages_max + 50; ++i) queue(seek_of_size(i));
        run();
        const std::string text = log.text();
        const std::vector<std::string> calls = control_calls();
        ASSERT_EQ(calls.size(), pending_messages_max);
        for (size_t i = 0; i < pending_messages_max; ++i) ASSERT_EQ(calls[i], "seek_time(" + std::to_string(i) + ")");
        EXPECT_EQ(count_of(text, "WARNING JuxApp: Pending message queue is full (10000 messages, "), 1u) << burst;
        EXPECT_EQ(count_of(text, "INFO JuxApp: 50 inbound messages were dropped while the pending queue was full"), 1u);
    }
}

// The messages the loop took for execution still count: while a full queue
// is being executed, only as many new ones are taken as have run.
TEST_F(CommandExecutorTest, TheBoundCountsTheMessagesTakenForExecution) {
    LogCapture log;
    for (size_t i = 0; i < pending_messages_max; ++i) queue(seek_of_size(i));
    uv_run(&loop_, UV_RUN_NOWAIT);  // takes them all, executes one slice
    const size_t executed = control_calls().size();
    ASSERT_GT(executed, 0u);
    ASSERT_LT(executed, pending_messages_max);
    for (size_t i = 0; i < 1000; ++i) queue(seek_of_size(pending_messages_max + i));
    run();
    const std::vector<std::string> calls = control_calls();
    ASSERT_EQ(calls.size(), pending_messages_max + executed);
    EXPECT_EQ(calls.back(), "seek_time(" + std::to_string(pending_messages_max + executed - 1) + ")");
    EXPECT_NE(log.text().find("INFO JuxApp: " + std::to_string(1000 - executed) +
                              " inbound messages were dropped while the pending queue was full"),
              std::string::npos);
}

// Large messages fill the 16 MiB before the queue's 10,000 entries; the room
// comes back as the loop executes them.
TEST_F(CommandExecutorTest, AtMost16MiBOfMessagesAreHeld) {
    constexpr size_t size = 60 * 1024;
    constexpr size_t fits = held_bytes_max / size;
    LogCapture log;
    for (size_t i = 0; i < fits + 20; ++i) queue(seek_of_size(i, size));
    run();
    const std::vector<std::string> calls = control_calls();
    ASSERT_EQ(calls.size(), fits);
    EXPECT_EQ(calls.back(), "seek_time(" + std::to_string(fits - 1) + ")");
    EXPECT_TRUE(log.has_line("WARNING", "Pending message queue is full (" + std::to_string(fits) + " messages, " +
                                            std::to_string(fits * size) + " bytes held): dropping inbound messages"));
    // The loop executed them: there is room again for as many.
    zrv_standin_clear_calls();
    LogCapture quiet;
    for (size_t i = 0; i < fits; ++i) queue(seek_of_size(i, size));
    run();
    EXPECT_EQ(control_calls().size(), fits);
    EXPECT_FALSE(quiet.has_line("INFO", "20 inbound messages were dropped while the pending queue was full"));
}

// A long run is cut into slices, so other work of the loop (here another
// async handle, as an HTTP request's hand-off is) runs between them.
TEST_F(CommandExecutorTest, AFloodIsExecutedInSlicesWithOtherLoopWorkBetween) {
    struct Other {
        uv_async_t handle{};
        size_t calls_seen = 0;
        bool ran = false;
    } other;
    uv_async_init(&loop_, &other.handle, [](uv_async_t *handle) {
        auto *self = static_cast<Other *>(handle->data);
        self->ran = true;
        self->calls_seen = zrv_standin_call_count();
    });
    other.handle.data = &other;
    LogCapture log;
    for (size_t i = 0; i < 1000; ++i) queue(seek_of_size(i));
    uv_async_send(&other.handle);
    uv_run(&loop_, UV_RUN_NOWAIT);
    EXPECT_TRUE(other.ran);
    EXPECT_GT(other.calls_seen, 0u);
    EXPECT_LE(other.calls_seen, 256u);
    run();
    const std::vector<std::string> calls = control_calls();
    ASSERT_EQ(calls.size(), 1000u);
    for (size_t i = 0; i < calls.size(); ++i) ASSERT_EQ(calls[i], "seek_time(" + std::to_string(i) + ")");
    uv_close(reinterpret_cast<uv_handle_t *>(&other.handle), nullptr);
    uv_run(&loop_, UV_RUN_NOWAIT);
}

}  // namespace
