#ifndef MARLINOX_HAVE_ISAL

#include <algorithm>
#include <limits>
#include <new>

#include <zlib.h>

#include "command/input/decoder.hpp"
#include "command/input/member_inflater.hpp"

namespace marlinox::command {
namespace {

constexpr std::size_t kLargestCall = std::numeric_limits<uInt>::max();

}  // namespace

struct MemberInflater::State {
    z_stream zlib{};
    ~State() { inflateEnd(&zlib); }
};

MemberInflater::MemberInflater() : state_(std::make_unique<State>()) {
    // 16: a gzip wrapper, whose trailer (CRC and length) zlib checks.
    if (inflateInit2(&state_->zlib, 16 + MAX_WBITS) != Z_OK) throw std::bad_alloc();
}
MemberInflater::~MemberInflater() = default;

void MemberInflater::start() { inflateReset(&state_->zlib); }

MemberInflater::Step MemberInflater::inflate(const unsigned char* input, std::size_t input_size, char* output,
                                             std::size_t output_size) {
    z_stream& zlib = state_->zlib;
    const auto in = static_cast<uInt>(std::min(input_size, kLargestCall));
    const auto out = static_cast<uInt>(std::min(output_size, kLargestCall));
    zlib.next_in = const_cast<Bytef*>(input);
    zlib.avail_in = in;
    zlib.next_out = reinterpret_cast<Bytef*>(output);
    zlib.avail_out = out;
    const int status = ::inflate(&zlib, Z_NO_FLUSH);
    Step step{in - zlib.avail_in, out - zlib.avail_out, status == Z_STREAM_END, nullptr};
    if (status == Z_DATA_ERROR) step.failure = "corrupt gzip data";
    else if (status == Z_MEM_ERROR) throw std::bad_alloc();
    else if (status != Z_OK && status != Z_BUF_ERROR && status != Z_STREAM_END) step.failure = "corrupt gzip data";
    return step;
}

const char* gzip_inflater_name() { return "zlib"; }

}  // namespace marlinox::command

#endif
