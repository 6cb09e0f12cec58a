// The one owning reference handle, the one signal that a Python error is
// already set, and the checked forms of the C API calls every subsystem
// makes. Nothing here knows the module.
//
// Errors travel by one channel per layer:
// - the decoders (base64.hpp, json.hpp, credential::decode_values), whose
//   failure is the common outcome on hostile input, return it: an empty Ref
//   (or false) with the Python error set, for every failure. Their callers
//   never see them throw: a failure of the interpreter deep inside one is
//   reported the same way by `returning`, their edge;
// - everything else throws PyErrOccurred, caught once by the entry point
//   the interpreter called.
// The argument binder of function.cpp keeps the C API's own -1.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <optional>
#include <type_traits>
#include <utility>

namespace qt {

// Thrown when a C API call failed: the Python error indicator is already
// set. Entry points called by the interpreter catch it and return NULL/-1.
struct PyErrOccurred {};

[[noreturn]] inline void throw_error() { throw PyErrOccurred{}; }

// A move-only owner of one strong reference. An empty Ref means one thing:
// a Python error is set. A function returns it (Ref::error()) instead of
// unwinding where failing is the common outcome, as on hostile input;
// "nothing" of any other kind is a std::optional or a named result.
class Ref {
public:
    // A placeholder, assigned before it is read; left unassigned when the
    // step that was to fill it failed, so it stands for that error.
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    // No thread state is attached only while the interpreter, shutting
    // down, ends a daemon thread that was inside one of our calls: the
    // thread may no longer touch objects, so its references are left.
    ~Ref() {
        if (p_ != nullptr && PyThreadState_GetUnchecked() != nullptr) Py_DECREF(p_);
    }

    // The error already set, reported without unwinding.
    static Ref error() noexcept { return Ref(); }
    // Take over a new reference; NULL means a Python error is set.
    static Ref own(PyObject* p) {
        if (p == nullptr) throw_error();
        return Ref(p);
    }
    // The same, with NULL returned as Ref::error() instead of unwinding.
    static Ref own_or_error(PyObject* p) noexcept { return Ref(p); }
    // Take over a new reference where NULL means "none" with no error set
    // (a key not present, the end of an iteration).
    static std::optional<Ref> own_optional(PyObject* p) noexcept {
        if (p == nullptr) return std::nullopt;
        return Ref(p);
    }
    // Add a reference to a borrowed pointer.
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    Ref copy() const noexcept { return borrow(p_); }
    // False for the error Ref.
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(PyObject* other) const noexcept { return p_ == other; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

// Checked results: a negative status means a Python error is set.
inline int check(int status) {
    if (status < 0) throw_error();
    return status;
}
inline Py_ssize_t check_size(Py_ssize_t n) {
    if (n < 0) throw_error();
    return n;
}
inline Ref own(PyObject* p) { return Ref::own(p); }
inline Ref borrow(PyObject* p) { return Ref::borrow(p); }
inline Ref none() { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) { return Ref::borrow(b ? Py_True : Py_False); }
inline Ref text(const char* s) { return own(PyUnicode_FromString(s)); }
inline bool truthy(PyObject* o) { return check(PyObject_IsTrue(o)) != 0; }

// The edge of a layer that returns its errors: runs `body`, which may
// throw, and answers a thrown error as that layer reports one (an empty
// Ref, or false), the error left set.
template <class Body>
auto returning(Body&& body) noexcept -> decltype(body()) {
    using Result = decltype(body());
    static_assert(std::is_same_v<Result, Ref> || std::is_same_v<Result, bool>);
    const auto reported = []() -> Result {
        if constexpr (std::is_same_v<Result, bool>)
            return false;
        else
            return Ref::error();
    };
    try {
        return body();
    } catch (const PyErrOccurred&) {
        return reported();  // the error is already set
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return reported();
    }
}

// What a native fast path of a decoder made of a call it may decline: an
// answer, a failure (the host's own error, set natively), or a decline:
// the host function answers instead. Named, so that "the host decides" is
// never confused with an error.
class FastResult {
public:
    static FastResult answer(Ref value) noexcept { return FastResult(Kind::Answered, std::move(value)); }
    static FastResult failure() noexcept { return FastResult(Kind::Failed, Ref::error()); }
    static FastResult decline() noexcept { return FastResult(Kind::Declined, Ref::error()); }

    bool declined() const noexcept { return kind_ == Kind::Declined; }
    // The answer, or the empty Ref of the error set; not for Declined.
    Ref take() noexcept { return std::move(value_); }

private:
    enum class Kind { Answered, Failed, Declined };
    FastResult(Kind kind, Ref value) noexcept : kind_(kind), value_(std::move(value)) {}
    Kind kind_;
    Ref value_;
};

// The error currently set, taken out of the indicator (never empty).
inline Ref take_error() {
    PyObject* e = PyErr_GetRaisedException();
    if (e == nullptr) {
        PyErr_SetString(PyExc_SystemError, "error expected but none set");
        throw_error();
    }
    return Ref::own(e);
}
// Put a taken error back and unwind.
[[noreturn]] inline void rethrow(Ref err) {
    PyErr_SetRaisedException(err.release());
    throw_error();
}
// True when the error set is of the host's Exception family; errors
// outside it (KeyboardInterrupt, SystemExit) are never guarded.
inline bool error_is_exception() { return PyErr_ExceptionMatches(PyExc_Exception) != 0; }

// Calls: each returns a new reference or throws.
inline Ref call(PyObject* callable) { return own(PyObject_CallNoArgs(callable)); }
inline Ref call(PyObject* callable, PyObject* arg) { return own(PyObject_CallOneArg(callable, arg)); }
inline Ref call(PyObject* callable, PyObject* arg1, PyObject* arg2) {
    PyObject* argv[] = {arg1, arg2};
    return own(PyObject_Vectorcall(callable, argv, 2, nullptr));
}
inline Ref call(PyObject* callable, PyObject* arg1, PyObject* arg2, PyObject* arg3) {
    PyObject* argv[] = {arg1, arg2, arg3};
    return own(PyObject_Vectorcall(callable, argv, 3, nullptr));
}
inline Ref call_method(PyObject* obj, PyObject* name) { return own(PyObject_CallMethodNoArgs(obj, name)); }
inline Ref call_method(PyObject* obj, PyObject* name, PyObject* arg) {
    return own(PyObject_CallMethodOneArg(obj, name, arg));
}
inline Ref call_method(PyObject* obj, PyObject* name, PyObject* arg1, PyObject* arg2) {
    PyObject* argv[] = {obj, arg1, arg2};
    return own(PyObject_VectorcallMethod(name, argv, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
inline Ref getattr(PyObject* obj, PyObject* name) { return own(PyObject_GetAttr(obj, name)); }
inline Ref str_of(PyObject* obj) { return own(PyObject_Str(obj)); }
inline Ref repr_of(PyObject* obj) { return own(PyObject_Repr(obj)); }
// The next item of an iterator, nullopt at its end; throws on its error.
inline std::optional<Ref> next_item(PyObject* iterator) {
    PyObject* item = PyIter_Next(iterator);
    if (item == nullptr && PyErr_Occurred()) throw_error();
    return Ref::own_optional(item);
}

}  // namespace qt
