// The frame shared by every entry point: argument binding, value conversion
// with the argument's name attached to failures, the guard that keeps C++
// exceptions out of the interpreter, and detaching around a computation.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <span>
#include <string_view>

namespace trelvane::py {

// Thrown inside the binding layer once a Python exception has been set.
struct PythonError {};

// Sets the exception and throws PythonError.
[[noreturn]] void raise(PyObject* type, const char* message);
// Throws PythonError if a Python exception is set.
inline void check_python(bool ok) {
    if (!ok) throw PythonError{};
}

struct ArgumentSpec {
    const char* name;                           // function name, without "()"
    std::span<const char* const> parameters;    // in declaration order
    std::size_t required;                       // leading parameters without a default
    std::size_t positional_only;                // leading parameters not passable by keyword
    std::span<const char* const> keyword_only;  // trailing parameters not passable by position
};

// Binds a vector call to signature: slots[i] receives a borrowed reference to the
// argument of parameter i, or nullptr when absent. Raises TypeError on
// binding errors. Converts nothing.
void parse_arguments(const ArgumentSpec& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<PyObject*> slots);

// Attaches exception's note text (a new reference, taken over; nullptr for
// none), clears any error that making or attaching it raised, and raises
// exception again. A note that fails is left out: the error stays the caller's.
void attach_note(PyObject* exception, PyObject* text);

// Attaches the note make() returns to the exception being raised; make runs
// with that exception put aside, and may throw PythonError.
template <class Make>
void add_note(Make&& make) {
    PyObject* exception = PyErr_GetRaisedException();
    if (!exception) return;
    PyObject* text = nullptr;
    try {
        text = make();
    } catch (const PythonError&) {
    }
    attach_note(exception, text);
}

// Attaches the note "while processing '<name>'" to the exception being raised.
void add_argument_note(const char* name);

// Runs convert(); a Python exception it raises gets the note
// "while processing '<name>'" before it propagates.
template <class Convert>
auto converting(const char* name, Convert&& convert) -> decltype(convert()) {
    try {
        return convert();
    } catch (const PythonError&) {
        add_argument_note(name);
        throw;
    }
}

// Value conversions; each throws PythonError with the exception set.
double to_double(PyObject* value);
std::string_view to_utf8(PyObject* value);  // str or a subclass; valid while value lives
// TypeError "'<type>' object is not an instance of '<required>'" (or
// "'None' is not an instance of '<required>'").
[[noreturn]] void raise_wrong_type(PyObject* value, const char* required);

// Runs body() and returns its result. Python errors pass through, memory
// exhaustion (and sizes beyond any allocation) becomes MemoryError, every
// other C++ exception PanicException:
// nothing unwinds into the interpreter.
PyObject* guard_failures(PyObject* (*body)(void*), void* context) noexcept;
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    return guard_failures([](void* ctx) { return (*static_cast<Body*>(ctx))(); }, &body);
}

// The class PanicException (base BaseException), created once per process;
// nullptr with the exception set if that fails.
PyObject* panic_exception();

// The object create() makes (a new reference, kept for the life of the
// process), made once per process however many threads race to it. The lock
// detaches while it waits, so it cannot deadlock with a thread that holds the
// interpreter or the import lock. A failed creation (create() returns nullptr
// or throws PythonError) is tried again by the next caller.
template <class Create>
PyObject* once_per_process(std::atomic<PyObject*>& slot, PyMutex& mutex, Create&& create) {
    // Pairs with the release below: a thread that sees the object sees it made.
    if (PyObject* made = slot.load(std::memory_order_acquire)) return made;
    PyMutex_Lock(&mutex);
    struct Unlock {
        PyMutex& mutex;
        ~Unlock() { PyMutex_Unlock(&mutex); }
    } unlock{mutex};
    PyObject* made = slot.load(std::memory_order_relaxed);  // the lock orders it
    if (!made) {
        made = create();
        check_python(made != nullptr);
        slot.store(made, std::memory_order_release);  // publishes the object to the acquire above
    }
    return made;
}

// Detaches the calling thread from the interpreter for its lifetime.
class Detached {
public:
    Detached() : state_(PyEval_SaveThread()) {}
    ~Detached() { PyEval_RestoreThread(state_); }
    Detached(const Detached&) = delete;
    Detached& operator=(const Detached&) = delete;

private:
    PyThreadState* state_;
};

// A strong reference released at scope exit.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* owned) : p_(owned) {}
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// Checks a new reference: throws PythonError when it is null.
inline Ref checked(PyObject* owned) {
    check_python(owned != nullptr);
    return Ref(owned);
}

}  // namespace trelvane::py
