#include "command/input/signatures.hpp"

#include <array>

namespace marlinox::command {
namespace {

// The byte of a signature at `at` may be anything in [low, high].
struct Varying {
    std::size_t at = std::string_view::npos;
    unsigned char low = 0;
    unsigned char high = 0;
};

struct Signature {
    std::string_view magic;
    Varying varying;
    Encoding encoding;
    std::string_view refusal;  // empty: not refused

    bool matches(std::string_view start) const noexcept {
        if (start.size() < magic.size()) return false;
        for (std::size_t k = 0; k < magic.size(); ++k) {
            const auto byte = static_cast<unsigned char>(start[k]);
            if (k == varying.at ? (byte < varying.low || byte > varying.high) : start[k] != magic[k]) return false;
        }
        return true;
    }
};

constexpr Signature stream(std::string_view magic, Encoding encoding, Varying varying = {}) {
    return {magic, varying, encoding, {}};
}
constexpr Signature refused(std::string_view magic, std::string_view message) {
    return {magic, {}, Encoding::plain, message};
}

using namespace std::string_view_literals;

constexpr std::array kSignatures = {
    stream("\x1f\x8b"sv, Encoding::gzip),
    // The digit is the block size.
    stream("BZh?"sv, Encoding::bzip2, {3, '1', '9'}),
    stream("\xfd" "7zXZ\x00"sv, Encoding::xz),
    stream("\x28\xb5\x2f\xfd"sv, Encoding::zstd),
    // Skippable frames, 0x184D2A50 to 0x184D2A5F little-endian: zstd passes over them.
    stream("?\x2a\x4d\x18"sv, Encoding::zstd, {0, 0x50, 0x5f}),
    refused("CRAM"sv, "CRAM input is not supported (FASTA or FASTQ expected)"),
    refused("BAM\x01"sv, "BAM input is not supported (FASTA or FASTQ expected)"),
    refused("BCF\x02"sv, "BCF input is not supported (FASTA or FASTQ expected)"),
};
static_assert([] {
    for (const Signature& signature : kSignatures)
        if (signature.magic.size() > kSignatureLength) return false;
    return true;
}());

}  // namespace

Recognised recognise(std::string_view start) noexcept {
    for (const Signature& signature : kSignatures)
        if (signature.matches(start)) {
            if (signature.refusal.empty()) return {signature.encoding, std::nullopt};
            return {signature.encoding, signature.refusal};
        }
    return {};
}

}  // namespace marlinox::command
