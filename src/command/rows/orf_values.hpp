// One ORF's values as the ORF mode writes them, from the ORF the scan found
// and the record it lies in. The statistics are the record mode's formulas
// with the ORF's codons for the run and the record's length and GC fraction.
#pragma once

#include <cstddef>
#include <string_view>

#include "analysis/orf_scan.hpp"
#include "analysis/run_statistics.hpp"

namespace marlinox::command {

// What every ORF of a record shares.
struct OrfRecord {
    std::string_view identifier;
    std::string_view file;  // as the file column writes it
    std::string_view sequence;
    double no_stop = 1.0;  // q at the record's GC fraction
    bool from_start = false;
    bool include_stop = false;
    // Of the genetic code, in codon_index order.
    std::string_view amino_acids;
};

// q at the GC fraction of a whole record of `length` bytes with `gc_bytes`
// G or C for the stop codons `stops`, as the record mode computes it.
double record_no_stop(std::size_t length, std::size_t gc_bytes, analysis::CodonSet stops) noexcept;

// Forward-strand positions of the bytes written of `orf`: its codons, and the
// stop codon after them when `include_stop` and there is one.
inline std::size_t written_start(const analysis::Orf& orf, bool include_stop) noexcept {
    return orf.start - (include_stop && !orf.open_three && orf.reverse ? 3 : 0);
}
inline std::size_t written_end(const analysis::Orf& orf, bool include_stop) noexcept {
    return orf.end + (include_stop && !orf.open_three && !orf.reverse ? 3 : 0);
}

class OrfValues {
public:
    OrfValues(const OrfRecord& record, const analysis::Orf& orf, std::size_t number) noexcept
        : record_(record), orf_(orf), number_(number) {}

    const OrfRecord& record() const noexcept { return record_; }
    const analysis::Orf& orf() const noexcept { return orf_; }
    // 1, 2, ... within the record, over the ORFs written.
    std::size_t number() const noexcept { return number_; }
    char strand_sign() const noexcept { return orf_.reverse ? '-' : '+'; }
    std::size_t codons() const noexcept { return orf_.codons(); }
    // Forward-strand positions of the bytes written: the codons, and the stop
    // codon after them when it is written.
    std::size_t start() const noexcept { return written_start(orf_, record_.include_stop); }
    std::size_t end() const noexcept { return written_end(orf_, record_.include_stop); }
    std::string_view bytes() const noexcept { return record_.sequence.substr(start(), end() - start()); }

    double evalue() const noexcept {
        return analysis::run_evalue(codons(), record_.sequence.size(), record_.no_stop, probability());
    }
    double log10_probability() const noexcept {
        return analysis::log10_run_probability(codons(), record_.no_stop, probability());
    }
    double gc_fraction() const noexcept;
    std::size_t non_acgt() const noexcept;

    // Two digits, the flag of the lower forward-strand end first: 5' then 3'
    // on '+', 3' then 5' on '-'.
    char* write_partial(char* to) const noexcept;
    // The start codon in start-stop, the stop codon after the ORF when there
    // is one, as read on the ORF's strand and upper-cased; nothing otherwise.
    char* write_start_codon(char* to) const noexcept;
    char* write_stop_codon(char* to) const noexcept;

private:
    // Computed where used: a BED line mostly finds its score remembered.
    double probability() const noexcept { return analysis::no_stop_power(record_.no_stop, codons()); }
    // The codon whose forward-strand bytes begin at `at`, as the ORF's strand reads it.
    char* write_codon(char* to, std::size_t at) const noexcept;

    const OrfRecord& record_;
    analysis::Orf orf_;
    std::size_t number_;
};

// Bytes other than A, C, G, T in either case, as the located scan counts them.
std::size_t count_non_acgt(std::string_view bytes) noexcept;

}  // namespace marlinox::command
