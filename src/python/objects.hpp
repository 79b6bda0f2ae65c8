// Helpers around interpreter calls that create objects.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

#include "python/result.hpp"

namespace marlinox::py {

// Takes over the new reference an object-creating interpreter call returned.
// A NULL instead reports the pending exception through the unraisable hook and
// starts the internal failure "PyObject pointer is null".
PyRef new_object(PyObject* object,
                 std::source_location where = std::source_location::current());

// What new_object does with a NULL: reports the pending exception, if any,
// through the unraisable hook and starts the internal failure.
[[noreturn]] void fail_null_result(std::source_location where);

// A new str from UTF-8 bytes; a failure is handled as by new_object.
PyRef new_str(std::string_view utf8);

// Text of a Python str as UTF-8; lone surrogates are encoded with
// "surrogatepass" and every invalid byte becomes U+FFFD.
std::string utf8_lossy(PyObject* text);

// str() of any object as UTF-8 text; when str() fails with an ordinary
// Exception, it goes to the unraisable hook and "<unprintable {type} object>"
// stands in its place. Any other failure (KeyboardInterrupt, ...) is returned.
Result<std::string> display_text(PyObject* object);

// The two interned attribute names the module needs, created once per process.
PyObject* interned_name();  // "__name__"
PyObject* interned_all();   // "__all__"

}  // namespace marlinox::py
