// Inflates one gzip member at a time, header and trailer (CRC and length)
// checked: with ISA-L's igzip where the build has it, else with zlib.
#pragma once

#include <cstddef>
#include <memory>

namespace marlinox::command {

class MemberInflater {
public:
    MemberInflater();
    ~MemberInflater();
    MemberInflater(const MemberInflater&) = delete;
    MemberInflater& operator=(const MemberInflater&) = delete;

    // A new member starts with the next input.
    void start();

    struct Step {
        std::size_t consumed = 0;
        std::size_t produced = 0;
        bool member_end = false;
        const char* failure = nullptr;  // corrupt data; `produced` bytes before it are good
    };
    // Inflates from `input` into `output` until either runs out or the member ends.
    Step inflate(const unsigned char* input, std::size_t input_size, char* output, std::size_t output_size);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace marlinox::command
