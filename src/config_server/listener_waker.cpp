// The waking thread only connects and closes; the constructor and the
// destructor run on the thread that owns the waker.
#include "config_server/listener_waker.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <system_error>

ListenerWaker::ListenerWaker(uint16_t port) noexcept : port_(port) {
    // Without its thread the waker does nothing: a stop then waits for
    // civetweb's poll, which is slower but still ends.
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &) {
    }
}

ListenerWaker::~ListenerWaker() {
    stopped_ = true;
    if (thread_.joinable()) thread_.join();
}

void ListenerWaker::run() noexcept {
    while (!stopped_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        close(fd);
    }
}
