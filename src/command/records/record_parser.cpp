#include "command/records/record_parser.hpp"

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace marlinox::command {
namespace {

constexpr bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

constexpr bool is_sequence_byte(char c) noexcept {
    return static_cast<unsigned char>(static_cast<unsigned char>(c) - 0x21u) <= 0x7Eu - 0x21u;
}

// Eight bytes at a time: a byte below 0x21 or above 0x7E sets its top bit in
// `below` or `above` (exact as a yes/no answer for the whole word).
bool all_sequence_bytes(const char* p, const char* end) noexcept {
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t tops = 0x8080808080808080u;
    std::uint64_t outside = 0;
    for (; end - p >= 8; p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        const std::uint64_t below = (word - ones * 0x21) & ~word;
        const std::uint64_t above = (word + ones * (0x7F - 0x7E)) | word;
        outside |= (below | above) & tops;
    }
    for (; p != end; ++p) outside |= is_sequence_byte(*p) ? 0u : 1u;
    return outside == 0;
}

// The first byte of [p, end) outside 0x21..0x7E (a line end, a blank, a bad
// byte), or `end`. In words of eight bytes, the lowest flagged byte is exact:
// false flags can only follow a true one.
const char* first_non_sequence_byte(const char* p, const char* end) noexcept {
#ifdef __SSE2__
    // Sixteen at a time: sequence bytes are, as signed bytes, above 0x20 and
    // below 0x7F (bytes from 0x80 up are negative).
    const __m128i space = _mm_set1_epi8(0x20);
    const __m128i del = _mm_set1_epi8(0x7F);
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i inside = _mm_and_si128(_mm_cmpgt_epi8(bytes, space), _mm_cmplt_epi8(bytes, del));
        const auto outside = static_cast<unsigned>(~_mm_movemask_epi8(inside)) & 0xFFFFu;
        if (outside != 0) return p + std::countr_zero(outside);
    }
#endif
    static_assert(std::endian::native == std::endian::little);
    constexpr std::uint64_t ones = 0x0101010101010101u;
    constexpr std::uint64_t tops = 0x8080808080808080u;
    for (; end - p >= 8; p += 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        const std::uint64_t flags = (((word - ones * 0x21) & ~word) | (word + ones) | word) & tops;
        if (flags != 0) return p + std::countr_zero(flags) / 8;
    }
    while (p != end && is_sequence_byte(*p)) ++p;
    return p;
}

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

const char* find_blank(const char* p, const char* end) noexcept {
    while (p != end && !is_blank(*p)) ++p;
    return p;
}

}  // namespace

void RecordParser::feed(std::string_view bytes) {
    if (!text_started_) bytes = skip_byte_order_mark(bytes);
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    if (pending_cr_ && p != end) {
        pending_cr_ = false;
        if (*p != '\n') bad_cr();
        end_line();
        ++p;
    }
    while (p != end) {
        if (state_ == State::fasta_line_start) {
            p = plain_fasta_lines(p, end);
            if (p == end) break;
        } else if (state_ == State::fastq_record_start) {
            p = plain_fastq_records(p, end);
            if (p == end) break;
        }
        const auto* lf = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        const char* content_end = lf != nullptr ? lf : end;
        if (content_end != p && content_end[-1] == '\r') {
            --content_end;
            if (lf == nullptr) pending_cr_ = true;  // the next piece tells whether LF follows
        }
        line_content(p, content_end);
        if (lf == nullptr) break;
        end_line();
        p = lf + 1;
    }
}

// The mark may come split over pieces; bytes that began one but do not end it
// are text (and bad before the first header).
std::string_view RecordParser::skip_byte_order_mark(std::string_view bytes) {
    while (mark_bytes_ < kByteOrderMark.size() && !bytes.empty() && bytes.front() == kByteOrderMark[mark_bytes_]) {
        ++mark_bytes_;
        bytes.remove_prefix(1);
    }
    if (bytes.empty() && mark_bytes_ < kByteOrderMark.size()) return bytes;
    text_started_ = true;
    if (mark_bytes_ < kByteOrderMark.size()) line_content(kByteOrderMark.data(), kByteOrderMark.data() + mark_bytes_);
    return bytes;
}

// The common case of FASTA, whole sequence lines of nothing but sequence
// bytes, without the state machine. Stops before anything else: a header, a
// line with blanks or bad bytes, a line that the piece does not hold whole.
const char* RecordParser::plain_fasta_lines(const char* p, const char* end) {
    while (p != end && *p != '>') {
        const char* stop = first_non_sequence_byte(p, end);
        const char* next = stop;
        if (next != end && *next == '\r') ++next;
        if (next == end || *next != '\n') break;
        out_.append_sequence(p, static_cast<std::size_t>(stop - p));
        ++line_;
        p = next + 1;
    }
    return p;
}

