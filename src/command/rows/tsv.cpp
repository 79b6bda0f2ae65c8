#include "command/rows/tsv.hpp"

#include <algorithm>
#include <cstring>

#include "command/rows/float_repr.hpp"

namespace marlinox::command {
namespace {

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
            if (values.stop_free_run() != 0) *to++ = values.strand_sign();
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

// The row is written in place at the end of `out`, in room made for the
// longest it can be: appending field by field costs more than the fields
// themselves.
void append_tsv_row(std::string& out, const std::vector<Column>& columns, std::string_view identifier,
                    std::string_view file, const RecordValues& values) {
    const std::size_t start = out.size();
    out.resize(start + tsv_row_bound(columns, identifier.size(), file.size()));
    char* const first = out.data() + start;
    char* to = first;
    for (std::size_t k = 0; k < columns.size(); ++k) {
        if (k != 0) *to++ = '\t';
        to = write_field(to, columns[k], identifier, file, values);
    }
    *to++ = '\n';
    out.resize(start + static_cast<std::size_t>(to - first));
}

}  // namespace marlinox::command
