// A port that is taken when the server starts: the start is retried on a
// loop timer until the port is free, quietly, and a stop ends the retries.
// The loop is run by the test thread.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <uv.h>

#include <chrono>
#include <string>

#include "app/device_info.h"
#include "config_server/config_server.h"
#include "player/player.h"
#include "zorva_connect.h"

namespace {

// A listening socket on 127.0.0.1 at a free port.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        listen(fd, 4);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Listener() { release(); }
    void release() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

// Turns the loop until `done` or the limit.
template <class Done>
bool run_until(uv_loop_t *loop, Done done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        uv_run(loop, UV_RUN_NOWAIT);
        usleep(10000);
    }
    return true;
}

TEST(ConfigServerBindRetry, ABusyPortIsRetriedUntilFreeAndAStopEndsTheRetries) {
    uv_loop_t loop;
    ASSERT_EQ(uv_loop_init(&loop), 0);
    DeviceInfo *device = device_info_new("Den", ZRV_DEVICE_TYPE_SPEAKER, "Jux", "J-1", "SN-1", "app", "00");
    Player *player = player_new(&loop, nullptr, nullptr, nullptr);
    Listener busy;
    ASSERT_GT(busy.port, 0);
    ConfigServer *server = config_server_new(&loop, busy.port, device, player);
    config_server_set_listen_address(server, "127.0.0.1");

    config_server_start(nullptr, server);
    EXPECT_FALSE(config_server_is_running(server));
    EXPECT_TRUE(config_server_is_waiting_for_port(server));
    // A stop from the SDK ends the retries: the port may free up, nothing
    // starts.
    config_server_stop(nullptr, server);
    EXPECT_FALSE(config_server_is_waiting_for_port(server));
    busy.release();
    EXPECT_FALSE(run_until(
        &loop, [&] { return config_server_is_running(server); }, std::chrono::milliseconds(2500)));

    // Taken again at the next start, then freed: the retry binds it.
    Listener again;
    config_server_free(server);
    server = config_server_new(&loop, again.port, device, player);
    config_server_set_listen_address(server, "127.0.0.1");
    config_server_start(nullptr, server);
    ASSERT_TRUE(config_server_is_waiting_for_port(server));
    again.release();
    EXPECT_TRUE(run_until(
        &loop, [&] { return config_server_is_running(server); }, std::chrono::seconds(10)));
    EXPECT_FALSE(config_server_is_waiting_for_port(server));
    EXPECT_EQ(config_server_port(server), again.port);

    config_server_free(server);
    player_free(player);
    device_info_free(device);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(uv_loop_close(&loop), 0);
}

}  // namespace
