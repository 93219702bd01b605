// Stands in for systemd's notification socket: a datagram socket of the
// test's own whose path goes into NOTIFY_SOCKET. Each message is kept with
// the time the kernel received it. Test thread only.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

struct Notification {
    std::string state;
    std::chrono::system_clock::time_point received;
};

class FakeServiceManager {
  public:
    FakeServiceManager() {
        char dir[] = "/tmp/zrv-notify-XXXXXX";
        dir_ = mkdtemp(dir);
        path_ = dir_ + "/notify";
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        bound_ = bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
        int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
    }
    ~FakeServiceManager() {
        close(fd_);
        unlink(path_.c_str());
        rmdir(dir_.c_str());
        for (const char *name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) unsetenv(name);
    }
    FakeServiceManager(const FakeServiceManager &) = delete;
    FakeServiceManager &operator=(const FakeServiceManager &) = delete;

    bool bound() const { return bound_; }

    // Sets NOTIFY_SOCKET, and WATCHDOG_USEC when a watchdog is wanted, for
    // this process and the processes it starts.
    void export_environment(std::chrono::microseconds watchdog = std::chrono::microseconds(0)) const {
        setenv("NOTIFY_SOCKET", path_.c_str(), 1);
        if (watchdog.count() > 0)
            setenv("WATCHDOG_USEC", std::to_string(watchdog.count()).c_str(), 1);
        else
            unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
    }

    // The next message, waiting at most `timeout`; empty state when none came.
    Notification receive(std::chrono::milliseconds timeout) {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(timeout.count())) <= 0) return {};
        char data[4096];
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
        iovec io{data, sizeof data};
        msghdr message{};
        message.msg_iov = &io;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(fd_, &message, 0);
        if (n < 0) return {};
        Notification notification{std::string(data, static_cast<size_t>(n)), std::chrono::system_clock::now()};
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMP) continue;
            timeval stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            notification.received = std::chrono::system_clock::time_point(std::chrono::seconds(stamp.tv_sec) +
                                                                          std::chrono::microseconds(stamp.tv_usec));
        }
        return notification;
    }

    // Every message that is already there.
    std::vector<Notification> receive_all() {
        std::vector<Notification> all;
        for (Notification n = receive(std::chrono::milliseconds(0)); !n.state.empty();
             n = receive(std::chrono::milliseconds(0)))
            all.push_back(n);
        return all;
    }

  private:
    std::string dir_;
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};
