#include "command/rows/row_writer.hpp"

#include <signal.h>

#include <cerrno>
#include <mutex>
#include <string_view>

#include "command/process/terminal.hpp"
#include "command/rows/spare_rows.hpp"

namespace marlinox::command {

void write_rows(Handoff<RowBlocks>& rows, const std::string& header) {
    const auto write = [](std::string_view bytes) {
        std::lock_guard lock(terminal_mutex());
        const int error = write_all(1, bytes);
        if (error == 0) return;
        if (error == EPIPE) {
            // The reader has gone (head): stop as quietly as a process that
            // never ignored SIGPIPE.
            clear_progress_line_locked();
            ::signal(SIGPIPE, SIG_DFL);
            ::raise(SIGPIPE);
        }
        throw OutputError(error);
    };
    if (!header.empty()) write(header);
    while (std::optional<RowBlocks> next = rows.take()) {
        for (std::string& block : next->blocks) {
            write(block);
            give_row_buffer(std::move(block));
        }
        if (next->error) throw *next->error;
    }
}

}  // namespace marlinox::command
