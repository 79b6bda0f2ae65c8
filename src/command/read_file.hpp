// The one read loop: every piece of a source, files and pipes alike, into the
// record parser.
#pragma once

#include <functional>
#include <string>

#include "command/byte_source.hpp"
#include "command/record_parser.hpp"

namespace marlinox::command {

// Parses every piece of `source` (the file `file`) and ends the parser;
// `after_piece` runs after each piece. Throws InputError for bad input; when
// the stream fails, every byte decoded before the failure has been parsed
// first and the error names the line of the damage.
void parse_source(const std::string& file, ByteSource& source, RecordParser& parser,
                  const std::function<void()>& after_piece);

}  // namespace marlinox::command
