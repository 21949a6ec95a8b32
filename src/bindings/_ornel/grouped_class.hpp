// The classes GroupedQueriesF32 and GroupedQueriesF64: one immutable
// GroupedQueries each, made only by their static method `prepare`.
#pragma once

#include "../../lib/grouped_queries.hpp"
#include "../frame/holder.hpp"
#include "../frame/ref.hpp"

namespace ornel::py {

// The class object, created from its type description on first use.
template <class S>
PyTypeObject* grouped_type();

// The grouped set of `object`, which must be an instance of the same
// precision's class; else the object refusal naming that class.
template <class S>
const GroupedQueries<S>& grouped_arg(PyObject* object);

}  // namespace ornel::py
