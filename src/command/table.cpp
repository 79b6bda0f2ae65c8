#include "command/table.hpp"

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "command/float_repr.hpp"
#include "command/record_values.hpp"
#include "command/run_output.hpp"
#include "parallel/parallel_ordered_map.hpp"

namespace marlinox::command {
namespace {

// Records [first, first + count) of a batch: the unit of work of one worker.
struct RecordRange {
    std::size_t first;
    std::size_t count;
};

std::vector<RecordRange> cut_ranges(const Batch& batch, std::size_t threads) {
    // Enough ranges to keep every worker busy when record lengths vary, each
    // large enough that handing it over costs little.
    const std::size_t total = batch.bytes.size() + batch.records.size() * 64;
    const std::size_t target = std::clamp<std::size_t>(total / (8 * std::max<std::size_t>(threads, 1)),
                                                       std::size_t{16} << 10, std::size_t{1} << 20);
    std::vector<RecordRange> ranges;
    std::size_t first = 0;
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < batch.records.size(); ++i) {
        const RecordSpan& record = batch.records[i];
        bytes += record.identifier_length + record.sequence_length + 64;
        if (bytes >= target) {
            ranges.push_back({first, i + 1 - first});
            first = i + 1;
            bytes = 0;
        }
    }
    if (first < batch.records.size()) ranges.push_back({first, batch.records.size() - first});
    return ranges;
}

// A location field: empty when there is no run to locate.
char* write_located_count(char* to, const RecordValues& values, std::uint64_t value) noexcept {
    return values.stop_free_run() != 0 ? write_count(to, value) : to;
}

// Longest field other than the identifier and the file name.
constexpr std::size_t kMaxFieldLength = std::max(kMaxFloatReprLength, kMaxCountLength);

char* write_field(char* to, Column column, std::string_view identifier, std::string_view file,
                  const RecordValues& values) noexcept {
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
            if (values.stop_free_run() != 0) *to++ = values.located.reverse ? '-' : '+';
            return to;
        case Column::frame: return write_located_count(to, values, values.located.frame);
        case Column::start: return write_located_count(to, values, values.located.start);
        case Column::end: return write_located_count(to, values, values.located.end);
        case Column::log10_probability: return write_float_repr(to, values.log10_probability());
        case Column::evalue: return write_float_repr(to, values.evalue());
        case Column::non_acgt: return write_count(to, values.located.non_acgt);
    }
    return to;
}

// The row written in place at the end of `out`, in room made for the longest
// it can be: appending field by field costs more than the fields themselves.
void append_columns(std::string& out, const std::vector<Column>& columns, std::string_view identifier,
                    std::string_view file, const RecordValues& values) {
    const std::size_t start = out.size();
    out.resize(start + identifier.size() + file.size() + columns.size() * (kMaxFieldLength + 1) + 1);
    char* const first = out.data() + start;
    char* to = first;
    for (std::size_t k = 0; k < columns.size(); ++k) {
        if (k != 0) *to++ = '\t';
        to = write_field(to, columns[k], identifier, file, values);
    }
    *to++ = '\n';
    out.resize(start + static_cast<std::size_t>(to - first));
}

bool kept(const Layout& layout, const RecordValues& values) {
    if (layout.min_run && values.stop_free_run() < *layout.min_run) return false;
    return !layout.max_evalue || values.evalue() <= *layout.max_evalue;
}

}  // namespace

void append_record(std::string& out, const Layout& layout, bool locate, std::string_view file,
                   std::string_view identifier, std::string_view sequence) {
    const RecordValues values = record_values(sequence, locate);
    if (!kept(layout, values)) return;
    if (layout.format != Format::tsv && values.stop_free_run() == 0) return;
    switch (layout.format) {
        case Format::tsv: append_columns(out, layout.columns, identifier, file, values); break;
        case Format::bed: append_bed_line(out, identifier, values); break;
        case Format::fasta: append_run_fasta(out, identifier, sequence, values); break;
        case Format::protein: append_run_protein(out, identifier, sequence, values); break;
    }
}

parallel::OrderedResults<std::string> table_rows(const Batch& batch, std::size_t threads, const Layout& layout) {
    const std::vector<RecordRange> ranges = cut_ranges(batch, threads);
    const bool locate = layout.locates();
    return parallel::parallel_ordered_map(std::span<const RecordRange>(ranges), [&](const RecordRange& range) {
        std::string rows;
        std::size_t identifier_bytes = 0;
        for (std::size_t i = range.first; i != range.first + range.count; ++i)
            identifier_bytes += batch.records[i].identifier_length;
        // Tabs and line end, two counts, three floats of typical length.
        rows.reserve(identifier_bytes + range.count * (5 + 2 * 20 + 3 * 24));
        for (std::size_t i = range.first; i != range.first + range.count; ++i) {
            const RecordSpan& record = batch.records[i];
            append_record(rows, layout, locate, layout.file_names[record.file], batch.identifier(record),
                          batch.sequence(record));
        }
        return rows;
    });
}

}  // namespace marlinox::command
