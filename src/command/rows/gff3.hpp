// Runs and ORFs as GFF3 features, type ORF, source marlinox: one line per
// feature after the version line (columns.hpp's header_row).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "command/rows/orf_values.hpp"
#include "command/rows/record_values.hpp"

namespace marlinox::command {

// The record's longest run as its one feature, ID {identifier}_1; for a
// record with a run of at least one codon.
void append_run_gff3(std::string& out, std::string_view identifier, const RecordValues& values);

// The longest line append_run_gff3 writes for an identifier of this length.
std::size_t run_gff3_bound(std::size_t identifier_length) noexcept;

// seqid (the identifier, '.' when empty), source, type, 1-based inclusive
// start and end, score (the evalue), strand, phase 0, then the attributes
// ID={identifier}_{orf};codons=L;partial=XY;evalue=E, and ;start_codon=XXX in
// start-stop. The seqid and the attribute values are percent-encoded.
void append_orf_gff3(std::string& out, const OrfValues& orf);

}  // namespace marlinox::command
