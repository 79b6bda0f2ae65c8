// The command line: marlinox [options] [FILE ...]
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "command/columns.hpp"

namespace marlinox::command {

struct Options {
    std::vector<std::string> files;
    std::size_t batch_bytes = std::size_t{64} << 20;
    std::optional<std::size_t> threads;  // 0: every processor the process may use
    bool no_progress = false;
    // Columns, format and filters; its file names are left to the caller.
    Layout layout;
};

// Parsed options, or the exit status when the command line has been handled
// already (--help, --version, a usage error reported on standard error).
std::variant<Options, int> parse_command_line(int argc, char** argv);

// A size such as 1000, 512K, 64M or 1G (binary multiples, case ignored);
// nothing for text that is not one, for 0, or for a size beyond what fits.
std::optional<std::size_t> parse_size(std::string_view text);

inline constexpr std::size_t kMaxThreadOption = 255;

// The count of -j: decimal digits only, 0 to kMaxThreadOption; else what is
// wrong with it.
std::variant<std::size_t, std::string> parse_thread_count(std::string_view text);

// The text --help prints (also shown when no FILE is given and standard
// input is a terminal).
std::string usage_text();

}  // namespace marlinox::command
