// A local volume REST service for tests: civetweb on 127.0.0.1 (free port)
// answering GET /api/volume/percent with a chosen status, body and delay.
// Thread-safe: the answer can be changed while the server runs.
#pragma once

#include <mutex>
#include <string>

struct mg_context;

class VolumeRestFixture {
  public:
    VolumeRestFixture();
    ~VolumeRestFixture();
    VolumeRestFixture(const VolumeRestFixture &) = delete;
    VolumeRestFixture &operator=(const VolumeRestFixture &) = delete;

    void answer(int status, std::string body, int delay_ms = 0);
    int port() const { return port_; }
    std::string url() const;
    int requests() const;

  private:
    static int handle(struct mg_connection *connection, void *self) noexcept;

    mg_context *context_ = nullptr;
    int port_ = 0;
    mutable std::mutex mutex_;  // guards the fields below
    int status_ = 200;
    std::string body_ = "{\"volume\":50,\"isMuted\":false}";
    int delay_ms_ = 0;
    int requests_ = 0;
};
