#include "command/failures/failure_report.hpp"

#include <exception>
#include <new>
#include <system_error>

#include "command/failures/failures.hpp"
#include "failure/internal_failure.hpp"

namespace marlinox::command {

std::optional<FailureReport> report_of_current_exception() {
    try {
        throw;
    } catch (const Cancelled&) {
        return std::nullopt;
    } catch (const InputError& error) {
        return FailureReport{kExitBadInput, error.describe()};
    } catch (const OutputError& error) {
        return FailureReport{kExitFailure, error.what()};
    } catch (const InternalFailure& failure) {
        return FailureReport{kExitFailure, "internal: " + failure.message()};
    } catch (const std::bad_alloc&) {
        return FailureReport{kExitFailure, "out of memory"};
    } catch (const std::exception& error) {
        // Among them std::system_error: a thread the system refused to start.
        return FailureReport{kExitFailure, std::string("internal: ") + error.what()};
    } catch (...) {
        return FailureReport{kExitFailure, "internal: unknown failure"};
    }
}

void FirstFailure::record_current_exception() {
    std::optional<FailureReport> report = report_of_current_exception();
    std::lock_guard lock(mutex_);
    if (report && !first_) first_ = std::move(report);
}

}  // namespace marlinox::command
