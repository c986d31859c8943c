// The call frame around every function of the module: a result, a Python
// error or an internal fault becomes a new reference or NULL with an
// exception set. No C++ exception crosses into the interpreter.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "frame/fault.hpp"

namespace tarnwick {

/// Sets PanicException (created on first need) carrying the fault's message.
void raise_panic(Fault& fault) noexcept;

/// Runs body, which returns a new reference, behind the fault barrier.
template <class Body>
PyObject* run_frame(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        return nullptr;
    } catch (Fault& f) {
        raise_panic(f);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        Fault f(e.what());
        raise_panic(f);
    } catch (...) {
        Fault f("native code failed without a message");
        raise_panic(f);
    }
    return nullptr;
}

}  // namespace tarnwick
