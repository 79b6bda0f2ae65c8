// The --version list of what decodes each compression.
#include <bzlib.h>
#include <libdeflate.h>
#include <lzma.h>
#include <zstd.h>

#include "command/input/decoder.hpp"
#include "command/input/open_input.hpp"

namespace marlinox::command {

std::string decoder_libraries() {
    // libbz2 adds its release date after a comma.
    const std::string_view bzip2 = BZ2_bzlibVersion();
    return std::string("gzip by ") + gzip_inflater_name() + ", BGZF by libdeflate " LIBDEFLATE_VERSION_STRING +
           ", bzip2 " + std::string(bzip2.substr(0, bzip2.find(','))) + ", xz " + lzma_version_string() +
           ", zstd " + ZSTD_versionString();
}

}  // namespace marlinox::command
