#include "command/table.hpp"

#include <algorithm>
#include <charconv>
#include <span>
#include <vector>

#include "analysis/kernels.hpp"
#include "command/float_repr.hpp"
#include "parallel/parallel_ordered_map.hpp"

namespace marlinox::command {
namespace {

void append_count(std::string& out, std::uint64_t value) {
    char digits[24];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

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

}  // namespace

void append_row(std::string& out, std::string_view identifier, std::string_view sequence) {
    const std::size_t length = sequence.size();
    const double gc = analysis::calculate_gc_content_single(sequence);
    const std::size_t run = analysis::calculate_stop_free_run_single(sequence);
    const double ratio = length == 0 ? 0.0 : static_cast<double>(run) / static_cast<double>(length);
    const double probability = analysis::calculate_run_probability_wide(run, gc);

    out += identifier;
    out += '\t';
    append_count(out, length);
    out += '\t';
    append_float_repr(out, gc);
    out += '\t';
    append_count(out, run);
    out += '\t';
    append_float_repr(out, ratio);
    out += '\t';
    append_float_repr(out, probability);
    out += '\n';
}

parallel::OrderedResults<std::string> table_rows(const Batch& batch, std::size_t threads) {
    const std::vector<RecordRange> ranges = cut_ranges(batch, threads);
    return parallel::parallel_ordered_map(std::span<const RecordRange>(ranges), [&batch](const RecordRange& range) {
        std::string rows;
        std::size_t identifier_bytes = 0;
        for (std::size_t i = range.first; i != range.first + range.count; ++i)
            identifier_bytes += batch.records[i].identifier_length;
        // Tabs and line end, two counts, three floats of typical length.
        rows.reserve(identifier_bytes + range.count * (5 + 2 * 20 + 3 * 24));
        for (std::size_t i = range.first; i != range.first + range.count; ++i) {
            const RecordSpan& record = batch.records[i];
            append_row(rows, batch.identifier(record), batch.sequence(record));
        }
        return rows;
    });
}

}  // namespace marlinox::command
