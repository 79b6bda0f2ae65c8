// Plain (non-BGZF) gzip, every member: inflated with ISA-L's igzip where the
// build has it, else with zlib.
#pragma once

#include <memory>

#include "command/byte_source.hpp"
#include "command/hts_handles.hpp"

namespace marlinox::command {

// A source that inflates every gzip member of `file`, taking it over.
std::unique_ptr<ByteSource> open_gzip_source(HfilePtr& file);

}  // namespace marlinox::command