// The common case of FASTQ, whole four-line records without the state
// machine: a header of one word, a sequence line, a bare '+' line or one
// repeating the header, and a quality line as long as the sequence, all of
// bytes 0x21..0x7E and ending in LF. Stops before any record that is not all
// of that, or that the piece does not hold whole; the state machine takes it.
const char* RecordParser::plain_fastq_records(const char* p, const char* end) {
    while (p != end && *p == '@') {
        const char* const identifier = p + 1;
        const char* const header_end = first_non_sequence_byte(identifier, end);
        if (header_end == identifier || header_end == end || *header_end != '\n') break;
        const char* const sequence = header_end + 1;
        const char* const sequence_end = first_non_sequence_byte(sequence, end);
        if (sequence_end == end || *sequence_end != '\n') break;
        const char* const plus = sequence_end + 1;
        if (plus == end || *plus != '+') break;
        const char* const plus_end = first_non_sequence_byte(plus + 1, end);
        if (plus_end == end || *plus_end != '\n') break;
        const auto identifier_length = static_cast<std::size_t>(header_end - identifier);
        const auto plus_length = static_cast<std::size_t>(plus_end - plus - 1);
        if (plus_length != 0 &&
            (plus_length != identifier_length || std::memcmp(plus + 1, identifier, identifier_length) != 0))
            break;
        const char* const quality = plus_end + 1;
        const auto sequence_length = static_cast<std::size_t>(sequence_end - sequence);
        if (static_cast<std::size_t>(end - quality) <= sequence_length) break;
        const char* const quality_end = quality + sequence_length;
        if (*quality_end != '\n' || first_non_sequence_byte(quality, quality_end) != quality_end) break;
        out_.begin_record();
        out_.append_identifier(identifier, identifier_length);
        out_.append_sequence(sequence, sequence_length);
        end_record();
        line_ += 4;
        p = quality_end + 1;
    }
    return p;
}

void RecordParser::line_content(const char* p, const char* end) {
    // A CR inside a line is bad input; the sequence states reject it as they
    // reject any byte below '!'. The bytes before it still count: a '>' there
    // completes the record before.
    const bool in_sequence = state_ == State::fasta_sequence || state_ == State::fastq_sequence;
    const auto* cr =
        in_sequence ? nullptr : static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(end - p)));
    const char* const stop = cr != nullptr ? cr : end;
    // A line's content may pass through several states (marker, identifier, rest).
    while (p != stop) p = step(p, stop);
    if (cr != nullptr) bad_cr();
}

// Handles bytes of the current line from `p` (no line end among them) in the
// current state and returns where the next state takes over.
const char* RecordParser::step(const char* p, const char* end) {
    switch (state_) {
        case State::preamble:
        case State::fastq_record_start:
            if (*p == '>' && state_ == State::preamble) {
                format_ = Format::fasta;
                start_record();
                return p + 1;
            }
            if (*p == '@') {
                format_ = Format::fastq;
                start_record();
                return p + 1;
            }
            if (!is_blank(*p)) {
                after_blank_ = state_;
                not_a_record_start();
            }
            after_blank_ = state_;
            state_ = State::blank_line;
            return p;
        case State::blank_line:
            for (; p != end; ++p)
                if (!is_blank(*p)) not_a_record_start();
            return end;
        case State::header_blanks: {
            const char* start = p;
            while (p != end && is_blank(*p)) ++p;
            if (format_ == Format::fastq) out_.append_header(start, static_cast<std::size_t>(p - start));
            if (p != end) state_ = State::identifier;
            return p;
        }
        case State::identifier: {
            const char* word_end = find_blank(p, end);
            out_.append_identifier(p, static_cast<std::size_t>(word_end - p));
            if (word_end != end) state_ = State::header_rest;
            return word_end;
        }
        case State::header_rest:
            if (format_ == Format::fastq) out_.append_header(p, static_cast<std::size_t>(end - p));
            return end;
        case State::fasta_line_start:
            if (*p == '>') {
                end_record();
                start_record();
                return p + 1;
            }
            state_ = State::fasta_sequence;
            return p;
        case State::fasta_sequence:
            return sequence_bytes(p, end, true);
        case State::fastq_sequence:
            return sequence_bytes(p, end, false);
        case State::fastq_plus_start:
            if (*p != '+') bad("expected a '+' line after the sequence");
            plus_length_ = 0;
            plus_differs_ = false;
            state_ = State::fastq_plus_rest;
            return p + 1;
        case State::fastq_plus_rest: {
            const std::string_view header = out_.header();
            const auto count = static_cast<std::size_t>(end - p);
            if (!plus_differs_)
                plus_differs_ = count > header.size() - plus_length_ ||
                                std::memcmp(header.data() + plus_length_, p, count) != 0;
            plus_length_ += count;
            return end;
        }
        case State::fastq_quality:
            quality_length_ += static_cast<std::size_t>(end - p);
            return end;
    }
    return end;
}

