#include "app/unique_device_id.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture.h"

namespace {

int host_box(char *name, size_t length) {
    std::strncpy(name, "box", length);
    return 0;
}
int host_ten(char *name, size_t length) {
    std::strncpy(name, "host-01234", length);
    return 0;
}
int host_empty(char *name, size_t /*length*/) {
    name[0] = '\0';
    return 0;
}
int host_fails(char * /*name*/, size_t /*length*/) { return -1; }

class UniqueDeviceId : public ::testing::Test {
  protected:
    UniqueDeviceIdSources sources(HostNameSource host = host_box) const {
        UniqueDeviceIdSources s;
        s.machine_id_path = machine_id.c_str();
        s.dbus_machine_id_path = dbus_machine_id.c_str();
        s.host_name = host;
        return s;
    }

    TempDir dir;
    // Neither file exists unless a test writes it.
    std::string machine_id = dir.path() + "/machine-id";
    std::string dbus_machine_id = dir.path() + "/dbus-machine-id";
};

TEST_F(UniqueDeviceId, MachineIdFirstLineWithoutLineEnding) {
    dir.write("machine-id", "0123abcd\r\nsecond line\n");
    dir.write("dbus-machine-id", "ignored\n");
    EXPECT_EQ(unique_device_id_derive("Serial-1234", sources()), "0123abcd");
    dir.write("machine-id", "no-newline");
    EXPECT_EQ(unique_device_id_derive("Serial-1234", sources()), "no-newline");
}

TEST_F(UniqueDeviceId, EmptyOrMissingFirstFileFallsBackToSecond) {
    dir.write("dbus-machine-id", "dbus-id\n");
    EXPECT_EQ(unique_device_id_derive("S", sources()), "dbus-id");
    dir.write("machine-id", "\nlater line\n");
    EXPECT_EQ(unique_device_id_derive("S", sources()), "dbus-id");
    dir.write("machine-id", "");
    EXPECT_EQ(unique_device_id_derive("S", sources()), "dbus-id");
    dir.write("machine-id", "\r\n");
    EXPECT_EQ(unique_device_id_derive("S", sources()), "dbus-id");
}

TEST_F(UniqueDeviceId, LongMachineIdIsCutTo127) {
    dir.write("machine-id", std::string(300, 'a') + "\n");
    EXPECT_EQ(unique_device_id_derive("S", sources()), std::string(127, 'a'));
}

TEST_F(UniqueDeviceId, NoMachineIdGivesSerialAndHostName) {
    dir.write("machine-id", "\n");
    EXPECT_EQ(unique_device_id_derive("Serial-1234", sources()), "Serial-1234-box");
    // The host name is used as it is: hyphens stay.
    EXPECT_EQ(unique_device_id_derive("S", sources(host_ten)), "S-host-01234");
}

TEST_F(UniqueDeviceId, TooLongCombinationFallsBackToSerial) {
    // 116 + 1 + 10 = 127 characters still fit.
    std::string serial_116(116, 's');
    EXPECT_EQ(unique_device_id_derive(serial_116.c_str(), sources(host_ten)), serial_116 + "-host-01234");
    std::string serial_117(117, 's');
    EXPECT_EQ(unique_device_id_derive(serial_117.c_str(), sources(host_ten)), serial_117);
    std::string serial_200(200, 'q');
    EXPECT_EQ(unique_device_id_derive(serial_200.c_str(), sources(host_ten)), std::string(127, 'q'));
}

TEST_F(UniqueDeviceId, NoHostNameGivesSerialOrNothing) {
    EXPECT_EQ(unique_device_id_derive("Serial-1234", sources(host_fails)), "Serial-1234");
    EXPECT_EQ(unique_device_id_derive("Serial-1234", sources(host_empty)), "Serial-1234");
    EXPECT_EQ(unique_device_id_derive("", sources(host_empty)), "");
    EXPECT_EQ(unique_device_id_derive(nullptr, sources(host_fails)), "");
}

}  // namespace
