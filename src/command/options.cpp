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
    "Analyse the records of FASTA and FASTQ files: one tab-separated row per record\n"
    "(with --orfs, per open reading frame), after a header row, for every file in\n"
    "order. FILE may be plain or compressed with gzip, BGZF, bzip2, xz or zstd\n"
    "(recognised by its first bytes); '-' or no FILE reads standard input.";

constexpr const char* kFooter = R"(Columns of a record's row (the first six unless --columns chooses; 'all' is every
  one, in this order):
  identifier     first word of the header line after '>' or '@' (up to a space or tab)
  length         bytes of sequence (line ends, and in FASTA spaces and tabs, removed)
  gc_fraction    share of the bytes that are G, C, g or c (S, N and the rest count
                 only in the length); 0.0 for an empty sequence
  stop_free_run  longest run of consecutive codons without a stop codon (TAA, TAG,
                 TGA, after upper-casing; --table N: that code's stops) in any of
                 the six reading frames
  ratio          stop_free_run / length; 0.0 for an empty sequence
  probability    probability that a run of that many codons holds no stop codon in a
                 random sequence of the record's GC fraction (G, C each gc/2)
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
exactly the marlinox Python module's values for the same sequence, under a
--table whose stops are TAA, TAG and TGA.

Formats (--format; one line or FASTA record per record whose run is 1 or more):
  bed            BED6: identifier, start, end, run=N, score, strand; the score is
                 min(1000, max(0, round(-10 log10(evalue)))), 1000 for evalue 0.0
  fasta          '>identifier strand:start-end run=N evalue=E', then the run as its
                 strand reads it
  protein        the same header, then the run translated (by the --table code; X
                 for a codon with a byte other than A, C, G, T)
  gff3           '##gff-version 3', then one feature of type ORF: 1-based start and
                 end, score the evalue, attributes ID=identifier_1;codons=N;
                 partial=XY;evalue=E (seqid and values percent-encoded)

ORF mode (--orfs MODE): one row per ORF of at least --min-length bases (default
30), per record in input order, by start, end, then + before -:
  between-stops  every maximal run of whole codons without a stop in each of the
                 six frames, ended by a stop or the record's end (getorf -find 2)
  start-stop     the part of each such run from its first --starts codon on
                 (default ATG; 'table': the --table code's initiation codons); a
                 run without one gives none (getorf -find 3)
  Columns ('all' is these, in this order; the first, orf, strand, frame, start,
  end, length, partial and evalue by default):
  identifier, file
  orf            1, 2, ... within the record, over the rows written
  strand, frame, start, end
                 as for the longest run; frame on the ORF's own strand
  length         end - start
  codons         codons of the ORF, never its stop codon
  partial        two flags, the lower position's end first: 5' is 1 for a
                 between-stops ORF at its frame's first whole codon, 3' when the
                 record ends before a stop; 5'3' on +, 3'5' on -
  start_codon, stop_codon
                 the first codon (start-stop) and the stop after the ORF, as its
                 strand reads them, upper-cased; empty where there is none
  gc_fraction, non_acgt
                 of the bytes start..end
  record_length  the record's length
  evalue, log10_probability
                 as for a record's run, with the ORF's codons for the run (for
                 start-stop an upper bound)
  bed names an ORF identifier_orf; fasta and protein write '>identifier_orf
  strand:start-end codons=N partial=XY evalue=E' (start-stop proteins begin
  with M); gff3 adds start_codon=XXX in start-stop. --include-stop writes an
  ORF's stop codon with it: in start, end, length, the counts and the bases.

Genetic codes (--table N, getorf's -table N; --list-tables names them): 1-6,
9-16 and 21-33. Their stops end runs and ORFs in both modes and set the
statistics; in tables 27, 28 and 31 a codon that NCBI reads by context as a
stop or an amino acid is always a stop (* in a protein).

Exit status:
  0    every record written
  1    output could not be written, or an internal failure
  2    bad input or bad usage: one "error: FILE:LINE: ..." line on standard error,
       after the rows of every record before the bad one
  130  interrupted (Ctrl-C); 143 and 129 for SIGTERM and SIGHUP: 128 + the
       signal, once the rows being written are whole (a table whose reader
       stopped reading may end mid-row)
A closed output pipe (| head) stops the command silently, by SIGPIPE.

Threads: -j sets the analysis and BGZF decompression threads (-j 0: every processor
the process may use), whatever the environment says; without it, the environment
variables RAYON_NUM_THREADS or RAYON_RS_NUM_CPUS, else the processors available,
decide.
)";

// One line per genetic code: its number and names, and the codons that it
// reads by context as a stop or an amino acid, which stop a frame here.
std::string table_list() {
    std::string list;
    for (const analysis::GeneticCode& code : analysis::genetic_codes()) {
        list += std::to_string(code.number) + '\t' + std::string(code.name);
        if (code.context_stops != 0) {
            std::string codons;
            for (unsigned codon = 0; codon < 64; ++codon) {
                if ((code.context_stops >> codon & 1u) == 0) continue;
                if (!codons.empty()) codons += ", ";
                for (const unsigned shift : {4u, 2u, 0u}) codons += "ACGT"[codon >> shift & 3u];
            }
            list += " (" + codons + ": a stop or an amino acid by context; always a stop here)";
        }
        list += '\n';
    }
    return list;
}

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
    std::optional<std::string> columns, format, min_run, max_evalue, max_non_acgt;
    std::optional<std::string> orfs, min_length, max_length, starts, strand, table;
    bool include_stop = false;
    bool list_tables = false;
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
    app.add_flag("--no-header", texts.no_header, "Write no header row (tsv) or version line (gff3)");
    app.add_option("--format", texts.format,
                   "tsv (the table, default), or the longest runs (with --orfs, the ORFs) as bed, fasta, "
                   "protein or gff3")
        ->type_name("FORMAT");
    app.add_option("--min-run", texts.min_run, "Keep only the records whose stop_free_run is at least N")
        ->type_name("N");
    app.add_option("--max-evalue", texts.max_evalue, "Keep only the records (ORFs) whose evalue is at most X")
        ->type_name("X");
    app.add_option("--max-non-acgt", texts.max_non_acgt,
                   "Keep only the records (ORFs) with at most N bytes other than A, C, G, T")
        ->type_name("N");
    app.add_option("--orfs", texts.orfs,
                   "One row per ORF: between-stops (every stop-free run of the six frames) or start-stop "
                   "(each run from its first start codon)")
        ->type_name("MODE");
    app.add_option("--min-length", texts.min_length, "ORFs of at least NT bases, stop excluded (default 30)")
        ->type_name("NT");
    app.add_option("--max-length", texts.max_length, "ORFs of at most NT bases, stop excluded (default: no limit)")
        ->type_name("NT");
    app.add_option("--starts", texts.starts,
                   "Start codons of start-stop, comma-separated (default ATG), or 'table': the --table code's")
        ->type_name("LIST");
    app.add_option("--strand", texts.strand, "ORFs on both strands (default), + or -")->type_name("STRAND");
    app.add_flag("--include-stop", texts.include_stop,
                 "An ORF's stop codon in its position, counts and sequence (never in codons)");
    app.add_option("--table", texts.table,
                   "Genetic code by NCBI number (default 1, the standard code): its stops end runs and ORFs, "
                   "its amino acids translate (see --list-tables)")
        ->type_name("N");
    app.add_flag("--list-tables", texts.list_tables, "Print the genetic codes' numbers and names and exit");
    app.add_option("FILE", files, "Input files ('-': standard input)")->type_name("");
    return app;
}

