#include "command/failure_report.hpp"

#include <exception>
#include <new>
#include <system_error>

#include "command/exit_status.hpp"
#include "command/input_error.hpp"
#include "command/output_error.hpp"
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

}  // namespace marlinox::command