const char* RecordParser::sequence_bytes(const char* p, const char* end, bool drop_blanks) {
    if (all_sequence_bytes(p, end)) {
        out_.append_sequence(p, static_cast<std::size_t>(end - p));
        return end;
    }
    while (p != end) {
        const char* run_end = p;
        while (run_end != end && is_sequence_byte(*run_end)) ++run_end;
        out_.append_sequence(p, static_cast<std::size_t>(run_end - p));
        if (run_end == end) break;
        if (!(drop_blanks && is_blank(*run_end))) bad_byte(static_cast<unsigned char>(*run_end));
        p = run_end + 1;
    }
    return end;
}

void RecordParser::end_line() {
    switch (state_) {
        case State::preamble:
        case State::fastq_record_start:
            break;
        case State::blank_line:
            state_ = after_blank_;
            break;
        case State::header_blanks:
        case State::identifier:
        case State::header_rest:
            state_ = format_ == Format::fasta ? State::fasta_line_start : State::fastq_sequence;
            break;
        case State::fasta_line_start:
        case State::fasta_sequence:
            state_ = State::fasta_line_start;
            break;
        case State::fastq_sequence:
            state_ = State::fastq_plus_start;
            break;
        case State::fastq_plus_start:
            bad("expected a '+' line after the sequence");
        case State::fastq_plus_rest:
            if (plus_length_ != 0 && (plus_differs_ || plus_length_ != out_.header().size()))
                bad("the '+' line does not repeat the header");
            quality_length_ = 0;
            state_ = State::fastq_quality;
            break;
        case State::fastq_quality:
            end_fastq_record();
            state_ = State::fastq_record_start;
            break;
    }
    ++line_;
}

void RecordParser::finish() {
    // A stream that ends inside what began as a mark.
    if (!text_started_ && mark_bytes_ != 0 && mark_bytes_ < kByteOrderMark.size())
        line_content(kByteOrderMark.data(), kByteOrderMark.data() + mark_bytes_);
    // A CR as the very last byte ends the last line like CR LF would.
    if (pending_cr_) {
        pending_cr_ = false;
        end_line();
    }
    switch (state_) {
        case State::preamble:
        case State::fastq_record_start:
        case State::blank_line:
            break;
        case State::header_blanks:
        case State::identifier:
        case State::header_rest:
        case State::fasta_line_start:
        case State::fasta_sequence:
            if (format_ == Format::fasta) {
                end_record();
                break;
            }
            [[fallthrough]];
        case State::fastq_sequence:
        case State::fastq_plus_start:
        case State::fastq_plus_rest:
            bad("the file ends inside a FASTQ record");
        case State::fastq_quality:
            end_fastq_record();
            break;
    }
    state_ = State::preamble;
}

void RecordParser::start_record() {
    out_.begin_record();
    state_ = State::header_blanks;
}

void RecordParser::end_record() {
    out_.end_record();
    ++records_;
}

void RecordParser::end_fastq_record() {
    const std::size_t sequence_length = out_.sequence_length();
    if (quality_length_ != sequence_length)
        bad("the quality has " + std::to_string(quality_length_) + " bytes, the sequence " +
            std::to_string(sequence_length));
    end_record();
}

void RecordParser::not_a_record_start() const {
    if (after_blank_ == State::preamble) bad("sequence data before the first '>' or '@' header line");
    bad("expected '@' at the start of a FASTQ record");
}

void RecordParser::bad(const std::string& what) const { throw InputError(file_, line_, what); }

void RecordParser::bad_cr() const { bad("a line ends in CR without LF"); }

void RecordParser::bad_byte(unsigned char byte) const {
    if (byte == '\r') bad_cr();
    char text[64];
    std::snprintf(text, sizeof text, "byte 0x%02X is not allowed in a sequence", byte);
    bad(text);
}

}  // namespace marlinox::command
