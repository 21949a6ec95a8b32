// The classes PreparedF32 and PreparedF64: one immutable PreparedGraph each.
#pragma once

#include "../../lib/operand.hpp"
#include "../frame/holder.hpp"
#include "../frame/ref.hpp"

namespace ornel::py {

// The class object, created from its type description on first use.
template <class S>
PyTypeObject* prepared_type();

// The graph of `object`, which must be an instance of the same precision's
// class; else the object refusal naming that class.
template <class S>
const PreparedGraph<S>& prepared_arg(PyObject* object);

template <class S>
const PreparedGraph<S>& graph_of_self(PyObject* self) {
    return held<PreparedGraph<S>>(self);
}

}  // namespace ornel::py
