// A controller that connects the moment the port listens, in a process whose
// server starts for the first time: its request is served like any other.
// A process of its own, since only a process's first start probes civetweb.
// The loop is run by the test thread; the controller is a thread of its own.
#include <gtest/gtest.h>
#include <unistd.h>
#include <uv.h>

#include <string>

#include "app/device_info.h"
#include "config_server/config_server.h"
#include "http_test_support.h"
#include "player/player.h"
#include "zorva_connect.h"

namespace {

TEST(ConfigServerFirstStart, AControllerThatConnectsAsThePortOpensIsServed) {
    uv_loop_t loop;
    ASSERT_EQ(uv_loop_init(&loop), 0);
    DeviceInfo *device = device_info_new("Den", ZRV_DEVICE_TYPE_SPEAKER, "Jux", "J-1", "SN-1", "app", "00");
    Player *player = player_new(&loop, nullptr, nullptr, nullptr);
    uint16_t port = 0;
    close(listen_on_loopback(port));
    ConfigServer *server = config_server_new(&loop, port, device, player);
    config_server_set_listen_address(server, "127.0.0.1");

    // The server starts in the loop's first turn, once the controller's
    // thread is already trying to connect.
    uv_timer_t start;
    uv_timer_init(&loop, &start);
    uv_handle_set_data(reinterpret_cast<uv_handle_t *>(&start), server);
    uv_timer_start(
        &start,
        [](uv_timer_t *timer) {
            config_server_start(
                nullptr, static_cast<ConfigServer *>(uv_handle_get_data(reinterpret_cast<uv_handle_t *>(timer))));
        },
        0, 0);
    HttpResponse answer;
    run_loop_during(&loop, [&] {
        const std::string request = "GET /get-display-info HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        for (int attempt = 0; attempt < 1000000 && answer.status == 0; ++attempt) answer = http_raw(port, request);
    });
    EXPECT_EQ(answer.status, 200) << answer.head;
    EXPECT_NE(answer.body.find("\"friendly_name\":\"Den\""), std::string::npos) << answer.body;

    uv_close(reinterpret_cast<uv_handle_t *>(&start), nullptr);
    config_server_free(server);
    player_free(player);
    device_info_free(device);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(uv_loop_close(&loop), 0);
}

}  // namespace
