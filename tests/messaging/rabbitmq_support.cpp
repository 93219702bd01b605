// RabbitMQ test helpers; everything runs on the test thread.
#include "rabbitmq_support.h"

#include <amqp.h>
#include <amqp_tcp_socket.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void check_reply(amqp_rpc_reply_t reply, const char *what) {
    if (reply.reply_type != AMQP_RESPONSE_NORMAL)
        throw std::runtime_error(std::string("AMQP peer: ") + what + " failed (reply type " +
                                 std::to_string(reply.reply_type) + ")");
}

std::string text(amqp_bytes_t bytes) {
    return bytes.len ? std::string(static_cast<const char *>(bytes.bytes), bytes.len) : std::string();
}

}  // namespace

int rabbitmq_fixture_port(const char *fixture) {
    std::string path = std::string(ZRV_TEST_SERVICES_DIR) + "/" + fixture + "/port";
    int port = std::atoi(read_file(path).c_str());
    if (port <= 0) throw std::runtime_error("no rabbitmq-server port in " + path + " (is the fixture running?)");
    return port;
}

RabbitmqBroker::RabbitmqBroker(const std::string &name, bool tls) : tls_(tls) {
    static std::atomic<int> counter{0};
    dir_ = std::string(ZRV_TEST_SERVICES_DIR) + "/" + name + "-" + std::to_string(getpid()) + "-" +
           std::to_string(counter++);
}

RabbitmqBroker::~RabbitmqBroker() {
    // A broker left frozen by a failed test would not stop.
    try {
        thaw();
    } catch (const std::exception &) {
    }
    run("stop");
    std::string command = "rm -rf '" + dir_ + "'";
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
}

void RabbitmqBroker::run(const char *action) {
    std::string command = std::string(ZRV_SOURCE_DIR) + "/scripts/services/rabbitmq.sh " + action + " '" + dir_ + "'";
    if (tls_ && std::string(action) == "start") command += " --tls";
    if (std::system(command.c_str()) != 0) throw std::runtime_error("failed: " + command);
}

void RabbitmqBroker::start() {
    run("start");
    int port = std::atoi(read_file(dir_ + "/port").c_str());
    if (port <= 0) throw std::runtime_error("no port in " + dir_);
    if (port_ != 0 && port != port_) throw std::runtime_error("the broker came back on another port");
    port_ = port;
    if (tls_) {
        tls_port_ = std::atoi(read_file(dir_ + "/tls_port").c_str());
        if (tls_port_ <= 0) throw std::runtime_error("no TLS port in " + dir_);
    }
}

void RabbitmqBroker::stop() { run("stop"); }

void RabbitmqBroker::signal(int number) {
    const pid_t pid = std::atoi(read_file(dir_ + "/rabbit.pid").c_str());
    if (pid <= 0 || ::kill(pid, number) != 0) throw std::runtime_error("cannot signal the broker in " + dir_);
}

void RabbitmqBroker::freeze() { signal(SIGSTOP); }
void RabbitmqBroker::thaw() { signal(SIGCONT); }

AmqpPeer::AmqpPeer(int port) {
    connection_ = amqp_new_connection();
    amqp_socket_t *socket = amqp_tcp_socket_new(connection_);
    if (!socket || amqp_socket_open(socket, "127.0.0.1", port) != AMQP_STATUS_OK) {
        amqp_destroy_connection(connection_);
        throw std::runtime_error("AMQP peer: cannot connect to port " + std::to_string(port));
    }
    check_reply(amqp_login(connection_, "/", 0, 131072, 0, AMQP_SASL_METHOD_PLAIN, "guest", "guest"), "login");
    amqp_channel_open(connection_, 1);
    check_reply(amqp_get_rpc_reply(connection_), "channel open");
}

AmqpPeer::~AmqpPeer() {
    amqp_channel_close(connection_, 1, AMQP_REPLY_SUCCESS);
    amqp_connection_close(connection_, AMQP_REPLY_SUCCESS);
    amqp_destroy_connection(connection_);
}

void AmqpPeer::declare_exchange(const std::string &exchange) {
    amqp_exchange_declare(connection_, 1, amqp_cstring_bytes(exchange.c_str()), amqp_cstring_bytes("topic"), 0, 1, 0, 0,
                          amqp_empty_table);
    check_reply(amqp_get_rpc_reply(connection_), "exchange declare");
}

void AmqpPeer::delete_exchange(const std::string &exchange) {
    amqp_exchange_delete(connection_, 1, amqp_cstring_bytes(exchange.c_str()), 0);
    check_reply(amqp_get_rpc_reply(connection_), "exchange delete");
}

void AmqpPeer::listen(const std::string &exchange, const std::string &key, const std::string &durable_queue) {
    bool durable = !durable_queue.empty();
    amqp_queue_declare_ok_t *declared =
        amqp_queue_declare(connection_, 1, durable ? amqp_cstring_bytes(durable_queue.c_str()) : amqp_empty_bytes, 0,
                           durable, !durable, !durable, amqp_empty_table);
    check_reply(amqp_get_rpc_reply(connection_), "queue declare");
    amqp_bytes_t queue = amqp_bytes_malloc_dup(declared->queue);
    amqp_queue_bind(connection_, 1, queue, amqp_cstring_bytes(exchange.c_str()), amqp_cstring_bytes(key.c_str()),
                    amqp_empty_table);
    check_reply(amqp_get_rpc_reply(connection_), "queue bind");
    amqp_basic_consume(connection_, 1, queue, amqp_empty_bytes, 0, 1, 0, amqp_empty_table);
    amqp_bytes_free(queue);
    check_reply(amqp_get_rpc_reply(connection_), "basic consume");
}

void AmqpPeer::publish(const std::string &exchange, const std::string &key, const std::string &body) {
    amqp_bytes_t bytes{body.size(), const_cast<char *>(body.data())};
    if (amqp_basic_publish(connection_, 1, amqp_cstring_bytes(exchange.c_str()), amqp_cstring_bytes(key.c_str()), 0, 0,
                           nullptr, bytes) != AMQP_STATUS_OK)
        throw std::runtime_error("AMQP peer: publish failed");
}

std::optional<AmqpDelivery> AmqpPeer::receive(std::chrono::milliseconds timeout) {
    amqp_maybe_release_buffers(connection_);
    amqp_envelope_t envelope;
    auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    timeval wait{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
    amqp_rpc_reply_t reply = amqp_consume_message(connection_, &envelope, &wait, 0);
    if (reply.reply_type != AMQP_RESPONSE_NORMAL) return std::nullopt;
    AmqpDelivery delivery;
    delivery.routing_key = text(envelope.routing_key);
    delivery.body = text(envelope.message.body);
    const amqp_basic_properties_t &properties = envelope.message.properties;
    if (properties._flags & AMQP_BASIC_CONTENT_TYPE_FLAG) delivery.content_type = text(properties.content_type);
    if (properties._flags & AMQP_BASIC_DELIVERY_MODE_FLAG) delivery.delivery_mode = properties.delivery_mode;
    amqp_destroy_envelope(&envelope);
    return delivery;
}
