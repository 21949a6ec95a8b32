// PreparedF32 and PreparedF64: construction, attributes and the method table.
#include "prepared_class.hpp"

#include <memory>
#include <string>

#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "entry_points.hpp"
#include "precision.hpp"

namespace ornel::py {

namespace {

template <class S>
PyObject* prepared_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return call_boundary([&] {
        static constexpr Parameters<3> parameters{{"points", "indptr", "indices"}, 3};
        auto bound = match<3>(parameters.of(Precision<S>::prepared, "__new__"), args, kwargs);
        auto points = points_param<S>("points", bound[0]);
        auto indptr = convert("indptr", [&] { return csr_arg(bound[1]); });
        auto indices = convert("indices", [&] { return csr_arg(bound[2]); });
        return hold(type, std::make_unique<PreparedGraph<S>>(PreparedGraph<S>::build(points, indptr, indices)));
    });
}

template <class S>
PyObject* prepared_repr(PyObject* self) {
    return call_boundary([&] {
        const std::size_t n = graph_of_self<S>(self).points.size();
        std::string text = std::string(Precision<S>::prepared) + "(n=" + std::to_string(n) + ")";
        return PyUnicode_FromString(text.c_str());
    });
}

template <class S>
PyObject* prepared_n(PyObject* self, void*) {
    return PyLong_FromUnsignedLongLong(graph_of_self<S>(self).points.size());
}

template <class S>
PyObject* prepared_data(PyObject* self, void*) {
    return call_boundary([&] {
        const PreparedGraph<S>& graph = graph_of_self<S>(self);
        return to_numpy(graph.data(), {static_cast<npy_intp>(graph.points.size()), 3}).release();
    });
}

template <class S>
PyMethodDef prepared_methods[] = {
    {"query", ORNEL_PYCFUNCTION(prepared_query<S>), METH_FASTCALL | METH_KEYWORDS,
     "query($self, x_points, x_indptr, x_indices, distance_upper_bound=None)\n--\n\n"
     "Nearest neighbour in this prepared target for each point of the query cloud `x`,\n"
     "given as points and its own CSR graph (`x_indptr` offsets, `x_indices` neighbours,\n"
     "both contiguous uint32). The query points are packed and searched with the GIL\n"
     "released. Returns `(dists, idx)`.\n\n"
     "`distance_upper_bound` (a distance, not squared) reports the miss marker\n"
     "(inf, n) for query points with no neighbour within it, and lets the search skip\n"
     "work by the target's bounding box."},
    {"query_prepared", ORNEL_PYCFUNCTION(prepared_query_prepared<S>), METH_FASTCALL | METH_KEYWORDS,
     "query_prepared($self, other, distance_upper_bound=None)\n--\n\n"
     "Like `query`, but the query cloud is another prepared graph of the same class.\n"
     "Both operands are already packed, so nothing is packed for the call: this is\n"
     "the fast path of an all-by-all join. The search runs with the GIL released.\n"
     "`distance_upper_bound` as in `query`."},
    {"query_k", ORNEL_PYCFUNCTION(prepared_query_k<S>), METH_FASTCALL | METH_KEYWORDS,
     "query_k($self, x_points, x_indptr, x_indices, k, ef, distance_upper_bound=None)\n--\n\n"
     "The k>1 variant of `query`: the `k` nearest neighbours in this prepared target\n"
     "for each point of the query cloud `x` (`x_indptr` offsets, `x_indices`\n"
     "neighbours, uint32, strided views accepted), by a best-first search of breadth\n"
     "`ef` (pass `ef >= k`; larger is more exact and slower). Returns `(dists, idx)`\n"
     "of shape (N, k), rows ascending by distance, unfilled entries (inf, n). The\n"
     "search runs with the GIL released. `distance_upper_bound` as in `query`: entries\n"
     "beyond it are left as (inf, n)."},
    {"query_prepared_k", ORNEL_PYCFUNCTION(prepared_query_prepared_k<S>), METH_FASTCALL | METH_KEYWORDS,
     "query_prepared_k($self, other, k, ef, distance_upper_bound=None)\n--\n\n"
     "The k>1 variant of `query_prepared`: the `k` nearest neighbours in this target\n"
     "for each point of `other`, a prepared graph of the same class, by a best-first\n"
     "search of breadth `ef` (pass `ef >= k`). Nothing is packed for the call.\n"
     "Returns `(dists, idx)` of shape (N, k), rows ascending by distance, unfilled\n"
     "entries (inf, n). `distance_upper_bound` as in `query`."},
    {"query_prepared_blocked", ORNEL_PYCFUNCTION(prepared_query_prepared_blocked<S>), METH_FASTCALL | METH_KEYWORDS,
     "query_prepared_blocked($self, other, block=8, distance_upper_bound=None)\n--\n\n"
     "Blocked (batched) descent of the prepared query cloud `other` in this target:\n"
     "the query points move in blocks of `block` points, in their stored order, and\n"
     "members standing on the same target vertex share one gather of its\n"
     "neighbourhood (`block` is the gather reuse granularity; 0 acts as 1). Results\n"
     "are identical to `query_prepared` under the same `distance_upper_bound` rules.\n"
     "The search runs with the GIL released."},
    {"query_grouped", ORNEL_PYCFUNCTION(prepared_query_grouped<S>), METH_FASTCALL | METH_KEYWORDS,
     "query_grouped($self, grouped, target_perm, block=32, distance_upper_bound=None, finalize=True)\n--\n\n"
     "Descend a grouped query set, built once with `prepare`, against this target,\n"
     "with the GIL released and without re-sorting it. `target_perm` is this target's\n"
     "new -> original int64 permutation, or None.\n\n"
     "finalize=True returns flat `(dists, idx)` in concatenated per-cloud original\n"
     "order (cloud c's slice is `[offsets[c], offsets[c+1])` of the set's `offsets`),\n"
     "with original target indices mapped through `target_perm`; a miss is (inf, n).\n"
     "finalize=False returns the raw results in the set's Morton order with this\n"
     "target's internal indices; map them yourself with `out[perm] = raw`.\n"
     "`block` and `distance_upper_bound` as in `query_prepared_blocked`."},
    {nullptr, nullptr, 0, nullptr},
};

template <class S>
PyGetSetDef prepared_getset[] = {
    {"n", prepared_n<S>, nullptr, "Number of points in the prepared target.", nullptr},
    {"data", prepared_data<S>, nullptr, "The target points as an `(n, 3)` array (pad lane dropped).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class S>
std::string prepared_doc() {
    return std::string(Precision<S>::prepared) +
           "(points, indptr, indices)\n--\n\n"
           "A target cloud prepared once for many searches: the Python counterpart of the\n"
           "core's prepared graph. Construction packs the points (an (n, 3) array, extra\n"
           "columns ignored) into the vector layout, computes their bounding box and copies\n"
           "the CSR graph (`indptr` offsets, `indices` neighbours, uint32); every `query`\n"
           "then reuses them. All methods delegate to the core with the GIL released for\n"
           "the search itself, and an instance is never modified, so it may be shared\n"
           "between threads freely.";
}

template <class S>
OnceCache<PyObject> prepared_type_cache;

}  // namespace

template <class S>
PyTypeObject* prepared_type() {
    return holder_class<PreparedGraph<S>>(prepared_type_cache<S>, Precision<S>::prepared, prepared_doc<S>,
                                          {
                                              {Py_tp_new, reinterpret_cast<void*>(prepared_new<S>)},
                                              {Py_tp_repr, reinterpret_cast<void*>(prepared_repr<S>)},
                                              {Py_tp_methods, prepared_methods<S>},
                                              {Py_tp_getset, prepared_getset<S>},
                                          },
                                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE);
}

template <class S>
const PreparedGraph<S>& prepared_arg(PyObject* object) {
    return graph_of_self<S>(instance_arg(object, prepared_type<S>()));
}

template PyTypeObject* prepared_type<float>();
template PyTypeObject* prepared_type<double>();
template const PreparedGraph<float>& prepared_arg<float>(PyObject*);
template const PreparedGraph<double>& prepared_arg<double>(PyObject*);

}  // namespace ornel::py
