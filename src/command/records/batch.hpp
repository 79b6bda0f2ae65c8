// Records cut from the input, in batches of about --batch-bytes: the bytes of
// every identifier and sequence in one block, and where each record lies in it.
#pragma once

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "command/failures/failures.hpp"

namespace marlinox::command {

// A growable byte block that, unlike std::string or std::vector, neither fills
// fresh room with zeros nor doubles its reservation when it is already large
// enough for the batch: untouched pages stay unmapped.
class ByteBlock {
public:
    ByteBlock() = default;
    explicit ByteBlock(std::size_t capacity) { reserve(capacity); }

    std::size_t size() const noexcept { return size_; }
    const char* data() const noexcept { return data_.get(); }
    std::string_view view(std::size_t offset, std::size_t length) const noexcept {
        return {data_.get() + offset, length};
    }

    void append(const char* bytes, std::size_t count) {
        if (count > capacity_ - size_) reserve(std::max(size_ + count, capacity_ + capacity_ / 2));
        std::memcpy(data_.get() + size_, bytes, count);
        size_ += count;
    }
    void truncate(std::size_t size) noexcept { size_ = size; }
    std::size_t capacity() const noexcept { return capacity_; }

private:
    struct Free {
        void operator()(char* p) const noexcept { std::free(p); }
    };
    void reserve(std::size_t capacity) {
        // A whole number of huge pages with the allocator's header, which the
        // kernel then maps at a huge page's boundary.
        if (capacity >= kHugePage) capacity = (capacity + kPage + kHugePage - 1) / kHugePage * kHugePage - kPage;
        char* grown = static_cast<char*>(std::realloc(data_.get(), capacity == 0 ? 1 : capacity));
        if (grown == nullptr) throw std::bad_alloc();
        (void)data_.release();
        data_.reset(grown);
        capacity_ = capacity;
        ask_for_huge_pages();
    }
    // A block of megabytes filled once per batch takes a page fault per 4 KiB
    // page otherwise; a fresh batch of a long record is read while the
    // workers wait for it. Only advice: the pages stay small where it is not
    // taken. The advice covers whole pages, so that the allocator's mapping
    // stays one piece that it can grow in place.
    void ask_for_huge_pages() noexcept {
#if defined(MADV_HUGEPAGE)
        if (capacity_ < kHugePage) return;
        const auto begin = reinterpret_cast<std::uintptr_t>(data_.get()) & ~(kPage - 1);
        const auto end = (reinterpret_cast<std::uintptr_t>(data_.get()) + capacity_ + kPage - 1) & ~(kPage - 1);
        (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
    }

    static constexpr std::size_t kHugePage = std::size_t{2} << 20, kPage = 4096;

    std::unique_ptr<char, Free> data_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

struct RecordSpan {
    std::size_t identifier_offset;
    std::size_t identifier_length;
    std::size_t sequence_offset;
    std::size_t sequence_length;
    std::size_t file;  // index of the input file, in command-line order
};

struct Batch {
    ByteBlock bytes;
    std::vector<RecordSpan> records;
    // Bad input found after the last of these records: reported once their
    // rows are written.
    std::optional<InputError> error;

    std::string_view identifier(const RecordSpan& r) const { return bytes.view(r.identifier_offset, r.identifier_length); }
    std::string_view sequence(const RecordSpan& r) const { return bytes.view(r.sequence_offset, r.sequence_length); }
};

// A batch whose rows are done, kept for the reader to fill again: its pages
// are already mapped, which saves the kernel zeroing fresh ones for every batch.
class SpareBatch {
public:
    void give(Batch&& batch) {
        batch.bytes.truncate(0);
        batch.records.clear();
        batch.error.reset();
        std::lock_guard lock(mutex_);
        spare_ = std::move(batch);
    }
    std::optional<Batch> take() {
        std::lock_guard lock(mutex_);
        std::optional<Batch> batch = std::move(spare_);
        spare_.reset();
        return batch;
    }

private:
    std::mutex mutex_;
    std::optional<Batch> spare_;
};

// Fills batches record by record and hands each one on when the next bytes
// would take it past the budget. A record that is still being read moves on
// into the next batch, so a batch exceeds the budget only when a single record
// does. The budget covers the rows the batch will be written as too, which
// hold more than the records themselves when every row names a long file.
class BatchBuilder {
public:
    using Emit = std::function<void(Batch&&)>;
    // The most bytes the rows of a complete record will take.
    using RowBytes = std::function<std::size_t(const RecordSpan&)>;
    // Batches stay within `budget` bytes, and within kLargestBudget however
    // large `budget` is: a batch that fits in the processor's caches is read
    // by the analysis while it is still there (a 64 MiB batch costs about a
    // third more processor time).
    static constexpr std::size_t kLargestBudget = std::size_t{4} << 20;

    BatchBuilder(std::size_t budget, Emit emit, SpareBatch* spare = nullptr, RowBytes row_bytes = {})
        : budget_(std::min(budget, kLargestBudget)),
          emit_(std::move(emit)),
          spare_(spare),
          row_bytes_(std::move(row_bytes)) {
        renew();
    }

    // The records from here on come from input file `index`.
    void set_file(std::size_t index) noexcept { file_ = index; }
    void begin_record() noexcept {
        record_start_ = batch_.bytes.size();
        header_length_ = 0;
        identifier_start_ = 0;
        identifier_length_ = 0;
    }
    // Bytes of the header line kept with the record around the identifier
    // (FASTQ keeps the whole line for the check of the '+' line).
    void append_header(const char* bytes, std::size_t count) {
        make_room(count);
        batch_.bytes.append(bytes, count);
        header_length_ += count;
    }
    void append_identifier(const char* bytes, std::size_t count) {
        if (identifier_length_ == 0) identifier_start_ = header_length_;
        append_header(bytes, count);
        identifier_length_ += count;
    }
    void append_sequence(const char* bytes, std::size_t count) {
        make_room(count);
        batch_.bytes.append(bytes, count);
    }
    // The header bytes kept of the record being read; valid until the next append.
    std::string_view header() const noexcept { return batch_.bytes.view(record_start_, header_length_); }
    // Bytes of sequence of the record being read so far.
    std::size_t sequence_length() const noexcept {
        return batch_.bytes.size() - record_start_ - header_length_;
    }
    void end_record() {
        const std::size_t sequence_offset = record_start_ + header_length_;
        batch_.records.push_back({record_start_ + identifier_start_, identifier_length_, sequence_offset,
                                  batch_.bytes.size() - sequence_offset, file_});
        if (row_bytes_) rows_held_ += row_bytes_(batch_.records.back());
        begin_record();
        // Records without bytes fill a batch too, so that memory stays
        // bounded and rows flow however small the records are.
        if (held() >= current_budget_) hand_on();
    }
    // Drops the bytes of a record that will not be completed.
    void abandon_record() noexcept {
        batch_.bytes.truncate(record_start_);
        begin_record();
    }
    // The last batch, with `error` to report after its records, if any.
    void finish(std::optional<InputError> error) {
        abandon_record();
        batch_.error = std::move(error);
        emit_(std::move(batch_));
    }

private:
    static constexpr std::size_t kRecordCost = sizeof(RecordSpan);

    // What the batch costs: its bytes, its records (the one being read
    // included) and their rows.
    std::size_t held() const noexcept {
        return batch_.bytes.size() + (batch_.records.size() + 1) * kRecordCost + rows_held_;
    }

    void make_room(std::size_t count) {
        if (batch_.records.empty()) return;
        if (held() + count <= current_budget_) return;
        hand_on();
    }
    // Hands the complete records on; the record being read moves on into the
    // next batch.
    void hand_on() {
        current_budget_ = std::min(budget_, current_budget_ * 2);
        Batch full = std::move(batch_);
        renew();
        rows_held_ = 0;
        const std::size_t partial = full.bytes.size() - record_start_;
        batch_.bytes.append(full.bytes.data() + record_start_, partial);
        full.bytes.truncate(record_start_);
        record_start_ = 0;
        emit_(std::move(full));
    }
    void renew() {
        if (spare_ != nullptr) {
            if (std::optional<Batch> reused = spare_->take()) {
                batch_ = std::move(*reused);
                return;
            }
        }
        batch_ = Batch{};
        batch_.bytes = ByteBlock(budget_);
        batch_.records.reserve(std::min<std::size_t>(budget_ / 64 + 1, 1u << 20));
    }

    std::size_t budget_;
    // The first batches are small so that the analysis starts early; the
    // budget doubles with every batch.
    std::size_t current_budget_ = std::min(budget_, std::size_t{1} << 20);
    Emit emit_;
    SpareBatch* spare_;
    RowBytes row_bytes_;
    Batch batch_;
    std::size_t rows_held_ = 0;
    std::size_t record_start_ = 0;
    // Of the record being read, relative to record_start_.
    std::size_t header_length_ = 0;
    std::size_t identifier_start_ = 0;
    std::size_t identifier_length_ = 0;
    std::size_t file_ = 0;
};

}  // namespace marlinox::command
