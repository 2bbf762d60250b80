// SPDX-License-Identifier: ISC
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace sim {

// Printable form of raw bytes for logs and control replies: printable ASCII
// stays, backslash becomes "\\", CR/LF/TAB become "\r" "\n" "\t", every
// other byte "\xHH".
std::string escape_bytes(std::string_view bytes);

// Inverse of escape_bytes, also used for answer texts typed by people:
// \r \n \t \\ \e (ESC) \z (Ctrl-Z) \0 and \xHH. Returns nothing on a
// malformed escape.
std::optional<std::string> unescape_text(std::string_view text);

} // namespace sim
