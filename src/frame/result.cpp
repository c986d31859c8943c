#include "frame/result.hpp"

#include "frame/fault.hpp"
#include "frame/numpy.hpp"
#include "frame/text.hpp"

namespace tarnwick {
namespace {

/// Owner of a result array's memory.
struct SliceContainer {
    PyObject_HEAD
    void* memory;
};

void container_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    release_memory(reinterpret_cast<SliceContainer*>(self)->memory);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* container_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_SetString(PyExc_TypeError, cat("No constructor defined for ", type->tp_name).c_str());
    return nullptr;
}

PyType_Slot container_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(container_new)},
    {Py_tp_doc, const_cast<char*>("Owns the memory of an array returned by tarnwick_native.")},
    {0, nullptr},
};

PyType_Spec container_definition = {
    "tarnwick_runtime.PySliceContainer",           sizeof(SliceContainer), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, container_slots,
};

PyTypeObject* container_type() {
    // Created under the interpreter lock on first use, kept for the process.
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&container_definition));
        if (type == nullptr) {
            PyErr_Clear();
            fault("Failed to create slice container type");
        }
    }
    return type;
}

template <class T>
Ref make_array(Buffer<T>&& buffer, std::initializer_list<uint64_t> shape, int type_num) {
    ensure_numpy_api();
    // NumPy describes an array only if the element size times its non-zero
    // axes fits a signed 64-bit size: an empty result with a huge axis
    // (no features, n_bins_max = 2**61) is a capacity overflow, not a
    // ValueError from NumPy. It also keeps the strides below from overflowing.
    uint64_t extent = sizeof(T);
    for (uint64_t n : shape)
        if (n != 0) extent = checked_size(extent, n);
    npy_intp dims[3];
    npy_intp strides[3];
    int nd = int(shape.size());
    int axis = 0;
    for (uint64_t n : shape) dims[axis++] = npy_intp(n);
    npy_intp step = sizeof(T);
    for (int a = nd - 1; a >= 0; --a) {
        strides[a] = step;
        step *= dims[a];
    }

    PyTypeObject* type = container_type();
    auto* container = PyObject_New(SliceContainer, type);
    if (container == nullptr) {
        PyErr_Clear();
        fault("Failed to create slice container");
    }
    container->memory = buffer.data();
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(container));
    void* data = buffer.release();

    PyArray_Descr* descr = PyArray_DescrFromType(type_num);
    if (descr == nullptr) throw PythonError{};
    Ref array = Ref::steal(PyArray_NewFromDescr(&PyArray_Type, descr, nd, dims, strides, data,
                                                NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) throw PythonError{};
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), owner.release()) < 0)
        throw PythonError{};
    return array;
}

}  // namespace

Ref to_array(Buffer<double>&& buffer, std::initializer_list<uint64_t> shape) {
    return make_array(std::move(buffer), shape, NPY_FLOAT64);
}

Ref to_array(Buffer<int64_t>&& buffer, std::initializer_list<uint64_t> shape) {
    return make_array(std::move(buffer), shape, NPY_INT64);
}

Ref to_int(int64_t value) { return require(Ref::steal(PyLong_FromLongLong(value))); }

Ref to_float(double value) { return require(Ref::steal(PyFloat_FromDouble(value))); }

Ref to_int_list(std::span<const int64_t> values) {
    Ref list = require(Ref::steal(PyList_New(Py_ssize_t(values.size()))));
    for (size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), to_int(values[i]).release());
    return list;
}

Ref to_tuple(std::initializer_list<Ref*> items) {
    Ref tuple = require(Ref::steal(PyTuple_New(Py_ssize_t(items.size()))));
    Py_ssize_t i = 0;
    for (Ref* item : items) PyTuple_SET_ITEM(tuple.get(), i++, item->release());
    return tuple;
}

}  // namespace tarnwick
