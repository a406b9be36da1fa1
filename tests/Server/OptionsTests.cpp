#include "Options.h"

#include <gtest/gtest.h>

namespace varen::server {
namespace {

TEST(CommandLine, ReadsEveryOption) {
    auto parsed = parseCommandLine({"--listen", "[::1]:0", "--api-key", "a", "--api-key", "b",
                                    "--max-sessions", "3", "--models", "/m", "--workers", "2",
                                    "--tls-cert", "c.pem", "--tls-key", "k.pem", "--max-memory",
                                    "3G", "--idle-timeout", "2.5"});
    ASSERT_FALSE(parsed.error) << *parsed.error;
    EXPECT_EQ(parsed.options.host, "::1");
    EXPECT_EQ(parsed.options.port, 0);
    EXPECT_EQ(parsed.options.apiKeys, (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(parsed.options.maxSessions, 3);
    EXPECT_EQ(parsed.options.models, "/m");
    EXPECT_EQ(parsed.options.workers, 2);
    EXPECT_EQ(parsed.options.tlsKey, "k.pem");
    EXPECT_EQ(parsed.options.maxMemory, 3ull << 30);
    EXPECT_DOUBLE_EQ(parsed.options.idleTimeout, 2.5);
    EXPECT_NE(usageText().find("--max-memory BYTES"), std::string::npos);

    auto defaults = parseCommandLine({});
    EXPECT_EQ(defaults.options.host, "127.0.0.1");
    EXPECT_EQ(defaults.options.port, 8390);
    EXPECT_EQ(defaults.options.maxMemory, 0u);  // half the machine's
    EXPECT_DOUBLE_EQ(defaults.options.idleTimeout, 10.0);
    EXPECT_TRUE(defaults.options.apiKeys.empty());
}

TEST(CommandLine, ReportsUsageErrors) {
    auto errorOf = [](std::vector<std::string> args) {
        auto parsed = parseCommandLine(args);
        return parsed.error.value_or("(none)");
    };
    EXPECT_EQ(errorOf({"--listen", "8390"}), "--listen needs HOST:PORT");
    EXPECT_EQ(errorOf({"--listen", "127.0.0.1:70000"}), "--listen needs HOST:PORT");
    EXPECT_EQ(errorOf({"--max-sessions", "0"}), "--max-sessions needs a positive integer");
    EXPECT_EQ(errorOf({"--max-sessions"}), "--max-sessions needs a positive integer");
    EXPECT_EQ(errorOf({"--tls-cert", "c.pem"}), "--tls-cert and --tls-key go together");
    EXPECT_EQ(errorOf({"--verbose"}), "unknown option --verbose");
    EXPECT_EQ(errorOf({"--max-memory", "12T"}),
              "--max-memory needs a number of bytes (K, M or G may follow)");
    EXPECT_EQ(errorOf({"--idle-timeout", "0"}), "--idle-timeout needs 0.1 to 86400 seconds");
}

TEST(CommandLine, TakesAnyValueAndReportsTheFirstErrorOverHelp) {
    auto parsed = parseCommandLine({"--api-key", "--help", "--api-key", "-k", "--api-key=c"});
    ASSERT_FALSE(parsed.error) << *parsed.error;
    EXPECT_FALSE(parsed.help);
    EXPECT_EQ(parsed.options.apiKeys, (std::set<std::string>{"--help", "-k", "c"}));

    auto errorOf = [](std::vector<std::string> args) {
        return parseCommandLine(args).error.value_or("(none)");
    };
    EXPECT_EQ(errorOf({"--bogus", "--max-sessions", "0"}), "unknown option --bogus");
    EXPECT_EQ(errorOf({"--max-sessions", "0", "--bogus"}),
              "--max-sessions needs a positive integer");
    EXPECT_EQ(errorOf({"--workers", "2", "--idle-timeout"}),
              "--idle-timeout needs 0.1 to 86400 seconds");
    EXPECT_EQ(errorOf({"positional"}), "unknown option positional");

    auto help = parseCommandLine({"--help", "--bogus"});
    EXPECT_TRUE(help.help);
    EXPECT_EQ(help.error, "unknown option --bogus");
}

}  // namespace
}  // namespace varen::server
