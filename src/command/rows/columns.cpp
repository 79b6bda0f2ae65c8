#include "command/rows/columns.hpp"

#include <algorithm>
#include <array>

namespace marlinox::command {
namespace {

constexpr std::array<std::string_view, 14> kNames = {
    "identifier", "length", "gc_fraction", "stop_free_run", "ratio",  "probability", "file",
    "strand",     "frame",  "start",       "end",           "log10_probability", "evalue", "non_acgt",
};
static_assert(kNames.size() == static_cast<std::size_t>(Column::non_acgt) + 1, "a name for every column");
constexpr std::array<Column, 6> kDefault = {Column::identifier,    Column::length, Column::gc_fraction,
                                            Column::stop_free_run, Column::ratio,  Column::probability};

bool is_location(Column column) {
    return column == Column::strand || column == Column::frame || column == Column::start ||
           column == Column::end || column == Column::non_acgt;
}

}  // namespace

std::span<const Column> default_columns() noexcept { return kDefault; }

std::string_view column_name(Column column) noexcept { return kNames[static_cast<std::size_t>(column)]; }

std::span<const std::string_view> column_names() noexcept { return kNames; }

bool Layout::locates() const {
    return format != Format::tsv || std::any_of(columns.begin(), columns.end(), is_location);
}

std::string header_row(const Layout& layout) {
    if (layout.format != Format::tsv || !layout.header) return {};
    std::string row;
    for (const Column column : layout.columns) {
        if (!row.empty()) row += '\t';
        row += column_name(column);
    }
    return row + '\n';
}

}  // namespace marlinox::command
