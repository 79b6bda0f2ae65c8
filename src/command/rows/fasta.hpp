// The longest run of a record as FASTA, of its bases or of its protein: one
// record per record with a run of at least one codon.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "command/rows/record_values.hpp"

namespace marlinox::command {

// ">{identifier} {strand}:{start}-{end} run={L} evalue={evalue}", then the
// run's bytes on one line as its strand reads them: forward as they stand,
// reverse reversed with A<->T and C<->G complemented in their own case.
void append_run_fasta(std::string& out, std::string_view identifier, std::string_view sequence,
                      const RecordValues& values);

// The same header, then the run's codons translated with the standard genetic
// code (NCBI table 1) after upper-casing; a codon with a byte other than A, C,
// G or T gives X.
void append_run_protein(std::string& out, std::string_view identifier, std::string_view sequence,
                        const RecordValues& values);

// The longest record either writes for an identifier and a sequence of these
// lengths: the run is at most the whole sequence, its protein a third of it.
std::size_t run_fasta_bound(std::size_t identifier_length, std::size_t sequence_length) noexcept;
std::size_t run_protein_bound(std::size_t identifier_length, std::size_t sequence_length) noexcept;

}  // namespace marlinox::command
