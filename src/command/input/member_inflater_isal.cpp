#ifdef MARLINOX_HAVE_ISAL

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>

#include <isa-l/igzip_lib.h>

#include "command/input/decoder.hpp"
#include "command/input/member_inflater.hpp"

namespace marlinox::command {
namespace {

const char* inflate_error(int status) {
    switch (status) {
        case ISAL_INVALID_WRAPPER: return "corrupt gzip data: bad member header";
        case ISAL_UNSUPPORTED_METHOD: return "corrupt gzip data: unknown compression method";
        case ISAL_INCORRECT_CHECKSUM: return "corrupt gzip data: checksum mismatch";
        default: return "corrupt gzip data";
    }
}

constexpr std::size_t kLargestCall = std::numeric_limits<std::uint32_t>::max();

}  // namespace

struct MemberInflater::State {
    inflate_state isal{};
};

MemberInflater::MemberInflater() : state_(std::make_unique<State>()) {}
MemberInflater::~MemberInflater() = default;

void MemberInflater::start() {
    isal_inflate_init(&state_->isal);
    state_->isal.crc_flag = ISAL_GZIP;
}

MemberInflater::Step MemberInflater::inflate(const unsigned char* input, std::size_t input_size, char* output,
                                             std::size_t output_size) {
    inflate_state& isal = state_->isal;
    const auto in = static_cast<std::uint32_t>(std::min(input_size, kLargestCall));
    const auto out = static_cast<std::uint32_t>(std::min(output_size, kLargestCall));
    isal.next_in = const_cast<std::uint8_t*>(input);
    isal.avail_in = in;
    isal.next_out = reinterpret_cast<std::uint8_t*>(output);
    isal.avail_out = out;
    const int status = isal_inflate(&isal);
    Step step{in - isal.avail_in, out - isal.avail_out, isal.block_state == ISAL_BLOCK_FINISH, nullptr};
    if (status < 0 || status == ISAL_NEED_DICT) step.failure = inflate_error(status);
    return step;
}

const char* gzip_inflater_name() { return "ISA-L igzip"; }

}  // namespace marlinox::command

#endif
