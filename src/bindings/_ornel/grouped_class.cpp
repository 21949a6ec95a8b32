// GroupedQueriesF32 and GroupedQueriesF64: `prepare`, attributes and repr.
#include "grouped_class.hpp"

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../frame/arguments.hpp"
#include "../frame/convert.hpp"
#include "../frame/results.hpp"
#include "../frame/runtime.hpp"
#include "precision.hpp"
#include "prepared_class.hpp"

namespace ornel::py {

namespace {

template <class S>
PyObject* grouped_prepare(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_boundary([&] {
        static constexpr Parameters<2> parameters{{"queries", "query_perms"}, 2};
        auto bound = match<2>(parameters.of(Precision<S>::grouped, "prepare"), args, nargs, kwnames);
        // The items are held until the call returns: another thread may empty
        // the caller's lists meanwhile.
        std::vector<Ref> queries = convert("queries", [&] {
            std::vector<Ref> items = sequence_items(bound[0]);
            for (const Ref& item : items) prepared_arg<S>(item.get());
            return items;
        });
        std::vector<std::optional<PermArg>> perms = convert("query_perms", [&] {
            std::vector<std::optional<PermArg>> given;
            for (const Ref& item : sequence_items(bound[1])) given.push_back(perm_arg(item.get()));
            return given;
        });

        std::vector<std::span<const PackedPoint<S>>> clouds;
        clouds.reserve(queries.size());
        for (const Ref& item : queries) clouds.push_back(prepared_arg<S>(item.get()).points.span());
        std::vector<std::optional<Strided<std::int64_t>>> views;
        views.reserve(perms.size());
        for (const std::optional<PermArg>& perm : perms)
            views.push_back(contiguous_perm(perm, Failure::strided_query_perm));

        std::unique_ptr<GroupedQueries<S>> grouped;
        {
            ReleasedGil released;
            grouped = std::make_unique<GroupedQueries<S>>(GroupedQueries<S>::build(clouds, views));
        }
        return hold(grouped_type<S>(), std::move(grouped));
    });
}

template <class S>
PyObject* grouped_repr(PyObject* self) {
    return call_boundary([&] {
        const GroupedQueries<S>& grouped = held<GroupedQueries<S>>(self);
        std::string text = std::string(Precision<S>::grouped) + "(n_clouds=" + std::to_string(grouped.n_clouds()) +
                           ", n_points=" + std::to_string(grouped.n_points()) + ")";
        return PyUnicode_FromString(text.c_str());
    });
}

template <class S>
PyObject* grouped_n_points(PyObject* self, void*) {
    return PyLong_FromSize_t(held<GroupedQueries<S>>(self).n_points());
}

template <class S>
PyObject* grouped_n_clouds(PyObject* self, void*) {
    return PyLong_FromSize_t(held<GroupedQueries<S>>(self).n_clouds());
}

Ref copy_to_numpy(const Buffer<std::uint64_t>& stored) {
    Buffer<std::uint64_t> copy(stored.size());
    std::copy(stored.begin(), stored.end(), copy.begin());
    return to_numpy(std::move(copy));
}

template <class S>
PyObject* grouped_offsets(PyObject* self, void*) {
    return call_boundary([&] { return copy_to_numpy(held<GroupedQueries<S>>(self).offsets).release(); });
}

template <class S>
PyObject* grouped_perm(PyObject* self, void*) {
    return call_boundary([&] { return copy_to_numpy(held<GroupedQueries<S>>(self).perm).release(); });
}

template <class S>
PyMethodDef grouped_methods[] = {
    {"prepare", ORNEL_PYCFUNCTION(grouped_prepare<S>), METH_STATIC | METH_FASTCALL | METH_KEYWORDS,
     "prepare(queries, query_perms)\n--\n\n"
     "Concatenate every query cloud's points and sort them into Morton order, once,\n"
     "with the GIL released. `queries` are prepared targets of the same precision,\n"
     "used here as query operands; `query_perms[c]` is cloud c's new -> original\n"
     "int64 permutation, or None if that cloud was not reordered. Build one set per\n"
     "all-by-all join and pass it to `query_grouped` of every target."},
    {nullptr, nullptr, 0, nullptr},
};

template <class S>
PyGetSetDef grouped_getset[] = {
    {"n_points", grouped_n_points<S>, nullptr, "Number of concatenated query points.", nullptr},
    {"n_clouds", grouped_n_clouds<S>, nullptr, "Number of query clouds.", nullptr},
    {"offsets", grouped_offsets<S>, nullptr,
     "Cloud boundaries as a uint64 array of n_clouds + 1 entries: cloud c's block of a\n"
     "`query_grouped(finalize=True)` result is `[offsets[c], offsets[c+1])`.",
     nullptr},
    {"perm", grouped_perm<S>, nullptr,
     "Sorted position -> concatenated index, as a uint64 array of n_points entries.\n"
     "Needed only with `query_grouped(finalize=False)`: `out[perm] = raw` scatters the\n"
     "raw Morton-order results back to concatenated order, to be sliced per cloud\n"
     "with `offsets`.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class S>
std::string grouped_doc() {
    return std::string(
               "The query clouds of an all-by-all join, concatenated and sorted into Morton order\n"
               "once by `") +
           Precision<S>::grouped +
           ".prepare(queries, query_perms)`, then descended unchanged\n"
           "against every target with `query_grouped`. Instances are frozen and may be\n"
           "shared between threads freely.";
}

template <class S>
OnceCache<PyObject> grouped_type_cache;

}  // namespace

template <class S>
PyTypeObject* grouped_type() {
    // Made only by `prepare`: the class itself is not callable.
    return holder_class<GroupedQueries<S>>(
        grouped_type_cache<S>, Precision<S>::grouped, grouped_doc<S>,
        {
            {Py_tp_repr, reinterpret_cast<void*>(grouped_repr<S>)},
            {Py_tp_methods, grouped_methods<S>},
            {Py_tp_getset, grouped_getset<S>},
        },
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION);
}

template <class S>
const GroupedQueries<S>& grouped_arg(PyObject* object) {
    return held<GroupedQueries<S>>(instance_arg(object, grouped_type<S>()));
}

template PyTypeObject* grouped_type<float>();
template PyTypeObject* grouped_type<double>();
template const GroupedQueries<float>& grouped_arg<float>(PyObject*);
template const GroupedQueries<double>& grouped_arg<double>(PyObject*);

}  // namespace ornel::py
