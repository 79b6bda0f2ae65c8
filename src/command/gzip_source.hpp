// Plain (non-BGZF) gzip inflated with ISA-L's igzip, where the build has it.
#pragma once

#include <memory>

#include "command/byte_source.hpp"
#include "command/hts_handles.hpp"

namespace marlinox::command {

// A source that inflates every gzip member of `file`, taking it over; null
// (and `file` untouched) when the build has no such inflater.
std::unique_ptr<ByteSource> open_fast_gzip_source(HfilePtr& file);

}  // namespace marlinox::command
