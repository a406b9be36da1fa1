#include "ProxyEnvironment.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace varen::tools {

namespace {

std::string lowercase(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string withoutBrackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

bool isIPAddress(const std::string& host) {
    return host.find(':') != std::string::npos || std::all_of(host.begin(), host.end(), [](char c) {
               return c == '.' || std::isdigit(static_cast<unsigned char>(c));
           });
}

bool entryCovers(std::string entry, const std::string& host) {
    if (entry == "*") return true;
    entry = lowercase(withoutBrackets(entry));
    if (isIPAddress(host)) return entry == host;
    if (!entry.empty() && entry.front() == '.') entry.erase(0, 1);
    if (entry.empty()) return false;
    if (host == entry) return true;
    // A subdomain: the host ends in "." followed by the entry.
    return host.size() > entry.size() &&
           host.compare(host.size() - entry.size(), entry.size(), entry) == 0 &&
           host[host.size() - entry.size() - 1] == '.';
}

bool noProxyCovers(const std::string& list, const std::string& host) {
    std::istringstream entries(list);
    std::string entry;
    while (std::getline(entries, entry, ',')) {
        if (entryCovers(trimmed(entry), host)) return true;
    }
    return false;
}

std::optional<std::string> nonEmpty(const EnvironmentGetter& environment, const std::string& name) {
    auto value = environment(name);
    if (value && value->empty()) return std::nullopt;
    return value;
}

std::string withScheme(const std::string& proxy) {
    return proxy.find("://") == std::string::npos ? "http://" + proxy : proxy;
}

}  // namespace

std::optional<ProxyChoice> chooseProxy(const std::optional<std::string>& explicitProxy,
                                       const std::string& scheme, const std::string& host,
                                       const EnvironmentGetter& environment) {
    std::optional<ProxyChoice> choice;
    if (explicitProxy) {
        if (explicitProxy->empty()) return std::nullopt;
        choice = ProxyChoice{withScheme(*explicitProxy), "--proxy"};
    } else {
        const std::string s = lowercase(scheme);
        const bool secure = s == "wss" || s == "https";
        static const std::vector<std::string> kSecure{"https_proxy", "HTTPS_PROXY"};
        static const std::vector<std::string> kPlain{"http_proxy"};
        for (const auto& name : secure ? kSecure : kPlain) {
            if (auto value = nonEmpty(environment, name)) {
                choice = ProxyChoice{withScheme(*value), name};
                break;
            }
        }
    }
    if (!choice) return std::nullopt;
    auto noProxy = nonEmpty(environment, "no_proxy");
    if (!noProxy) noProxy = nonEmpty(environment, "NO_PROXY");
    if (noProxy && noProxyCovers(*noProxy, lowercase(withoutBrackets(host)))) return std::nullopt;
    return choice;
}

std::optional<std::string> processEnvironment(const std::string& name) {
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) return std::nullopt;
    return std::string(value);
}

}  // namespace varen::tools
