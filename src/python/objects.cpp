#include "python/objects.hpp"

#include <cstdint>

#include "failure/internal_failure.hpp"
#include "python/once.hpp"
#include "python/pyerr.hpp"

namespace marlinox::py {

PyRef new_object(PyObject* object, std::source_location where) {
    if (object) return PyRef::steal(object);
    if (auto error = PyErr::take()) {
        std::move(*error).restore();
        PyErr_WriteUnraisable(nullptr);
    }
    fail("PyObject pointer is null", where);
}

PyRef new_str(std::string_view utf8) {
    return new_object(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
}

std::string repair_utf8(std::string_view bytes) {
    static constexpr std::string_view replacement = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(bytes.size());
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        std::uint8_t lead = p[i];
        std::size_t need = 0;
        std::uint8_t low = 0x80, high = 0xBF;  // range of the second byte
        if (lead < 0x80) {
            out.push_back(static_cast<char>(lead));
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            need = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            need = 2;
            if (lead == 0xE0) low = 0xA0;
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            need = 3;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;
        } else {
            out += replacement;
            ++i;
            continue;
        }
        // Accept the longest valid prefix; a broken sequence becomes one U+FFFD.
        std::size_t j = i + 1;
        bool complete = true;
        for (std::size_t k = 0; k < need; ++k, ++j) {
            std::uint8_t lo = k == 0 ? low : 0x80, hi = k == 0 ? high : 0xBF;
            if (j >= n || p[j] < lo || p[j] > hi) {
                complete = false;
                break;
            }
        }
        if (complete)
            out.append(bytes.substr(i, need + 1));
        else
            out += replacement;
        i = j;
    }
    return out;
}

std::string utf8_lossy(PyObject* text) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size))
        return std::string(utf8, static_cast<std::size_t>(size));
    (void)PyErr::take();  // lone surrogates: encode them anyway, then repair
    PyRef bytes = new_object(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
    return repair_utf8(std::string_view(PyBytes_AS_STRING(bytes.get()),
                                        static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))));
}

std::string display_text(PyObject* object) {
    PyRef text = PyRef::steal(PyObject_Str(object));
    if (text) return utf8_lossy(text.get());
    if (auto error = PyErr::take()) {
        std::move(*error).restore();
        PyErr_WriteUnraisable(object);
    }
    PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    if (!type_name) {
        (void)PyErr::take();
        return "<unprintable object>";
    }
    return "<unprintable " + utf8_lossy(type_name.get()) + " object>";
}

namespace {

PyObject* intern(GilOnceCell& cell, std::string_view text) {
    return cell.get_or_create([&] {
        PyObject* name = new_str(text).release();
        PyUnicode_InternInPlace(&name);
        return name;
    });
}

GilOnceCell name_cell;
GilOnceCell all_cell;

}  // namespace

PyObject* interned_name() { return intern(name_cell, "__name__"); }
PyObject* interned_all() { return intern(all_cell, "__all__"); }

}  // namespace marlinox::py
