// The table could not be written: exit status 1.
#pragma once

#include <cstring>
#include <stdexcept>
#include <string>

namespace marlinox::command {

class OutputError : public std::runtime_error {
public:
    explicit OutputError(int error)
        : std::runtime_error(std::string("cannot write the table: ") + std::strerror(error)) {}
};

}  // namespace marlinox::command
