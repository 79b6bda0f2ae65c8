#include "command/columns.hpp"
#include "command/input_error.hpp"

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

std::string known_names() {
    std::string names = "all";
    for (const std::string_view name : kNames) names += ", " + std::string(name);
    return names;
}

bool is_location(Column column) {
    return column == Column::strand || column == Column::frame || column == Column::start ||
           column == Column::end || column == Column::non_acgt;
}

}  // namespace

std::span<const Column> default_columns() noexcept { return kDefault; }

std::string_view column_name(Column column) noexcept { return kNames[static_cast<std::size_t>(column)]; }

bool Layout::locates() const {
    return format != Format::tsv || std::any_of(columns.begin(), columns.end(), is_location);
}

std::variant<std::vector<Column>, std::string> parse_columns(std::string_view list) {
    std::vector<Column> columns;
    for (std::size_t from = 0;;) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        const std::string_view name = list.substr(from, comma - from);
        if (name == "all") {
            for (std::size_t k = 0; k < kNames.size(); ++k) columns.push_back(static_cast<Column>(k));
        } else {
            const auto found = std::find(kNames.begin(), kNames.end(), name);
            if (found == kNames.end())
                return "--columns: unknown column '" + escaped_for_message(name) + "' (columns: " + known_names() +
                       ")";
            columns.push_back(static_cast<Column>(found - kNames.begin()));
        }
        if (comma == list.size()) break;
        from = comma + 1;
    }
    for (std::size_t k = 0; k < columns.size(); ++k)
        if (std::find(columns.begin(), columns.begin() + static_cast<std::ptrdiff_t>(k), columns[k]) !=
            columns.begin() + static_cast<std::ptrdiff_t>(k))
            return "--columns: column '" + std::string(column_name(columns[k])) + "' is given twice";
    return columns;
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
