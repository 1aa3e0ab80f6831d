// The owner of native memory lent to NumPy arrays, and the few conversions
// to and from float64 arrays. This is the only file that talks to the NumPy
// C API; its API table is private to it and imported on first use, so
// importing morvane does not import NumPy.
#include "python/slice_container.hpp"

#include <numpy/arrayobject.h>

#include <complex>
#include <cstring>
#include <type_traits>

#include "python/py_ref.hpp"

namespace morvane::python {

namespace {

struct SliceContainer {
    PyObject_HEAD void* amplitudes;  // complex128 or complex64
};

void slice_container_dealloc(PyObject* self) {
    auto* container = reinterpret_cast<SliceContainer*>(self);
    sim::AmplitudeDeleter{}(container->amplitudes);
    container->amplitudes = nullptr;
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyType_Slot slice_container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_doc, const_cast<char*>("Owns the native memory behind a NumPy array returned by "
                                  "morvane; the array keeps it alive as its base.")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "morvane.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    slice_container_slots,
};

// Created on first use and kept for the life of the process, like the
// exception classes. Both are set with the interpreter lock held, which
// serialises first uses.
PyObject* slice_container_type = nullptr;
bool numpy_ready = false;

bool prepare() {
    if (!numpy_ready) {
        if (PyArray_ImportNumPyAPI() < 0) return false;
        numpy_ready = true;
    }
    if (slice_container_type == nullptr) {
        PyObject* type = PyType_FromSpec(&slice_container_spec);
        if (type == nullptr) return false;
        // Creating the type may have run Python code that let another thread
        // in first; keep whichever came first.
        if (slice_container_type == nullptr) {
            slice_container_type = type;
        } else {
            Py_DECREF(type);
        }
    }
    return true;
}

}  // namespace

namespace {

template <class Real>
PyObject* adopt_amplitudes(sim::AmplitudeBufferOf<Real> amplitudes, std::size_t size) {
    if (!prepare()) return nullptr;
    auto* type = reinterpret_cast<PyTypeObject*>(slice_container_type);
    PyObject* raw = type->tp_alloc(type, 0);
    if (raw == nullptr) return nullptr;  // `amplitudes` frees the buffer
    PyRef container = PyRef::steal(raw);
    std::complex<Real>* data = amplitudes.release();
    reinterpret_cast<SliceContainer*>(raw)->amplitudes = data;

    npy_intp dims[1] = {static_cast<npy_intp>(size)};
    const int dtype = std::is_same_v<Real, float> ? NPY_COMPLEX64 : NPY_COMPLEX128;
    PyRef array = PyRef::steal(PyArray_SimpleNewFromData(1, dims, dtype, data));
    if (!array) return nullptr;  // the container still owns and frees the buffer
    // Steals the container reference even when it fails.
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()),
                              container.release()) < 0) {
        return nullptr;
    }
    return array.release();
}

}  // namespace

PyObject* amplitudes_to_array(sim::AmplitudeBuffer amplitudes, std::size_t size) {
    return adopt_amplitudes<double>(std::move(amplitudes), size);
}

PyObject* amplitudes_to_array(sim::AmplitudeBufferOf<float> amplitudes, std::size_t size) {
    return adopt_amplitudes<float>(std::move(amplitudes), size);
}

PyObject* doubles_to_array(std::span<const double> values, std::span<const std::size_t> shape) {
    if (!prepare()) return nullptr;
    npy_intp dims[2] = {0, 0};
    for (std::size_t d = 0; d < shape.size() && d < 2; ++d) dims[d] = static_cast<npy_intp>(shape[d]);
    PyObject* array = PyArray_SimpleNew(static_cast<int>(shape.size()), dims, NPY_FLOAT64);
    if (!array) return nullptr;
    if (!values.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), values.data(),
                    values.size() * sizeof(double));
    }
    return array;
}

std::optional<DoubleArray> to_double_array(PyObject* value) {
    if (!prepare()) return std::nullopt;
    PyRef array = PyRef::steal(PyArray_FromAny(value, PyArray_DescrFromType(NPY_FLOAT64), 0, 0,
                                               NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED,
                                               nullptr));
    if (!array) return std::nullopt;
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    DoubleArray out;
    for (int d = 0; d < PyArray_NDIM(a); ++d) out.shape.push_back(static_cast<std::size_t>(PyArray_DIM(a, d)));
    const auto* data = static_cast<const double*>(PyArray_DATA(a));
    out.values.assign(data, data + PyArray_SIZE(a));
    return out;
}

}  // namespace morvane::python
