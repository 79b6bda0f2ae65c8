// Text from outside (file names, option values, library messages) made fit
// for one line of standard error or one field of the table.
#pragma once

#include <string>
#include <string_view>

namespace marlinox::command {

// `text` with LF, TAB, CR and backslash as \n, \t, \r and \\, every other
// byte below 0x20 and 0x7F as \xHH; the rest unchanged.
std::string escaped_for_message(std::string_view text);

}  // namespace marlinox::command
