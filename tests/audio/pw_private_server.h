// A PipeWire server of a test's own, beside the "pipewire" fixture's, for
// tests that stop, kill or restart the server under a client.
#pragma once

#include <signal.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "pw_capture.h"

// A PipeWire server of the test's own (scripts/services/pipewire.sh in a
// temporary directory) that the test may stop and start; the clients this
// process connects while it exists use it.
class PrivateServer {
  public:
    PrivateServer() {
        char dir[] = "/tmp/zrv-sink-server.XXXXXX";
        if (mkdtemp(dir)) dir_ = dir;
        if (const char *runtime = getenv("XDG_RUNTIME_DIR")) fixture_runtime_ = runtime;
        setenv("XDG_RUNTIME_DIR", (dir_ + "/run").c_str(), 1);
    }
    ~PrivateServer() {
        run("stop");
        setenv("XDG_RUNTIME_DIR", fixture_runtime_.c_str(), 1);
        pw_test_run("rm -rf " + dir_);
    }
    PrivateServer(const PrivateServer &) = delete;
    PrivateServer &operator=(const PrivateServer &) = delete;

    bool run(const std::string &action) {
        return !dir_.empty() && std::system((std::string(ZRV_SOURCE_DIR) + "/scripts/services/pipewire.sh " + action +
                                             " " + dir_ + " >/dev/null")
                                                .c_str()) == 0;
    }
    // Where its server makes its socket.
    std::string runtime_dir() const { return dir_ + "/run"; }
    // Sends SIGTERM to its "pipewire" or its "wireplumber".
    bool terminate(const std::string &process) {
        std::ifstream file(dir_ + "/" + process + ".pid");
        pid_t pid = 0;
        return file >> pid && pid > 0 && kill(pid, SIGTERM) == 0;
    }

  private:
    std::string dir_;
    std::string fixture_runtime_;
};
