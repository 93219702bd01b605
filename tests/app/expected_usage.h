// The usage text the daemon must print, written out in full so that a change
// to it shows in the tests.
#pragma once

#include <string>

inline std::string expected_usage(const std::string &program) {
    return "\n"
           "Usage: " +
           program +
           " <config_file>\n"
           "       <config_file>:  Path to JSON configuration file\n"
           "\n"
           "Configuration file example:\n"
           "{\n"
           "  \"appId\": \"your-app-id\",\n"
           "  \"appSecret\": \"your-app-secret-hex\",\n"
           "  \"deviceName\": \"Sample device\",\n"
           "  \"manufacturer\": \"Sample manufacturer\",\n"
           "  \"model\": \"Sample model\",\n"
           "  \"serialNumber\": \"Serial-1234\",\n"
           "  \"outputDevice\": \"plug:default\",\n"
           "  \"volumeDevice\": \"default\",\n"
           "  \"volumeElement\": \"Master\",\n"
           "  \"port\": 8000,\n"
           "  \"maxAudioQuality\": \"HIRES3\"\n"
           "}\n";
}
