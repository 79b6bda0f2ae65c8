#include "command/rows/tsv.hpp"

#include <algorithm>
#include <cstring>

#include "command/rows/float_repr.hpp"
#include "command/rows/statistic_texts.hpp"

namespace marlinox::command {
namespace {

// A location field: empty when there is no run to locate.
char* write_located_count(char* to, const RecordValues& values, std::uint64_t value) noexcept {
    return values.stop_free_run() != 0 ? write_count(to, value) : to;
}

// Longest field other than the identifier and the file name.
constexpr std::size_t kMaxFieldLength = std::max(kMaxFloatReprLength, kMaxCountLength);

char* write_field(char* to, Column column, std::string_view identifier, std::string_view file,
                  const RecordValues& values, StatisticTexts* texts) noexcept {
    const auto put = [&to](std::string_view text) {
        std::memcpy(to, text.data(), text.size());
        return to + text.size();
    };
    switch (column) {
        case Column::identifier: return put(identifier);
        case Column::length: return write_count(to, values.length);
        case Column::gc_fraction: return write_float_repr(to, values.gc_fraction);
        case Column::stop_free_run: return write_count(to, values.stop_free_run());
        case Column::ratio: return write_float_repr(to, values.ratio);
        case Column::probability: return write_float_repr(to, values.probability);
        case Column::file: return put(file);
        case Column::strand:
            if (values.stop_free_run() != 0) *to++ = values.strand_sign();
            return to;
        case Column::frame: return write_located_count(to, values, values.located.frame);
        case Column::start: return write_located_count(to, values, values.located.start);
        case Column::end: return write_located_count(to, values, values.located.end);
        case Column::log10_probability: return write_statistic(to, Statistic::log10_probability, values, texts);
        case Column::evalue: return write_statistic(to, Statistic::evalue, values, texts);
        case Column::non_acgt: return write_count(to, values.located.non_acgt);
        default: return to;  // the ORF mode's own columns
    }
}

char* write_orf_field(char* to, Column column, const OrfValues& orf) noexcept {
    const auto put = [&to](std::string_view text) {
        std::memcpy(to, text.data(), text.size());
        return to + text.size();
    };
    switch (column) {
        case Column::identifier: return put(orf.record().identifier);
        case Column::file: return put(orf.record().file);
        case Column::orf: return write_count(to, orf.number());
        case Column::strand: *to++ = orf.strand_sign(); return to;
        case Column::frame: return write_count(to, orf.orf().frame);
        case Column::start: return write_count(to, orf.start());
        case Column::end: return write_count(to, orf.end());
        case Column::length: return write_count(to, orf.end() - orf.start());
        case Column::codons: return write_count(to, orf.codons());
        case Column::partial: return orf.write_partial(to);
        case Column::start_codon: return orf.write_start_codon(to);
        case Column::stop_codon: return orf.write_stop_codon(to);
        case Column::gc_fraction: return write_float_repr(to, orf.gc_fraction());
        case Column::non_acgt: return write_count(to, orf.non_acgt());
        case Column::record_length: return write_count(to, orf.record().sequence.size());
        case Column::evalue: return write_float_repr(to, orf.evalue());
        case Column::log10_probability: return write_float_repr(to, orf.log10_probability());
        default: return to;  // the record mode's own columns
    }
}

// Writes the row in place at the end of `out`, in room made for the longest
// it can be: appending field by field costs more than the fields themselves.
template <class WriteField>
void append_row(std::string& out, const std::vector<Column>& columns, std::size_t identifier_length,
                std::size_t file_length, WriteField write_field_at) {
    const std::size_t start = out.size();
    out.resize(start + tsv_row_bound(columns, identifier_length, file_length));
    char* const first = out.data() + start;
    char* to = first;
    for (std::size_t k = 0; k < columns.size(); ++k) {
        if (k != 0) *to++ = '\t';
        to = write_field_at(to, columns[k]);
    }
    *to++ = '\n';
    out.resize(start + static_cast<std::size_t>(to - first));
}

}  // namespace

std::size_t tsv_row_bound(const std::vector<Column>& columns, std::size_t identifier_length,
                          std::size_t file_length) noexcept {
    std::size_t bound = 1;  // the line end; below, each field with its tab
    for (const Column column : columns) {
        if (column == Column::identifier) bound += identifier_length + 1;
        else if (column == Column::file) bound += file_length + 1;
        else bound += kMaxFieldLength + 1;
    }
    return bound;
}

void append_tsv_row(std::string& out, const std::vector<Column>& columns, std::string_view identifier,
                    std::string_view file, const RecordValues& values) {
    // Looked up at the row's start, so that its cache line arrives while the
    // fields before are written; the default table has no such field.
    const bool remembers = std::any_of(columns.begin(), columns.end(), [](Column column) {
        return column == Column::log10_probability || column == Column::evalue;
    });
    StatisticTexts* const texts = remembers ? StatisticTexts::slot_for(values) : nullptr;
    append_row(out, columns, identifier.size(), file.size(), [&](char* to, Column column) {
        return write_field(to, column, identifier, file, values, texts);
    });
}

void append_orf_tsv_row(std::string& out, const std::vector<Column>& columns, const OrfValues& orf) {
    append_row(out, columns, orf.record().identifier.size(), orf.record().file.size(),
               [&](char* to, Column column) { return write_orf_field(to, column, orf); });
}

}  // namespace marlinox::command
