// The request deadlines on plain loopback sockets: the test thread plays the
// worker (reading the accepted socket) and the client alike, so both ends of
// each connection are in this process and the deadline must cut the right one.
#include "config_server/request_deadline.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A connected pair over loopback: client and the accepted server end.
class Connection {
  public:
    Connection() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listener_, reinterpret_cast<sockaddr *>(&address), sizeof address);
        listen(listener_, 1);
        socklen_t length = sizeof address;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
        local_port = ntohs(address.sin_port);
        client = socket(AF_INET, SOCK_STREAM, 0);
        connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address);
        sockaddr_in peer{};
        length = sizeof peer;
        server = accept(listener_, reinterpret_cast<sockaddr *>(&peer), &length);
        peer_port = ntohs(peer.sin_port);
    }
    ~Connection() {
        close(client);
        close(server);
        close(listener_);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    // Reads the server end until the end of the stream or the limit; how
    // long that took, or the limit when the stream did not end.
    Clock::duration read_until_end(std::chrono::milliseconds limit) const {
        const auto started = Clock::now();
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - (Clock::now() - started));
            pollfd readable{server, POLLIN, 0};
            if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) return limit;
            char byte;
            if (recv(server, &byte, 1, 0) <= 0) return Clock::now() - started;
        }
    }

    int client = -1;
    int server = -1;
    uint16_t local_port = 0;
    uint16_t peer_port = 0;

  private:
    int listener_ = -1;
};

class RequestDeadlinesTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(deadlines.start()); }
    // A connection opened now, with its server end watched.
    RequestDeadlines::Entry *open_watched(const Connection &connection) {
        RequestDeadlines::Entry *entry = deadlines.open();
        deadlines.watch(entry, "127.0.0.1", connection.peer_port, connection.local_port);
        return entry;
    }
    RequestDeadlines deadlines{300ms};
};

TEST_F(RequestDeadlinesTest, ATricklingRequestIsCutAtItsDeadlineAndItsAnswerStillGoesOut) {
    Connection connection;
    RequestDeadlines::Entry *entry = open_watched(connection);
    std::thread trickler([&] {
        for (int i = 0; i < 10; ++i) {
            if (send(connection.client, "x", 1, MSG_NOSIGNAL) != 1) break;
            std::this_thread::sleep_for(100ms);
        }
    });
    const Clock::duration took = connection.read_until_end(3s);
    EXPECT_TRUE(deadlines.expired(entry));
    EXPECT_GE(took, 200ms);
    EXPECT_LT(took, 2s);
    // Only the server end's reading was cut: the client end (in this same
    // process) reads nothing yet, then the answer.
    pollfd readable{connection.client, POLLIN, 0};
    EXPECT_EQ(poll(&readable, 1, 0), 0) << "the client end was cut";
    ASSERT_EQ(send(connection.server, "408", 3, MSG_NOSIGNAL), 3);
    char answer[3] = {};
    ASSERT_EQ(poll(&readable, 1, 2000), 1);
    EXPECT_EQ(recv(connection.client, answer, sizeof answer, 0), 3);
    trickler.join();
    deadlines.close(entry);
}

// The clock runs from open: a socket watched after the deadline is cut at once.
TEST_F(RequestDeadlinesTest, ASocketWatchedAfterTheDeadlineIsCutAtOnce) {
    Connection connection;
    RequestDeadlines::Entry *entry = deadlines.open();
    std::this_thread::sleep_for(400ms);
    EXPECT_GE(deadlines.elapsed(entry), 400ms);
    deadlines.watch(entry, "127.0.0.1", connection.peer_port, connection.local_port);
    EXPECT_LT(connection.read_until_end(2s), 1s);
    EXPECT_TRUE(deadlines.expired(entry));
    deadlines.close(entry);
}

// Nothing else is cut: a request received in time, nor a socket whose peer
// is another (only the socket with both ends matching is watched).
TEST_F(RequestDeadlinesTest, NeitherARequestReceivedInTimeNorAnotherPeersSocketIsCut) {
    Connection connection;
    RequestDeadlines::Entry *received = open_watched(connection);
    deadlines.received(received);
    RequestDeadlines::Entry *wrong_address = deadlines.open();
    deadlines.watch(wrong_address, "127.0.0.2", connection.peer_port, connection.local_port);
    RequestDeadlines::Entry *wrong_port = deadlines.open();
    deadlines.watch(wrong_port, "127.0.0.1", static_cast<uint16_t>(connection.peer_port + 1), connection.local_port);
    EXPECT_EQ(connection.read_until_end(600ms), 600ms);
    for (RequestDeadlines::Entry *entry : {received, wrong_address, wrong_port}) {
        EXPECT_FALSE(deadlines.expired(entry));
        deadlines.close(entry);
    }
}

}  // namespace
