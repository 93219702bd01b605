// The request deadlines on plain loopback sockets: the test thread plays the
// worker (reading the accepted socket) and the client alike, so both ends of
// each connection are in this process and the deadline must cut the right one.
#include "config_server/request_deadline.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
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
        RequestDeadlines::Entry *entry = deadlines.open("127.0.0.1", connection.peer_port, connection.local_port);
        EXPECT_TRUE(deadlines.is_watched(entry));
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

// A refused connection ends at once in both directions, before its peer
// has sent anything.
TEST_F(RequestDeadlinesTest, ARefusedConnectionEndsAtOnceBothWays) {
    Connection connection;
    RequestDeadlines::Entry *entry = open_watched(connection);
    EXPECT_TRUE(deadlines.refuse(entry));
    EXPECT_LT(connection.read_until_end(2s), 500ms);
    char byte;
    pollfd readable{connection.client, POLLIN, 0};
    ASSERT_EQ(poll(&readable, 1, 2000), 1);
    EXPECT_EQ(recv(connection.client, &byte, 1, 0), 0) << "the client end did not see the end";
    deadlines.close(entry);
}

// Nothing else is cut: a request received in time, nor a socket whose peer
// is another (only the socket with both ends matching is watched), and an
// entry whose socket was not found is not watched at all.
TEST_F(RequestDeadlinesTest, NeitherARequestReceivedInTimeNorAnotherPeersSocketIsCut) {
    Connection connection;
    RequestDeadlines::Entry *received = open_watched(connection);
    deadlines.received(received);
    RequestDeadlines::Entry *wrong_address = deadlines.open("127.0.0.2", connection.peer_port, connection.local_port);
    RequestDeadlines::Entry *wrong_port =
        deadlines.open("127.0.0.1", static_cast<uint16_t>(connection.peer_port + 1), connection.local_port);
    RequestDeadlines::Entry *no_address = deadlines.open("not an address", connection.peer_port, connection.local_port);
    EXPECT_FALSE(deadlines.is_watched(wrong_address));
    EXPECT_FALSE(deadlines.is_watched(wrong_port));
    EXPECT_FALSE(deadlines.is_watched(no_address));
    EXPECT_FALSE(deadlines.refuse(wrong_address));
    EXPECT_EQ(connection.read_until_end(600ms), 600ms);
    for (RequestDeadlines::Entry *entry : {received, wrong_address, wrong_port, no_address}) {
        EXPECT_FALSE(deadlines.expired(entry));
        deadlines.close(entry);
    }
}

sockaddr_storage ipv6_end(const char *address, uint16_t port, uint32_t scope) {
    sockaddr_storage storage{};
    auto &in6 = reinterpret_cast<sockaddr_in6 &>(storage);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    in6.sin6_scope_id = scope;
    inet_pton(AF_INET6, address, &in6.sin6_addr);
    return storage;
}

// civetweb prints a link-local peer with its interface; the socket's peer
// address carries the interface's index. Both must meet, and the same
// address on another interface is another peer.
TEST(PeerSocketAddress, LinkLocalPeersAreToldApartByTheirInterface) {
    const unsigned loopback = if_nametoindex("lo");
    ASSERT_NE(loopback, 0u);
    sockaddr_storage parsed{};
    ASSERT_TRUE(peer_socket_address("fe80::1%lo", 5000, parsed));
    EXPECT_TRUE(same_socket_address(parsed, ipv6_end("fe80::1", 5000, loopback)));
    EXPECT_FALSE(same_socket_address(parsed, ipv6_end("fe80::1", 5000, loopback + 100)));
    EXPECT_FALSE(same_socket_address(parsed, ipv6_end("fe80::1", 5000, 0)));
    EXPECT_FALSE(same_socket_address(parsed, ipv6_end("fe80::1", 5001, loopback)));
    EXPECT_FALSE(same_socket_address(parsed, ipv6_end("fe80::2", 5000, loopback)));

    ASSERT_TRUE(peer_socket_address(("fe80::1%" + std::to_string(loopback)).c_str(), 5000, parsed));
    EXPECT_TRUE(same_socket_address(parsed, ipv6_end("fe80::1", 5000, loopback)));
    // An interface that is not there (or a name cut short) finds nothing.
    EXPECT_FALSE(peer_socket_address("fe80::1%nosuchif9", 5000, parsed));
}

TEST(PeerSocketAddress, Ipv4AndMappedPeersCompareByAddressAndPort) {
    sockaddr_storage a{}, b{};
    ASSERT_TRUE(peer_socket_address("127.0.0.1", 80, a));
    ASSERT_TRUE(peer_socket_address("127.0.0.1", 80, b));
    EXPECT_TRUE(same_socket_address(a, b));
    ASSERT_TRUE(peer_socket_address("127.0.0.2", 80, b));
    EXPECT_FALSE(same_socket_address(a, b));
    // A dual-stack socket's IPv4 peer is an IPv6 address, as civetweb prints it.
    ASSERT_TRUE(peer_socket_address("::ffff:127.0.0.1", 80, b));
    EXPECT_TRUE(same_socket_address(b, ipv6_end("::ffff:127.0.0.1", 80, 0)));
    EXPECT_FALSE(same_socket_address(a, b));
    EXPECT_FALSE(peer_socket_address("", 80, a));
    EXPECT_FALSE(peer_socket_address("localhost", 80, a));
}

}  // namespace
