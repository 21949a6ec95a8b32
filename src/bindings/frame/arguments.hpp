// Argument matching, written once for every entry point.
//
// Each callable is described by a static `Signature`: its owner class (or
// none), its name, its parameters in order, and how many leading ones are
// required. `match` binds a fast call (or a constructor's tuple and dict) to
// the parameters with CPython's own messages, so every entry point reports a
// wrong call the same way. Conversion of each bound argument follows
// (convert.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "ref.hpp"

// A fast-call entry point as the PyCFunction a method table holds: the
// table's flags (METH_FASTCALL | METH_KEYWORDS) tell CPython its real type.
// The one cast of the bindings, for every module and class.
#define ORNEL_PYCFUNCTION(function) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(function))

namespace ornel::py {

struct Signature {
    const char* owner;  // class name, or nullptr for a module function
    const char* name;
    const char* const* parameters;
    std::size_t count;
    std::size_t required;

    // "f()" for a module function, "Class.f()" for a method.
    std::string display() const;
};

// Bound arguments, borrowed; nullptr where a parameter was not given.
template <std::size_t N>
using Bound = std::array<PyObject*, N>;

void match_into(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
void match_into(const Signature& signature, PyObject* args_tuple, PyObject* kwargs_dict, PyObject** out);

template <std::size_t N>
struct Parameters {
    std::array<const char*, N> names;
    std::size_t required;

    Signature of(const char* owner, const char* name) const { return {owner, name, names.data(), N, required}; }
};

template <std::size_t N>
Bound<N> match(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Bound<N> bound{};
    match_into(signature, args, nargs, kwnames, bound.data());
    return bound;
}

template <std::size_t N>
Bound<N> match(const Signature& signature, PyObject* args_tuple, PyObject* kwargs_dict) {
    Bound<N> bound{};
    match_into(signature, args_tuple, kwargs_dict, bound.data());
    return bound;
}

}  // namespace ornel::py
