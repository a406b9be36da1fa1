// Command line of varen-stt-server.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace varen::server {

struct ServerOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 8390;  // 0: an ephemeral port, printed once bound
    std::optional<std::filesystem::path> tlsCert;
    std::optional<std::filesystem::path> tlsKey;
    std::set<std::string> apiKeys;  // empty: every key is accepted
    int maxSessions = 64;
    std::filesystem::path models;  // empty: the default folder
    int workers = 0;               // decoding threads; 0: one per core
    std::uint64_t maxMemory = 0;   // bytes beyond which new sessions are busy; 0: half the machine's
    double idleTimeout = 10.0;     // seconds of client silence before a session ends
};

struct ParsedCommandLine {
    ServerOptions options;
    bool help = false;
    bool version = false;
    std::optional<std::string> error;  // a usage error, to print before the usage text
};

ParsedCommandLine parseCommandLine(const std::vector<std::string>& args);
std::string usageText();

}  // namespace varen::server
