// How both extension modules declare themselves: multi-phase initialisation,
// with the same promises to the interpreter. Neither needs the GIL (no entry
// point touches a Python object with the lock released); neither supports
// subinterpreters, since NumPy's API and the type and result-container caches
// are process-wide.
#pragma once

#include <array>
#include <cstddef>

#include "ref.hpp"

namespace ornel::py {

// A module's slots: its exec function when it has one, then the shared
// promises, then the zero slot that ends the list.
using ModuleSlots = std::array<PyModuleDef_Slot, 4>;

inline ModuleSlots module_slots(int (*exec)(PyObject*) = nullptr) {
    ModuleSlots slots{};  // value-initialised: whatever is not set is the terminator
    std::size_t count = 0;
    if (exec != nullptr) slots[count++] = {Py_mod_exec, reinterpret_cast<void*>(exec)};
#ifdef Py_mod_gil
    slots[count++] = {Py_mod_gil, Py_MOD_GIL_NOT_USED};
#endif
#ifdef Py_mod_multiple_interpreters
    slots[count++] = {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED};
#endif
    return slots;
}

// The definition PyModuleDef_Init is handed; `slots` and the result must
// live as long as the process (namespace-scope objects).
inline PyModuleDef module_definition(const char* name, const char* doc, PyMethodDef* functions, ModuleSlots& slots) {
    return {PyModuleDef_HEAD_INIT, name, doc, 0, functions, slots.data(), nullptr, nullptr, nullptr};
}

}  // namespace ornel::py
