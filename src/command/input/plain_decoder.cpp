// Input that no signature matched: its bytes as they stand.

#include "command/input/decoder.hpp"

namespace marlinox::command {
namespace {

class PlainDecoder final : public Decoder {
public:
    explicit PlainDecoder(std::unique_ptr<FileInput> input) : input_(std::move(input)) {}
    std::size_t read(char* buffer, std::size_t size) override { return input_->read_into(buffer, size); }
    std::uint64_t file_position() const override { return input_->position(); }
    bool plain() const noexcept override { return true; }

private:
    std::unique_ptr<FileInput> input_;
};

}  // namespace

std::unique_ptr<Decoder> make_plain_decoder(std::unique_ptr<FileInput> input) {
    return std::make_unique<PlainDecoder>(std::move(input));
}

}  // namespace marlinox::command
