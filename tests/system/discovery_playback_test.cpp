// The renderer as a controller meets it: found by DNS-SD, read and handed a
// session over HTTP, heard on the null sink, and ended with SIGINT. Runs on
// the test's thread; the capture has its own PipeWire thread.
#include <gtest/gtest.h>

#include <vector>

#include "pw_capture.h"
#include "system_support.h"
#include "zorva_standin.h"

namespace {

const std::string service_type = "_zorva-connect._tcp";
const std::string service_name = "System\\032Test\\032Renderer";

constexpr AudioFormat cd_format{44100, 2, 0};
constexpr size_t cd_stride = 4;
constexpr uint32_t track_ms = 1500;

std::vector<uint8_t> track_pcm(uint32_t seed, uint64_t frames) {
    std::vector<uint8_t> pcm(frames * cd_stride);
    EXPECT_EQ(zrv_standin_generate_pcm(seed, cd_format, 0, frames, pcm.data(), pcm.size()), pcm.size());
    return pcm;
}

std::vector<std::string> shutdown_lines() {
    return {"Ctrl+C detected, quitting main loop",
            "Stopping Avahi advertiser",
            "Stopping Local configuration server",
            "Zorva Connect stopped",
            "Event loop has finished",
            "Sample application finished"};
}

TEST(RendererFromDiscoveryToPlayback, FoundReadConnectedHeardAndInterrupted) {
    std::string error;
    ASSERT_TRUE(pw_test_use_server(&error)) << error;
    auto capture = PwCapture::start(cd_format.sample_rate, cd_format.channels, cd_format.sample_format, &error);
    ASSERT_TRUE(capture) << error;

    const int port = free_port();
    Daemon daemon({daemon_config(port), {}, true, "", ""});
    daemon.start();

    // Discovery: the service with its port and the TXT record in registration
    // order (avahi-browse prints it reversed).
    BrowsedService found;
    ASSERT_TRUE(eventually(
        [&] {
            for (const auto &service : browse(service_type))
                if (service.name == service_name && service.port == port) {
                    found = service;
                    return true;
                }
            return false;
        },
        15s))
        << daemon.log();
    ASSERT_EQ(found.txt.size(), 4u);
    const std::vector<std::string> txt(found.txt.rbegin(), found.txt.rend());
    EXPECT_EQ(txt[0], "path=/");
    ASSERT_EQ(txt[1].rfind("device_uuid=", 0), 0u);
    EXPECT_EQ(txt[1].size(), std::string("device_uuid=").size() + 36) << txt[1];
    EXPECT_EQ(txt[2], "sdk_version=1.0.0-standin");
    EXPECT_EQ(txt[3], "type=SPEAKER");
    EXPECT_EQ(found.address, "127.0.0.1");

    // Identity and session over the advertised port.
    const auto display = http_get(found.port, "/get-display-info");
    EXPECT_EQ(display.status, 200);
    EXPECT_EQ(display.body,
              "{\"friendly_name\":\"System Test Renderer\",\"serial_number\":\"SYS-0001\",\"brand_display_name\":"
              "\"Test maker\",\"model_display_name\":\"Test model\",\"max_audio_quality\":\"HIRES3\",\"type\":"
              "\"SPEAKER\"}");
    auto connect_info = http_get(found.port, "/get-connect-info");
    EXPECT_EQ(connect_info.status, 200);
    EXPECT_EQ(connect_info.body, "{\"app_id\":\"zorva-system-test\",\"current_session_id\":\"\"}");

    capture->clear();
    const std::string endpoint =
        "standin:queue=44100/16/2/" + std::to_string(track_ms) + ",44100/16/2/" + std::to_string(track_ms);
    const auto connected = http_post(found.port, "/connect-to-zconnect", connect_request("system-session", endpoint));
    EXPECT_EQ(connected.status, 200);
    EXPECT_EQ(connected.body, "");
    connect_info = http_get(found.port, "/get-connect-info");
    EXPECT_EQ(connect_info.body, "{\"app_id\":\"zorva-system-test\",\"current_session_id\":\"system-session\"}");

    // The first track, bit for bit, and the second right after it (gapless);
    // the very end of the queue may be lost in the final drain.
    const uint64_t frames = zrv_standin_frames_for_ms(cd_format.sample_rate, track_ms);
    std::vector<uint8_t> reference = track_pcm(1, frames);
    const auto second = track_pcm(2, frames / 2);
    reference.insert(reference.end(), second.begin(), second.end());
    size_t start = 0;
    ASSERT_TRUE(eventually(
        [&] {
            const auto bytes = capture->bytes();
            start = pw_first_sound(bytes, cd_stride);
            return start < bytes.size() && bytes.size() - start >= reference.size();
        },
        10s))
        << daemon.log();
    const auto bytes = capture->bytes();
    const std::vector<uint8_t> heard(bytes.begin() + static_cast<long>(start),
                                     bytes.begin() + static_cast<long>(start + reference.size()));
    EXPECT_TRUE(heard == reference) << "the capture differs from tracks 1 and 2 of the queue";
    EXPECT_TRUE(daemon.wait_for_record("zrv_connect_notify_playback_finished(true)", 1, 5s));

    const auto result = daemon.interrupt();
    ASSERT_TRUE(result.exited) << "no exit within 6 s\n" << daemon.log();
    EXPECT_EQ(result.status, 0);
    const auto order = line_order(daemon.log(), shutdown_lines());
    for (size_t i = 0; i < order.size(); ++i) EXPECT_GE(order[i], 0) << shutdown_lines()[i] << "\n" << daemon.log();
    EXPECT_EQ(daemon.sanitizer_report(), "");
}

}  // namespace
