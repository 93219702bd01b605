// The daemon's command line: run with a configuration file, or one of the
// options that print something and exit without starting anything (help,
// version, a configuration check). Main thread only, before logging starts.
#pragma once

#include <cstdio>
#include <string>

struct AppConfig;

enum class CommandAction {
    run,           // start the renderer on `path`
    help,          // print the usage with the options, exit 0
    version,       // print the daemon's and the SDK's version, exit 0
    check_config,  // load and validate `path`, print the effective settings, exit 0 or 1
    usage_error,   // print `error`, then the usage, exit 1
};

struct CommandLine {
    CommandAction action = CommandAction::usage_error;
    std::string path;   // run and check_config
    std::string error;  // usage_error: the line to print before the usage
};

// One argument that is not an option is the configuration file, as ever;
// "--" ends the options, so a file whose name starts with '-' can be named.
// --help and --version win over everything but an unknown option.
CommandLine command_line_parse(int argc, const char *const *argv);

// The usage text followed by the options, on stdout.
void command_line_print_help(const char *program);

// "zorva-renderer <version>" and the SDK's version, saying when it is the
// stand-in, on stdout.
void command_line_print_version();

// Loads `path` as start-up does (the loader's messages and warnings go to
// stderr), and prints the effective settings with every secret masked on
// stdout. Returns the exit status: 0 when the file would start the daemon,
// 1 when not. Creates nothing: no SDK, no server, no bus connection.
int command_line_check_config(const char *path);

// The effective settings, one "    Name: value" line each, with the
// application secret, bus passwords and tokens and the credentials inside
// URLs masked.
void config_print_effective(const AppConfig &config, const std::string &unique_device_id, std::FILE *out);

// "(hidden)" for a set secret, "(empty)" for an empty one.
const char *masked_secret(const std::string &secret);

// The URL with the user information before '@' in its authority replaced
// by "****"; other URLs unchanged.
std::string mask_url_credentials(const std::string &url);