std::optional<Format> parse_format(std::string_view text) {
    if (text == "tsv") return Format::tsv;
    if (text == "bed") return Format::bed;
    if (text == "fasta") return Format::fasta;
    if (text == "protein") return Format::protein;
    if (text == "gff3") return Format::gff3;
    return std::nullopt;
}

std::string known_column_names(bool orf_mode) {
    std::string names = "all";
    for (const Column column : all_columns(orf_mode)) names += ", " + std::string(column_name(column));
    return names;
}

// The columns of a comma-separated list ("all": every column of the mode), or
// the one-line message for a list with an unknown, repeated or other mode's name.
std::variant<std::vector<Column>, std::string> parse_columns(std::string_view list, bool orf_mode) {
    const std::span<const std::string_view> names = column_names();
    const std::span<const Column> mode_columns = all_columns(orf_mode);
    std::vector<Column> columns;
    for (std::size_t from = 0;;) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        const std::string_view name = list.substr(from, comma - from);
        if (name == "all") {
            columns.insert(columns.end(), mode_columns.begin(), mode_columns.end());
        } else {
            const auto found = std::find(names.begin(), names.end(), name);
            if (found == names.end())
                return "--columns: unknown column '" + escaped_for_message(name) + "' (columns: " +
                       known_column_names(orf_mode) + ")";
            const auto column = static_cast<Column>(found - names.begin());
            if (std::find(mode_columns.begin(), mode_columns.end(), column) == mode_columns.end())
                return "--columns: column '" + std::string(name) +
                       (orf_mode ? "' does not apply to --orfs" : "' applies to --orfs only");
            columns.push_back(column);
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

// The start codons of a comma-separated list of codons of A, C, G and T, as
// bits of OrfRules::start_codons; nothing for a list with anything else.
std::optional<analysis::CodonSet> parse_start_codons(std::string_view list) {
    analysis::CodonSet codons = 0;
    for (std::size_t from = 0;;) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        const std::string_view codon = list.substr(from, comma - from);
        const bool bases = std::all_of(codon.begin(), codon.end(), [](char c) {
            return std::string_view("ACGTacgt").find(c) != std::string_view::npos;
        });
        if (codon.size() != 3 || !bases) return std::nullopt;
        codons |= std::uint64_t{1} << analysis::codon_index(reinterpret_cast<const unsigned char*>(codon.data()));
        if (comma == list.size()) return codons;
        from = comma + 1;
    }
}

std::string not_bases(std::string_view text) {
    return "not a whole number of bases from 0 up: " + escaped_for_message(text);
}

// The ORF mode's options under the genetic code `code`, or the one-line
// message of what is wrong.
std::variant<OrfLayout, std::string> orf_layout(const OptionTexts& texts, const analysis::GeneticCode& code) {
    OrfLayout orfs;
    if (*texts.orfs == "start-stop") {
        orfs.rules.from_start = true;
    } else if (*texts.orfs != "between-stops") {
        return "--orfs: unknown mode '" + escaped_for_message(*texts.orfs) +
               "' (modes: between-stops, start-stop)";
    }
    if (texts.min_run) return "--min-run does not apply to --orfs (see --min-length)";
    const auto codons_of = [](std::uint64_t bases) {
        return static_cast<std::size_t>(std::min<std::uint64_t>(bases / 3, std::numeric_limits<std::size_t>::max()));
    };
    std::uint64_t min_length = 30;
    if (texts.min_length) {
        const std::optional<std::uint64_t> parsed = parse_count(*texts.min_length);
        if (!parsed) return "--min-length: " + not_bases(*texts.min_length);
        min_length = *parsed;
    }
    // At least min_length bases: at least ceil(min_length / 3) codons, and one.
    orfs.rules.min_codons = std::max<std::size_t>(1, codons_of(min_length) + (min_length % 3 != 0));
    if (texts.max_length) {
        const std::optional<std::uint64_t> parsed = parse_count(*texts.max_length);
        if (!parsed) return "--max-length: " + not_bases(*texts.max_length);
        orfs.rules.max_codons = codons_of(*parsed);
    }
    orfs.rules.stop_codons = code.stops;
    orfs.rules.start_codons = std::uint64_t{1} << analysis::codon_index(reinterpret_cast<const unsigned char*>("ATG"));
    if (texts.starts) {
        if (!orfs.rules.from_start) return "--starts applies to --orfs start-stop only";
        const std::optional<analysis::CodonSet> codons =
            *texts.starts == "table" ? code.starts : parse_start_codons(*texts.starts);
        if (!codons) {
            return "--starts: not a comma-separated list of codons of A, C, G, T: " +
                   escaped_for_message(*texts.starts);
        }
        orfs.rules.start_codons = *codons;
    }
    if (texts.strand && *texts.strand != "both") {
        if (*texts.strand != "+" && *texts.strand != "-")
            return "--strand: unknown strand '" + escaped_for_message(*texts.strand) + "' (strands: both, +, -)";
        orfs.rules.forward = *texts.strand == "+";
        orfs.rules.reverse = *texts.strand == "-";
    }
    orfs.include_stop = texts.include_stop;
    return orfs;
}

// The ORF mode's option given without --orfs, if any.
std::optional<std::string_view> orf_option_without_orfs(const OptionTexts& texts) {
    if (texts.strand) return "--strand";
    if (texts.include_stop) return "--include-stop";
    if (texts.starts) return "--starts";
    if (texts.min_length) return "--min-length";
    if (texts.max_length) return "--max-length";
    return std::nullopt;
}

// The layout the output options ask for, or the one-line message of what is wrong.
std::variant<Layout, std::string> output_layout(const OptionTexts& texts) {
    Layout layout;
    if (texts.format) {
        const std::optional<Format> format = parse_format(*texts.format);
        if (!format)
            return "--format: unknown format '" + escaped_for_message(*texts.format) +
                   "' (formats: tsv, bed, fasta, protein, gff3)";
        layout.format = *format;
    }
    if (texts.table) {
        const std::optional<std::uint64_t> number = parse_count(*texts.table);
        if (!number)
            return "--table: not a table number: " + escaped_for_message(*texts.table) + " (see --list-tables)";
        if (*number == 0) return "--table: no table 0 (getorf's table 0 is --table 1 with the default --starts ATG)";
        layout.code = *number <= std::numeric_limits<unsigned>::max()
                          ? analysis::genetic_code(static_cast<unsigned>(*number))
                          : nullptr;
        if (layout.code == nullptr) return "--table: no table " + *texts.table + " (see --list-tables)";
    }
    if (texts.orfs) {
        std::variant<OrfLayout, std::string> orfs = orf_layout(texts, *layout.code);
        if (const std::string* message = std::get_if<std::string>(&orfs)) return *message;
        layout.orfs = std::get<OrfLayout>(orfs);
    } else if (const std::optional<std::string_view> option = orf_option_without_orfs(texts)) {
        return std::string(*option) + " applies to --orfs only";
    }
    if (layout.format != Format::tsv && texts.columns) return "--columns applies to --format tsv only";
    layout.header = !texts.no_header;
    const bool orf_mode = layout.orfs.has_value();
    if (texts.columns) {
        auto columns = parse_columns(*texts.columns, orf_mode);
        if (const std::string* message = std::get_if<std::string>(&columns)) return *message;
        layout.columns = std::get<std::vector<Column>>(std::move(columns));
    } else if (layout.format == Format::tsv) {
        layout.columns.assign(default_columns(orf_mode).begin(), default_columns(orf_mode).end());
    }
    if (texts.max_non_acgt) {
        layout.max_non_acgt = parse_count(*texts.max_non_acgt);
        if (!layout.max_non_acgt)
            return "--max-non-acgt: not a whole number of bytes from 0 up: " + escaped_for_message(*texts.max_non_acgt);
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
    if (texts.list_tables) {
        (void)write_all(1, table_list());
        return kExitOk;
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
