#pragma once

#include <new>

#include "failure/internal_failure.hpp"

namespace marlinox::py {

inline constexpr const char* failure_without_message =
    "marlinox native code failed with an error that carries no message";

template <class Body>
std::optional<PyErr> catch_failures(Body&& body) {
    try {
        return body();
    } catch (const InternalFailure& failure) {
        return PyErr::panic(failure.message());
    } catch (const std::bad_alloc&) {
        // Native memory ran out: report it the way Python reports its own.
        PyErr_NoMemory();
        return PyErr::fetch();
    } catch (...) {
        return PyErr::panic(failure_without_message);
    }
}

}  // namespace marlinox::py
