#include "command/options.hpp"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <span>

#include <unistd.h>

#include <CLI/CLI.hpp>

#include "command/failures/failure_report.hpp"
#include "command/failures/message_text.hpp"
#include "command/input/open_input.hpp"
#include "command/process/terminal.hpp"

namespace marlinox::command {
namespace {

constexpr const char* kDescription =
    "Analyse the records of FASTA and FASTQ files: one tab-separated row per record,\n"
    "after a header row, for every file in order. FILE may be plain or compressed\n"
    "with gzip, BGZF, bzip2, xz or zstd (recognised by its first bytes); '-' or no\n"
    "FILE reads standard input.";

constexpr const char* kFooter = R"(Columns (the first six unless --columns chooses; 'all' is every one, in this order):
  identifier     first word of the header line after '>' or '@' (up to a space or tab)
  length         bytes of sequence (line ends, and in FASTA spaces and tabs, removed)
  gc_fraction    share of the bytes that are G, C, g or c (S, N and the rest count
                 only in the length); 0.0 for an empty sequence
  stop_free_run  longest run of consecutive codons without a stop codon (TAA, TAG,
                 TGA, after upper-casing) in any of the six reading frames
  ratio          stop_free_run / length; 0.0 for an empty sequence
  probability    probability that a run of that many codons holds no stop codon in a
                 random sequence of the record's GC fraction
  file           the input file's name as given ('-': standard input)
  strand, frame, start, end
                 where the longest run lies: the first in the order forward frames
                 0, 1, 2, then reverse frames 0, 1, 2; start and end are 0-based,
                 half-open positions on the forward strand; empty when the run is 0
  log10_probability
                 log10 of probability, which never underflows
  evalue         expected number of stop-free runs at least that long in all six
                 frames of a random sequence of the record's length and GC
                 fraction: about 1 or more is what chance gives
  non_acgt       bytes other than A, C, G, T (N, IUPAC codes, gaps): runs pass
                 through them
Floats are written as Python's repr() writes them; the first six columns are
exactly the marlinox Python module's values for the same sequence.

Formats (--format; one line or FASTA record per record whose run is 1 or more):
  bed            BED6: identifier, start, end, run=N, min(1000, N), strand
  fasta          '>identifier strand:start-end run=N evalue=E', then the run as its
                 strand reads it
  protein        the same header, then the run translated (standard code; X for a
                 codon with a byte other than A, C, G, T)

Exit status:
  0    every record written
  1    output could not be written, or an internal failure
  2    bad input or bad usage: one "error: FILE:LINE: ..." line on standard error,
       after the rows of every record before the bad one
  130  interrupted (Ctrl-C); 143 and 129 for SIGTERM and SIGHUP: 128 + the
       signal, once the rows being written are whole
A closed output pipe (| head) stops the command silently, by SIGPIPE.

Threads: -j sets the analysis and BGZF decompression threads (-j 0: every processor
the process may use), whatever the environment says; without it, the environment
variables RAYON_NUM_THREADS or RAYON_RS_NUM_CPUS, else the processors available,
decide.
)";

std::string version_text() {
    return std::string("marlinox ") + MARLINOX_VERSION + " (" + decoder_libraries() + ")";
}

// The usage line first, then the description, with no blank line before
// either (CLI11 puts the description first and the usage after blank lines).
class HelpLayout : public CLI::Formatter {
public:
    std::string make_help(const CLI::App* app, std::string name, CLI::AppFormatMode mode) const override {
        if (mode == CLI::AppFormatMode::Sub) return CLI::Formatter::make_help(app, std::move(name), mode);
        const auto trimmed = [](std::string text) {
            text.erase(0, text.find_first_not_of('\n'));
            text.erase(text.find_last_not_of('\n') + 1);
            return text + "\n";
        };
        return trimmed(make_usage(app, std::move(name))) + "\n" + trimmed(make_description(app)) +
               make_positionals(app) + make_groups(app, mode) + make_footer(app);
    }
};

// The option texts checked after parsing, where one message can name the
// option and what is wrong.
struct OptionTexts {
    std::string batch_bytes, threads;
    std::optional<std::string> columns, format, min_run, max_evalue;
    bool no_header = false;
    bool no_progress = false;
};

CLI::App& configure(CLI::App& app, std::vector<std::string>& files, OptionTexts& texts) {
    app.description(kDescription);
    app.footer(kFooter);
    // Both texts are laid out by hand above.
    app.formatter(std::make_shared<HelpLayout>());
    app.get_formatter()->enable_description_formatting(false);
    app.get_formatter()->enable_footer_formatting(false);
    app.get_formatter()->column_width(26);
    app.set_version_flag("--version", version_text(), "Print the version and exit");
    // Checked after parsing, decimal only (CLI11 would also take 0x10 or 1e1).
    app.add_option("-j,--threads", texts.threads,
                   "Threads for analysis and decompression, 0 to 255 (0: every processor the process may use)")
        ->type_name("N");
    app.add_option("--batch-bytes", texts.batch_bytes,
                   "Most bytes of records and their rows per batch, e.g. 1M (default 64M; batches are cut at 4M "
                   "at most, which suits the processor's caches); memory stays below four batches "
                   "plus the largest record")
        ->type_name("SIZE")
        ->check(
            [](const std::string& text) {
                return parse_size(text) ? std::string() : "a size such as 1000, 512K, 64M or 1G is expected";
            },
            "");
    app.add_flag("--no-progress", texts.no_progress, "Never show the progress line");
    app.add_option("--columns", texts.columns,
                   "Columns of the table, comma-separated, in the order to write ('all': every column)")
        ->type_name("LIST");
    app.add_flag("--no-header", texts.no_header, "Write no header row");
    app.add_option("--format", texts.format, "tsv (the table, default), or the longest runs as bed, fasta or protein")
        ->type_name("FORMAT");
    app.add_option("--min-run", texts.min_run, "Keep only the records whose stop_free_run is at least N")
        ->type_name("N");
    app.add_option("--max-evalue", texts.max_evalue, "Keep only the records whose evalue is at most X")
        ->type_name("X");
    app.add_option("FILE", files, "Input files ('-': standard input)")->type_name("");
    return app;
}

std::optional<Format> parse_format(std::string_view text) {
    if (text == "tsv") return Format::tsv;
    if (text == "bed") return Format::bed;
    if (text == "fasta") return Format::fasta;
    if (text == "protein") return Format::protein;
    return std::nullopt;
}

std::string known_column_names() {
    std::string names = "all";
    for (const std::string_view name : column_names()) names += ", " + std::string(name);
    return names;
}

// The columns of a comma-separated list ("all": every column), or the one-line
// message for a list with an unknown or repeated name.
std::variant<std::vector<Column>, std::string> parse_columns(std::string_view list) {
    const std::span<const std::string_view> names = column_names();
    std::vector<Column> columns;
    for (std::size_t from = 0;;) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        const std::string_view name = list.substr(from, comma - from);
        if (name == "all") {
            for (std::size_t k = 0; k < names.size(); ++k) columns.push_back(static_cast<Column>(k));
        } else {
            const auto found = std::find(names.begin(), names.end(), name);
            if (found == names.end())
                return "--columns: unknown column '" + escaped_for_message(name) + "' (columns: " +
                       known_column_names() + ")";
            columns.push_back(static_cast<Column>(found - names.begin()));
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

std::optional<std::uint64_t> parse_count(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty()) return std::nullopt;
    return value;
}

std::optional<double> parse_nonnegative(const std::string& text) {
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (end != text.data() + text.size() || text.empty()) return std::nullopt;
    // A number beyond the range of double is its nearest one, 0 or infinity,
    // as Python's float() reads it; strtod gives it (the command keeps the
    // C locale, so the decimal point is '.').
    if (error == std::errc::result_out_of_range) value = std::strtod(text.c_str(), nullptr);
    else if (error != std::errc{}) return std::nullopt;
    if (std::isnan(value) || value < 0) return std::nullopt;
    return value;
}

// The layout the output options ask for, or the one-line message of what is wrong.
std::variant<Layout, std::string> output_layout(const OptionTexts& texts) {
    Layout layout;
    if (texts.format) {
        const std::optional<Format> format = parse_format(*texts.format);
        if (!format)
            return "--format: unknown format '" + escaped_for_message(*texts.format) +
                   "' (formats: tsv, bed, fasta, protein)";
        layout.format = *format;
    }
    if (layout.format != Format::tsv && texts.columns) return "--columns applies to --format tsv only";
    if (layout.format != Format::tsv && texts.no_header) return "--no-header applies to --format tsv only";
    layout.header = !texts.no_header;
    if (texts.columns) {
        auto columns = parse_columns(*texts.columns);
        if (const std::string* message = std::get_if<std::string>(&columns)) return *message;
        layout.columns = std::get<std::vector<Column>>(std::move(columns));
    } else if (layout.format == Format::tsv) {
        layout.columns.assign(default_columns().begin(), default_columns().end());
    }
    if (texts.min_run) {
        layout.min_run = parse_count(*texts.min_run);
        if (!layout.min_run)
            return "--min-run: not a whole number of codons from 0 up: " + escaped_for_message(*texts.min_run);
    }
    if (texts.max_evalue) {
        layout.max_evalue = parse_nonnegative(*texts.max_evalue);
        if (!layout.max_evalue)
            return "--max-evalue: not a number from 0 up: " + escaped_for_message(*texts.max_evalue);
    }
    return layout;
}

// The first option given as "--name=" with nothing after the '=', which CLI11
// would read as "--name" followed by the next argument as its value.
std::optional<std::string_view> empty_equals_value(const CLI::App& app, int argc, char** argv) {
    for (int k = 1; k < argc; ++k) {
        const std::string_view argument = argv[k];
        if (argument == "--") break;
        if (argument.size() < 4 || !argument.starts_with("--") || !argument.ends_with('=')) continue;
        const std::string_view name = argument.substr(0, argument.size() - 1);
        if (name.find('=') == std::string_view::npos && app.get_option_no_throw(std::string(name)) != nullptr)
            return name;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::size_t> parse_size(std::string_view text) {
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end == text.data()) return std::nullopt;
    std::string_view suffix(end, static_cast<std::size_t>(text.data() + text.size() - end));
    unsigned shift = 0;
    if (suffix.size() == 1) {
        switch (std::tolower(static_cast<unsigned char>(suffix[0]))) {
            case 'k': shift = 10; break;
            case 'm': shift = 20; break;
            case 'g': shift = 30; break;
            default: return std::nullopt;
        }
    } else if (!suffix.empty()) {
        return std::nullopt;
    }
    // Four batches must fit in the address space.
    const std::uint64_t limit = std::numeric_limits<std::size_t>::max() / 4;
    if (value == 0 || value > (limit >> shift)) return std::nullopt;
    return static_cast<std::size_t>(value << shift);
}

std::variant<std::size_t, std::string> parse_thread_count(std::string_view text) {
    std::size_t value = 0;
    const bool digits =
        !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (!digits) return "not a number: " + escaped_for_message(text);
    const std::from_chars_result parsed = std::from_chars(text.data(), text.data() + text.size(), value);
    if (parsed.ec != std::errc{} || value > kMaxThreadOption)
        return "out of range (0 to " + std::to_string(kMaxThreadOption) + "): " + escaped_for_message(text);
    return value;
}

std::variant<Settings, int> parse_command_line(int argc, char** argv) {
    CLI::App app("", "marlinox");
    Settings settings;
    OptionTexts texts;
    configure(app, settings.files, texts);
    if (const std::optional<std::string_view> name = empty_equals_value(app, argc, argv)) {
        report_error(std::string(*name) + ": empty value after '=' (see marlinox --help)");
        return kExitBadInput;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        (void)write_all(1, app.help());
        return kExitOk;
    } catch (const CLI::CallForAllHelp&) {
        (void)write_all(1, app.help());
        return kExitOk;
    } catch (const CLI::CallForVersion&) {
        (void)write_all(1, version_text() + "\n");
        return kExitOk;
    } catch (const CLI::ParseError& error) {
        // The message may quote an argument, a file name with a line end among them.
        report_error(escaped_for_message(error.what()) + " (see marlinox --help)");
        return kExitBadInput;
    }
    if (!texts.batch_bytes.empty()) settings.batch_bytes = *parse_size(texts.batch_bytes);
    if (app.count("--threads") != 0) {
        std::variant<std::size_t, std::string> threads = parse_thread_count(texts.threads);
        if (const std::string* problem = std::get_if<std::string>(&threads)) {
            report_error("-j: " + *problem + " (see marlinox --help)");
            return kExitBadInput;
        }
        settings.threads = std::get<std::size_t>(threads);
    }
    settings.progress = !texts.no_progress;
    std::variant<Layout, std::string> layout = output_layout(texts);
    if (const std::string* message = std::get_if<std::string>(&layout)) {
        report_error(*message);
        return kExitBadInput;
    }
    settings.layout = std::get<Layout>(std::move(layout));
    if (settings.files.empty()) {
        // Nothing to read but what is typed: the user wants the usage.
        if (::isatty(0) != 0) {
            (void)write_all(2, app.help());
            return kExitBadInput;
        }
        settings.files.emplace_back("-");
    }
    for (const std::string& file : settings.files) settings.layout.file_names.push_back(escaped_for_message(file));
    return settings;
}

}  // namespace marlinox::command
