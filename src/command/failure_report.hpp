// What the command says when it fails: every failure, wherever it arises, is
// turned into its message and exit status here, and only here.
#pragma once

#include <optional>
#include <string>

namespace marlinox::command {

// A stage that stopped because another one failed first; it has nothing to
// report of its own.
struct Cancelled {};

struct FailureReport {
    int status;
    std::string message;  // written as "error: <message>"
};

// The report of the exception being handled; call it only inside a catch
// block. Nothing for Cancelled.
std::optional<FailureReport> report_of_current_exception();

}  // namespace marlinox::command
