#include "ProxyEnvironment.h"

#include <gtest/gtest.h>

#include <map>

namespace varen::tools {
namespace {

using Environment = std::map<std::string, std::string>;

// The proxy chosen for scheme://host under `environment`, or "direct".
std::string chosen(const Environment& environment, const std::string& scheme,
                   const std::string& host, std::optional<std::string> explicitProxy = {}) {
    const auto choice = chooseProxy(explicitProxy, scheme, host,
                                    [&](const std::string& name) -> std::optional<std::string> {
                                        const auto found = environment.find(name);
                                        if (found == environment.end()) return std::nullopt;
                                        return found->second;
                                    });
    return choice ? choice->url + " from " + choice->source : "direct";
}

TEST(ProxyEnvironment, TheVariableFollowsTheScheme) {
    const Environment both = {{"http_proxy", "http://plain:1"}, {"https_proxy", "secure:2"}};
    EXPECT_EQ(chosen(both, "ws", "h"), "http://plain:1 from http_proxy");
    EXPECT_EQ(chosen(both, "WSS", "h"), "http://secure:2 from https_proxy");
    EXPECT_EQ(chosen({{"HTTPS_PROXY", "http://s:3"}}, "wss", "h"), "http://s:3 from HTTPS_PROXY");
    EXPECT_EQ(chosen({{"HTTPS_PROXY", "http://s:3"}, {"https_proxy", "http://l:4"}}, "https", "h"),
              "http://l:4 from https_proxy");
    EXPECT_EQ(chosen({{"HTTP_PROXY", "http://p:1"}}, "ws", "h"), "direct");
    EXPECT_EQ(chosen({{"http_proxy", ""}}, "ws", "h"), "direct");
    EXPECT_EQ(chosen({{"http_proxy", "http://plain:1"}}, "wss", "h"), "direct");
}

TEST(ProxyEnvironment, AnExplicitProxyWinsAndEmptyMeansDirect) {
    const Environment environment = {{"http_proxy", "http://env:1"}};
    EXPECT_EQ(chosen(environment, "ws", "h", "http://cli:2"), "http://cli:2 from --proxy");
    EXPECT_EQ(chosen(environment, "ws", "h", ""), "direct");
}

TEST(ProxyEnvironment, NoProxyCoversHostsDomainsAndAddresses) {
    const auto through = [](const std::string& noProxy, const std::string& host) {
        return chosen({{"http_proxy", "http://p:1"}, {"no_proxy", noProxy}}, "ws", host) !=
               "direct";
    };
    EXPECT_FALSE(through("*", "anything.example"));
    EXPECT_FALSE(through("other, example.com", "example.com"));
    EXPECT_FALSE(through("example.com", "api.EXAMPLE.com"));
    EXPECT_FALSE(through(".example.com", "example.com"));
    EXPECT_FALSE(through(".example.com", "a.b.example.com"));
    EXPECT_TRUE(through("example.com", "badexample.com"));
    EXPECT_TRUE(through("api.example.com", "example.com"));
    EXPECT_FALSE(through("127.0.0.1", "127.0.0.1"));
    EXPECT_TRUE(through("127.0.0.1", "127.0.0.10"));
    EXPECT_TRUE(through("0.0.1", "127.0.0.1"));
    EXPECT_FALSE(through("[::1]", "::1"));
    EXPECT_FALSE(through("localhost", "localhost"));
    EXPECT_TRUE(through("", "localhost"));
    // The capitalised list counts too, and even an explicit proxy yields to it.
    EXPECT_EQ(chosen({{"NO_PROXY", "h"}}, "ws", "h", "http://cli:2"), "direct");
}

}  // namespace
}  // namespace varen::tools
