#include "frame.hpp"

#include "shared.hpp"

#include <exception>
#include <new>
#include <stdexcept>
#include <atomic>
#include <string>
#include <vector>

namespace trelvane::py {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

namespace {

std::string display_name(const ArgumentSpec& signature) { return std::string(signature.name) + "()"; }

[[noreturn]] void raise_binding_error(const std::string& message) {
    raise(PyExc_TypeError, message.c_str());
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += (i + 1 == names.size()) ? " and " : " ";
        out += "'" + std::string(names[i]) + "'";
        if (names.size() > 2 && i + 1 < names.size()) out += ",";
    }
    return out;
}

}  // namespace

void parse_arguments(const ArgumentSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> slots) {
    const std::size_t count = signature.parameters.size();
    if (slots.size() != count) fail("argument slots do not match the parameters");
    const std::size_t positional = count - signature.keyword_only.size();
    for (auto& slot : slots) slot = nullptr;

    const auto given = static_cast<std::size_t>(nargs);
    if (given > positional)
        raise_binding_error(display_name(signature) + " takes from " + std::to_string(signature.required) +
                            " to " + std::to_string(positional) + " positional arguments but " +
                            std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    for (std::size_t i = 0; i < given; ++i) slots[i] = args[i];

    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        std::size_t match = count;
        for (std::size_t i = signature.positional_only; i < count; ++i)
            if (PyUnicode_EqualToUTF8(key, signature.parameters[i])) {
                match = i;
                break;
            }
        if (match == count) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                         display_name(signature).c_str(), key);
            throw PythonError{};
        }
        if (slots[match])
            raise_binding_error(display_name(signature) + " got multiple values for argument '" +
                                signature.parameters[match] + "'");
        slots[match] = args[nargs + k];
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i)
        if (!slots[i]) missing.push_back(signature.parameters[i]);
    if (!missing.empty())
        raise_binding_error(display_name(signature) + " missing " + std::to_string(missing.size()) +
                            " required positional " +
                            (missing.size() == 1 ? "argument" : "arguments") + ": " +
                            name_list(missing));
}

void attach_note(PyObject* exception, PyObject* text) {
    if (text) Py_XDECREF(PyObject_CallMethod(exception, "add_note", "N", text));
    PyErr_Clear();  // keep the original error rather than the note's
    PyErr_SetRaisedException(exception);
}

void add_argument_note(const char* name) {
    add_note([&] { return PyUnicode_FromFormat("while processing '%s'", name); });
}

double to_double(PyObject* value) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    const double d = PyFloat_AsDouble(value);
    check_python(!(d == -1.0 && PyErr_Occurred()));
    return d;
}

std::string_view to_utf8(PyObject* value) {
    if (!PyUnicode_Check(value)) raise_wrong_type(value, "str");
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    check_python(text != nullptr);
    return {text, static_cast<std::size_t>(size)};
}

void raise_wrong_type(PyObject* value, const char* required) {
    if (value == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", required);
        throw PythonError{};
    }
    Ref name = checked(PyType_GetQualName(Py_TYPE(value)));
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), required);
    throw PythonError{};
}

PyObject* panic_exception() {
    static std::atomic<PyObject*> type{nullptr};
    static PyMutex mutex;
    try {
        return once_per_process(type, mutex, [] {
            return PyErr_NewExceptionWithDoc(
                "trelvane.PanicException",
                "An internal invariant of trelvane failed. This is a bug, not a problem with the input.",
                PyExc_BaseException, nullptr);
        });
    } catch (const PythonError&) {
        return nullptr;
    }
}

namespace {

void raise_panic(const char* message) {
    if (PyObject* type = panic_exception()) PyErr_SetString(type, message);
}

}  // namespace

PyObject* guard_failures(PyObject* (*body)(void*), void* context) noexcept {
    try {
        PyObject* result = body(context);
        if (!result && !PyErr_Occurred()) raise_panic("an entry point failed without an exception");
        return result;
    } catch (const PythonError&) {
        if (!PyErr_Occurred()) raise_panic("an entry point failed without an exception");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {  // a container size beyond what can be represented
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_panic(e.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return nullptr;
}

}  // namespace trelvane::py
