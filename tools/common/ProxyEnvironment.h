// Which HTTP proxy a tool uses for a URL: the one given on its command line, else the one the
// environment names, as command-line HTTP clients have long read it.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace varen::tools {

// Looks up an environment variable; none when unset. The tools pass the process environment;
// tests pass their own.
using EnvironmentGetter = std::function<std::optional<std::string>(const std::string& name)>;

struct ProxyChoice {
    std::string url;     // "http://" is put in front of a value without a scheme
    std::string source;  // "--proxy" or the variable it came from, for error messages
};

// The proxy for a connection to `host` with `scheme` (ws, wss, http, https):
// - `explicitProxy` when given; an empty one means no proxy;
// - else for wss/https `https_proxy`, then `HTTPS_PROXY`; for ws/http `http_proxy` only (the
//   capitalised form is left alone, as a CGI host may set it from a request header);
// - none when `no_proxy` (or else `NO_PROXY`) covers the host: a comma-separated list whose
//   entries are "*" (every host), a domain (it and its subdomains; a leading dot changes
//   nothing) or an IP address (that address only). Empty variables count as unset.
std::optional<ProxyChoice> chooseProxy(const std::optional<std::string>& explicitProxy,
                                       const std::string& scheme, const std::string& host,
                                       const EnvironmentGetter& environment);

// The process's own environment.
std::optional<std::string> processEnvironment(const std::string& name);

}  // namespace varen::tools
