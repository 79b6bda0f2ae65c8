// FASTA and FASTQ records from a stream of bytes fed in pieces of any size.
//
// The format is taken from the first byte of the first non-blank line: '>'
// for FASTA, '@' for FASTQ. Lines end with LF or CR LF; a CR as the very last
// byte ends the last line too. Any other CR is an error.
//  - Header: the identifier is the first word after '>' or '@' (leading
//    blanks skipped, a word ends at a space or tab); its bytes pass unchanged.
//  - FASTA: the sequence is the record's lines joined, spaces and tabs dropped.
//  - FASTQ: header, sequence line, '+' line (empty after '+' or repeating the
//    header), quality line as long as the sequence. Blank lines between
//    records are skipped.
//  - Sequence bytes must lie in 0x21..0x7E; anything but blank lines before
//    the first header is an error, except a UTF-8 byte order mark as the
//    stream's very first bytes (editors on Windows write one), which is skipped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "command/records/batch.hpp"

namespace marlinox::command {

class RecordParser {
public:
    // Errors name `file`; complete records go to `out`.
    RecordParser(std::string file, BatchBuilder& out) : file_(std::move(file)), out_(out) {}

    // Parses the next piece of the stream. Throws InputError.
    void feed(std::string_view bytes);
    // The stream has ended. Throws InputError for an incomplete FASTQ record.
    void finish();

    std::uint64_t line() const noexcept { return line_; }
    std::uint64_t records() const noexcept { return records_; }
    const std::string& file() const noexcept { return file_; }

private:
    enum class State {
        preamble,           // line start before the first header
        blank_line,         // inside a line that must hold only blanks
        header_blanks,      // after '>' or '@', before the identifier
        identifier,
        header_rest,        // rest of the header line after the identifier
        fasta_line_start,
        fasta_sequence,
        fastq_sequence,
        fastq_plus_start,
        fastq_plus_rest,
        fastq_quality,
        fastq_record_start,
    };
    enum class Format { unknown, fasta, fastq };

    std::string_view skip_byte_order_mark(std::string_view bytes);
    void line_content(const char* p, const char* end);
    const char* plain_fasta_lines(const char* p, const char* end);
    const char* plain_fastq_records(const char* p, const char* end);
    const char* step(const char* p, const char* end);
    const char* sequence_bytes(const char* p, const char* end, bool drop_blanks);
    void end_line();
    void start_record();
    void end_record();
    void end_fastq_record();
    [[noreturn]] void not_a_record_start() const;
    [[noreturn]] void bad(const std::string& what) const;
    [[noreturn]] void bad_byte(unsigned char byte) const;
    [[noreturn]] void bad_cr() const;

    std::string file_;
    BatchBuilder& out_;
    State state_ = State::preamble;
    State after_blank_ = State::preamble;
    Format format_ = Format::unknown;
    bool pending_cr_ = false;  // a CR ended the last piece; it must be followed by LF
    // Bytes of a byte order mark seen at the start, until the text starts.
    std::size_t mark_bytes_ = 0;
    bool text_started_ = false;
    std::uint64_t line_ = 1;
    std::uint64_t records_ = 0;
    // FASTQ: the '+' line checked so far against the header line kept in the batch.
    std::size_t plus_length_ = 0;
    bool plus_differs_ = false;
    std::size_t quality_length_ = 0;
};

}  // namespace marlinox::command
