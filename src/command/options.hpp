// The command line, marlinox [options] [FILE ...], parsed and checked into the
// settings of a run: every option is read and validated here.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "command/rows/columns.hpp"

namespace marlinox::command {

struct Settings {
    std::vector<std::string> files;  // "-": standard input
    std::size_t batch_bytes = std::size_t{64} << 20;
    // Threads for analysis and decompression (-j); 0: every processor the
    // process may use; none: as the environment says.
    std::optional<std::size_t> threads;
    bool progress = true;  // drawn where progress_wanted() too
    // Columns, format, filters and the file column's names.
    Layout layout;
};

// The settings, or the exit status when the command line has been handled
// already (--help, --version, no FILE with a terminal for standard input, a
// usage error reported on standard error).
std::variant<Settings, int> parse_command_line(int argc, char** argv);

// A size such as 1000, 512K, 64M or 1G (binary multiples, case ignored);
// nothing for text that is not one, for 0, or for a size beyond what fits.
std::optional<std::size_t> parse_size(std::string_view text);

inline constexpr std::size_t kMaxThreadOption = 255;

// The count of -j: decimal digits only, 0 to kMaxThreadOption; else what is
// wrong with it.
std::variant<std::size_t, std::string> parse_thread_count(std::string_view text);

}  // namespace marlinox::command
