// The command lines of varen-ws and varen-stt as TOOLS.md documents them: a usage error is
// "TOOL: MESSAGE" and the usage text on stderr with status 2, the first problem on the line is
// the one reported, and an option's value is taken whatever it looks like.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Support/TestSupport.h"

using namespace std::chrono_literals;
using varen::test::ChildProcess;

namespace {

struct Expected {
    std::vector<std::string> arguments;
    std::string message;
};

void expectUsageErrors(const std::string& tool, const std::string& name,
                       const std::vector<Expected>& cases) {
    for (const auto& c : cases) {
        std::vector<std::string> argv{tool};
        argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
        ChildProcess process(argv);
        EXPECT_EQ(process.wait(10s), 2) << c.message;
        EXPECT_EQ(process.standardError().rfind(name + ": " + c.message + "\nusage: " + name, 0),
                  0u)
            << process.standardError();
        EXPECT_EQ(process.standardOutput(), "") << c.message;
    }
}

void expectHelp(const std::string& tool, const std::string& name, const std::string& listed) {
    for (const std::string flag : {"--help", "-h"}) {
        ChildProcess help({tool, flag});
        EXPECT_EQ(help.wait(10s), 0);
        EXPECT_EQ(help.standardOutput().rfind("usage: " + name, 0), 0u) << help.standardOutput();
        EXPECT_NE(help.standardOutput().find(listed), std::string::npos);
        EXPECT_EQ(help.standardError(), "");
    }
}

}  // namespace

TEST(ToolCommandLine, VarenWsUsageErrorsAndHelp) {
    expectUsageErrors(VAREN_WS_PATH, "varen-ws",
                      {{{"--timeout"}, "--timeout needs seconds"},
                       {{"ws://x/", "--max-message"}, "--max-message needs bytes"},
                       {{"ws://x/", "--bogus"}, "unknown option --bogus"},
                       {{"ws://a/", "ws://b/"}, "only one URL"},
                       {{"--bogus", "--help"}, "unknown option --bogus"},
                       {{"--timeout", "soon", "--bogus"}, "--timeout wants a number of seconds"},
                       {{"--protocol", "--help"}, "a URL is needed"}});
    expectHelp(VAREN_WS_PATH, "varen-ws", "--max-message BYTES");
}

TEST(ToolCommandLine, VarenSttUsageErrorsAndHelp) {
    expectUsageErrors(
        VAREN_STT_TOOL, "varen-stt",
        {{{"--url"}, "--url needs a value"},
         {{"--final-timeout", "1", "--final-timeout"}, "--final-timeout needs a value"},
         {{"--no-such-option", "--help"}, "unknown option --no-such-option"},
         {{"--max-results", "x", "--bogus"}, "--max-results needs a number, not 'x'"},
         {{"--key", "--help", "--fast"}, "--fast goes with --input"},
         {{"--mic", "--input", "a.wav"}, "--mic and --input exclude each other"}});
    expectHelp(VAREN_STT_TOOL, "varen-stt", "--final-timeout SECONDS");
}
