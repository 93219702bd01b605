// civetweb's worker threads run the handler; the test thread sets answers.
#include "rest_fixture.h"

#include <civetweb.h>

#include <chrono>
#include <stdexcept>
#include <thread>

VolumeRestFixture::VolumeRestFixture() {
    mg_init_library(0);
    const char *options[] = {"listening_ports", "127.0.0.1:0", "num_threads", "4", nullptr};
    mg_callbacks callbacks{};
    context_ = mg_start(&callbacks, this, options);
    if (!context_) throw std::runtime_error("volume REST fixture: civetweb did not start");
    mg_server_port ports[1]{};
    if (mg_get_server_ports(context_, 1, ports) < 1) throw std::runtime_error("volume REST fixture: no port");
    port_ = ports[0].port;
    mg_set_request_handler(context_, "/api/volume/percent", &VolumeRestFixture::handle, this);
}

VolumeRestFixture::~VolumeRestFixture() {
    mg_stop(context_);
    mg_exit_library();
}

void VolumeRestFixture::answer(int status, std::string body, int delay_ms) {
    std::lock_guard lock(mutex_);
    status_ = status;
    body_ = std::move(body);
    delay_ms_ = delay_ms;
}

std::string VolumeRestFixture::url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/api/volume/percent";
}

int VolumeRestFixture::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

int VolumeRestFixture::handle(struct mg_connection *connection, void *user) noexcept {
    auto *self = static_cast<VolumeRestFixture *>(user);
    int status, delay_ms;
    std::string body;
    {
        std::lock_guard lock(self->mutex_);
        ++self->requests_;
        status = self->status_;
        body = self->body_;
        delay_ms = self->delay_ms_;
    }
    if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
    mg_printf(connection,
              "HTTP/1.1 %d Answer\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n"
              "Connection: close\r\n\r\n",
              status, body.size());
    mg_write(connection, body.data(), body.size());
    return status;
}
