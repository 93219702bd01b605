// Helpers of the RabbitMQ tests: a rabbitmq-c peer on the other side of the
// broker, and brokers run through the test-service script.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

using namespace std::chrono_literals;

struct amqp_connection_state_t_;

// The AMQP port of the fixture's broker, from <services dir>/<fixture>/port.
int rabbitmq_fixture_port(const char *fixture = "rabbitmq");

// A broker of the test's own, in its own state dir, started and stopped with
// scripts/services/rabbitmq.sh; restarts keep the port. With tls it also
// listens for AMQPS with a certificate for "localhost" from a CA of its own.
class RabbitmqBroker {
  public:
    explicit RabbitmqBroker(const std::string &name, bool tls = false);
    ~RabbitmqBroker();
    RabbitmqBroker(const RabbitmqBroker &) = delete;
    RabbitmqBroker &operator=(const RabbitmqBroker &) = delete;

    void start();
    void stop();
    // SIGSTOP and SIGCONT to the broker's process: its sockets stay open,
    // and nothing answers.
    void freeze();
    void thaw();
    int port() const { return port_; }
    int tls_port() const { return tls_port_; }
    std::string ca_file() const { return dir_ + "/tls/ca.pem"; }

  private:
    void run(const char *action);
    void signal(int number);
    std::string dir_;
    bool tls_ = false;
    int port_ = 0;
    int tls_port_ = 0;
};

struct AmqpDelivery {
    std::string routing_key;
    std::string body;
    std::string content_type;
    uint8_t delivery_mode = 0;
};

// A plain rabbitmq-c client as guest on 127.0.0.1, on channel 1. Every call
// runs on the test thread.
class AmqpPeer {
  public:
    explicit AmqpPeer(int port);
    ~AmqpPeer();
    AmqpPeer(const AmqpPeer &) = delete;
    AmqpPeer &operator=(const AmqpPeer &) = delete;

    // Declares the exchange as the daemon does (durable topic).
    void declare_exchange(const std::string &exchange);
    void delete_exchange(const std::string &exchange);
    // Consumes (no-ack) from a queue bound to the exchange with the key: a
    // private server-named one, or a durable named one that outlives the
    // peer and a broker restart.
    void listen(const std::string &exchange, const std::string &key, const std::string &durable_queue = "");
    void publish(const std::string &exchange, const std::string &key, const std::string &body);
    // The next delivery, or none within the time-out.
    std::optional<AmqpDelivery> receive(std::chrono::milliseconds timeout = 5s);

  private:
    amqp_connection_state_t_ *connection_ = nullptr;
};
