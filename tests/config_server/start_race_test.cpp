// A controller that connects the moment the port listens, in a process whose
// server starts for the first time: its request is served like any other.
// A process of its own, since only a process's first start probes civetweb.
// The loop is run by the test thread; the controller is a thread of its own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <uv.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "app/device_info.h"
#include "config_server/config_server.h"
#include "player/player.h"
#include "zorva_connect.h"

namespace {

uint16_t free_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

// Connects until the port listens, sends one GET and reads the answer.
std::string get_as_soon_as_listening(uint16_t port, const std::atomic<bool> &give_up) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    while (!give_up) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
            close(fd);
            continue;
        }
        const std::string request = "GET /get-display-info HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
        std::string answer;
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
            timeval timeout{5, 0};
            setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            char buffer[4096];
            ssize_t got = 0;
            while ((got = recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, static_cast<size_t>(got));
        }
        close(fd);
        return answer;
    }
    return {};
}

TEST(ConfigServerFirstStart, AControllerThatConnectsAsThePortOpensIsServed) {
    uv_loop_t loop;
    ASSERT_EQ(uv_loop_init(&loop), 0);
    DeviceInfo *device = device_info_new("Den", ZRV_DEVICE_TYPE_SPEAKER, "Jux", "J-1", "SN-1", "app", "00");
    Player *player = player_new(&loop, nullptr, nullptr, nullptr);
    const uint16_t port = free_port();
    ConfigServer *server = config_server_new(&loop, port, device, player);
    config_server_set_listen_address(server, "127.0.0.1");

    std::atomic<bool> give_up{false};
    std::atomic<bool> answered{false};
    std::string answer;
    std::thread controller([&] {
        answer = get_as_soon_as_listening(port, give_up);
        answered = true;
    });
    config_server_start(nullptr, server);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!answered && std::chrono::steady_clock::now() < deadline) {
        uv_run(&loop, UV_RUN_NOWAIT);
        usleep(1000);
    }
    give_up = true;
    controller.join();
    EXPECT_EQ(answer.substr(0, answer.find("\r\n")), "HTTP/1.1 200 OK") << answer;
    EXPECT_NE(answer.find("\"friendly_name\":\"Den\""), std::string::npos) << answer;

    config_server_free(server);
    player_free(player);
    device_info_free(device);
    uv_run(&loop, UV_RUN_NOWAIT);
    EXPECT_EQ(uv_loop_close(&loop), 0);
}

}  // namespace
