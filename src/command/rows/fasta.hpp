// Runs and ORFs as FASTA, of their bases or of their protein: a header line,
// then the bytes on one line, written from the record in place (a long run
// is never copied on its way out).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "command/rows/orf_values.hpp"
#include "command/rows/record_values.hpp"

namespace marlinox::command {

// ">{identifier} {strand}:{start}-{end} run={L} evalue={evalue}", then the
// run's bytes on one line as its strand reads them: forward as they stand,
// reverse reversed with A<->T and C<->G complemented in their own case.
void append_run_fasta(std::string& out, std::string_view identifier, std::string_view sequence,
                      const RecordValues& values);

// The same header, then the run's codons translated after upper-casing by
// `amino_acids` (a genetic code's, in codon_index order); a codon with a byte
// other than A, C, G or T gives X.
void append_run_protein(std::string& out, std::string_view identifier, std::string_view sequence,
                        const RecordValues& values, std::string_view amino_acids);

// ">{identifier}_{orf} {strand}:{start}-{end} codons={L} partial={XY}
// evalue={E}", then the ORF's bytes as a run's are written.
void append_orf_fasta(std::string& out, const OrfValues& orf);

// The same header, then the ORF translated as a run is, except that the first
// codon of a start-stop ORF gives M whatever start codon it is; the amino
// acids are the record's code's.
void append_orf_protein(std::string& out, const OrfValues& orf);

// The longest record either writes for an identifier and a sequence of these
// lengths: the run is at most the whole sequence, its protein a third of it.
std::size_t run_fasta_bound(std::size_t identifier_length, std::size_t sequence_length) noexcept;
std::size_t run_protein_bound(std::size_t identifier_length, std::size_t sequence_length) noexcept;

}  // namespace marlinox::command
