#pragma once

#include <Python.h>

#include <utility>

namespace morvane::python {

// Owns one strong reference to a Python object. Every reference the module
// holds goes through this type, so each exit path releases what it took.
// Must be destroyed with the interpreter lock held.
class PyRef {
public:
    PyRef() noexcept = default;
    // Takes over a new reference (what most C-API calls return). Null allowed.
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef& other) noexcept : object_(other.object_) { Py_XINCREF(object_); }
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef other) noexcept {
        std::swap(object_, other.object_);
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    // Gives the reference away (to a C-API call that steals, or as a result).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace morvane::python
