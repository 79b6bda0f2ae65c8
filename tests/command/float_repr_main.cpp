// For the test suite: each input line holds the 16 hex digits of a double's
// bits; each output line is that double as the command writes it.
#include <bit>
#include <cstdint>
#include <cstdio>
#include <string>

#include "command/rows/float_repr.hpp"

int main() {
    char line[64];
    std::string out;
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
        const std::uint64_t bits = std::stoull(line, nullptr, 16);
        marlinox::command::append_float_repr(out, std::bit_cast<double>(bits));
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return std::ferror(stdout) ? 1 : 0;
}
