// Helpers around interpreter calls that create objects.
#pragma once

#include <source_location>
#include <string>
#include <string_view>

#include "python/result.hpp"

namespace marlinox::py {

// The null-result rule: a NULL from an object-creating interpreter call reports
// the pending exception through the unraisable hook and starts the internal
// failure "PyObject pointer is null". Otherwise takes over the new reference.
PyRef new_object(PyObject* object,
                 std::source_location where = std::source_location::current());

// A new str from UTF-8 bytes (null-result rule on failure).
PyRef new_str(std::string_view utf8);

// Text of a Python str as UTF-8; lone surrogates are encoded with
// "surrogatepass" and every invalid byte becomes U+FFFD.
std::string utf8_lossy(PyObject* text);

// str() of any object as UTF-8 text; when str() fails with an ordinary
// Exception, it goes to the unraisable hook and "<unprintable {type} object>"
// stands in its place. Any other failure (KeyboardInterrupt, ...) is returned.
Result<std::string> display_text(PyObject* object);

// Replaces every byte that does not belong to a well-formed UTF-8 character by
// U+FFFD (an encoded lone surrogate becomes three of them).
std::string repair_utf8(std::string_view bytes);

// The two interned attribute names the module needs, created once per process.
PyObject* interned_name();  // "__name__"
PyObject* interned_all();   // "__all__"

}  // namespace marlinox::py
