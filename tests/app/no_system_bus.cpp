// The wired daemon starts an Avahi client when the SDK asks it to advertise.
// These tests must never reach a real avahi-daemon (it would announce the
// test renderer on the machine's network), so the system bus address points
// nowhere, for this process and the daemons it starts.
#include <gtest/gtest.h>

#include <cstdlib>

namespace {

class NoSystemBus : public ::testing::Environment {
  public:
    void SetUp() override { setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/zrv-test-no-bus", 1); }
};

const auto *const no_system_bus = ::testing::AddGlobalTestEnvironment(new NoSystemBus);

}  // namespace
