// Every Python-visible function and method, by family. Module functions take
// the module as `self`; methods take their instance.
#pragma once

#include "../frame/ref.hpp"

namespace ornel::py {

#define ORNEL_FASTCALL(name) PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// Single nearest (nearest_entry_points.cpp).
ORNEL_FASTCALL(all_nearest_neighbours);
ORNEL_FASTCALL(all_nearest_neighbours_f32);
template <class S>
ORNEL_FASTCALL(prepared_query);
template <class S>
ORNEL_FASTCALL(prepared_query_prepared);

// k nearest (knn_entry_points.cpp).
ORNEL_FASTCALL(all_nearest_neighbours_k);
ORNEL_FASTCALL(all_nearest_neighbours_k_f32);
template <class S>
ORNEL_FASTCALL(prepared_query_k);
template <class S>
ORNEL_FASTCALL(prepared_query_prepared_k);

// Blocked and grouped (blocked_entry_points.cpp).
template <class S>
ORNEL_FASTCALL(prepared_query_prepared_blocked);
template <class S>
ORNEL_FASTCALL(prepared_query_grouped);
// Graph builder (graph_entry_point.cpp).
ORNEL_FASTCALL(graph_from_simplices);

#undef ORNEL_FASTCALL

}  // namespace ornel::py
