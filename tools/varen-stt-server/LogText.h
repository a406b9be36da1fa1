// Text written into the server's log.
#pragma once

#include <string>
#include <string_view>

namespace varen::server {

// The text with every control character (C0, DEL and, UTF-8 encoded, C1) written as an escape
// ("\n", "\x1b", "\u0085"), so that a value taken from a client can neither end a log line nor
// steer a terminal. Values quoted with std::quoted stay unambiguous: their backslashes are
// doubled, an escape made here is not.
std::string escapeControlCharacters(std::string_view text);

}  // namespace varen::server
