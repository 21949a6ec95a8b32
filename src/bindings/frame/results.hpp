// Core buffers handed to NumPy without a copy.
//
// A result array does not own its memory: its base object is a
// `PySliceContainer` that holds the buffer and frees it when the last array or
// view referring to it goes. The buffer moves into the container only once the
// container exists, so no failure can leak it.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "../../lib/buffer.hpp"
#include "../../lib/result.hpp"
#include "numpy_api.hpp"
#include "ref.hpp"

namespace ornel::py {

template <class T>
constexpr int result_type_number() {
    if constexpr (std::is_same_v<T, float>)
        return NPY_FLOAT32;
    else if constexpr (std::is_same_v<T, double>)
        return NPY_FLOAT64;
    else if constexpr (std::is_same_v<T, std::uint64_t>)
        return NPY_UINT64;
    else if constexpr (std::is_same_v<T, std::uint32_t>)
        return NPY_UINT32;
    else if constexpr (std::is_same_v<T, std::int64_t>)
        return NPY_INT64;
    else
        static_assert(sizeof(T) == 0, "no NumPy type for this element");
}

// Wraps `size` elements at `data` (freed by free_memory) as a C-contiguous,
// writeable array of the given shape.
Ref wrap_memory(void* data, std::size_t size, int type_number, std::size_t item_size,
                std::initializer_list<npy_intp> shape);

// A C-contiguous, writeable array of `shape` over `data`, which lies in the
// memory of the array `owner` and keeps it alive.
Ref view_into(const Ref& owner, void* data, int type_number, std::size_t item_size,
              std::initializer_list<npy_intp> shape);

template <class T>
Ref view_into(const Ref& owner, T* data, std::initializer_list<npy_intp> shape) {
    return view_into(owner, data, result_type_number<T>(), sizeof(T), shape);
}

template <class T>
Ref to_numpy(Buffer<T>&& buffer, std::initializer_list<npy_intp> shape) {
    const std::size_t size = buffer.size();
    return wrap_memory(buffer.release(), size, result_type_number<T>(), sizeof(T), shape);
}

template <class T>
Ref to_numpy(Buffer<T>&& buffer) {
    const npy_intp length = static_cast<npy_intp>(buffer.size());
    return to_numpy(std::move(buffer), {length});
}

// The usual search result: the tuple (dists, idx).
inline PyObject* result_pair(Ref dists, Ref idx) { return require(PyTuple_Pack(2, dists.get(), idx.get())); }

// A search's result as (dists, idx): one entry per query point, or, given a
// shape, (rows, columns) of them.
template <class S>
PyObject* search_result(SearchResult<S>&& result) {
    return result_pair(to_numpy(std::move(result.dists)), to_numpy(std::move(result.idx)));
}

template <class S>
PyObject* search_result(SearchResult<S>&& result, std::size_t rows, std::uint64_t columns) {
    const std::initializer_list<npy_intp> shape{static_cast<npy_intp>(rows), static_cast<npy_intp>(columns)};
    return result_pair(to_numpy(std::move(result.dists), shape), to_numpy(std::move(result.idx), shape));
}

}  // namespace ornel::py
