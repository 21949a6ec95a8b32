// The failures of the search core, by type.
//
// A `CoreFailure` means an operand broke an assumption the core relies on (a
// malformed graph, an index out of range, a strided array that must be read in
// place, a size limit). It carries what went wrong as a `Failure` kind and the
// numbers that say where; the core never builds the text. The bindings turn
// it into `PanicException` with the message of its kind, formatted in one
// place (src/bindings/frame/failure_message.cpp), and attach argument notes by
// kind. Kinds and messages are a fixed contract with the callers, who match
// on the texts: a new failure gets a new kind, and a kind's text never
// changes. Out-of-memory is reported separately, as std::bad_alloc.
//
// An `InputFailure` is a `CoreFailure` whose input has no answer (points the
// tetrahedraliser cannot use, a graph or start outside the points a walk is
// given, arrays of the package's own entry points that do not fit together):
// the bindings report it as ValueError.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>

namespace ornel {

enum class Failure {
    index_out_of_bounds,  // (len, index)
    too_few_columns,      // (columns): a table read at column `columns`, as an index failure
    slice_inverted,       // (start, end)
    slice_past_end,       // (end, len)
    capacity_overflow,    // a size beyond what memory or an array can address
    strided_csr_indptr,   // a CSR array read as a plain array is strided
    strided_csr_indices,
    strided_target_perm,  // a permutation read as a plain array is strided
    strided_query_perm,
    target_perm_out_of_range,  // (position, value as int64, target points)
    target_perm_repeat,        // (position, value)
    query_perms_count,         // (entries, query clouds)
    query_perm_repeat,         // (cloud, value)
    too_many_points,           // (points): a graph of more than 2^32 - 1 vertices
    too_many_edges,            // a graph of more than 2^32 - 1 neighbour entries
    simplices_changed,         // the caller's tetrahedra changed while being read
    // The tetrahedraliser's input that has no answer (InputFailure).
    too_many_cloud_points,  // (points)
    cloud_too_few_columns,  // (columns)
    points_need_three_columns,
    non_finite_coordinate,  // (point, 1 for nan, 0 for infinity)
    fewer_than_four_distinct,
    all_collinear,
    all_coplanar,
    // The tetrahedraliser's broken invariants.
    helper_point_not_lifting,
    no_triangle_to_lift,
    no_point_off_plane,
    vertex_link_not_sphere,
    cavity_boundary_not_sphere,
    star_degree_mismatch,
    duplicate_out_of_order,
    location_not_terminating,
    reserved_tetrahedra_spent,
    too_many_tetrahedra,
    too_many_adjacency_entries,
    exact_scratch_exhausted,
    coordinate_out_of_exact_range,
    exact_product_out_of_range,
    exact_sum_out_of_range,
    // Walks, neighbourhoods and normals given what has no answer (InputFailure).
    start_outside_target,      // (query, start)
    row_outside_indices,       // (row, end): a row ending past indices or before its start
    neighbour_outside_target,  // (position in indices, value)
    indptr_length_mismatch,    // indptr without one entry more than points has rows
    target_too_large,          // more points than uint32 indices reach
    target_without_points,
    starts_per_query,  // starts without one entry per query
    margins_per_query,
    previous_per_query,
    tracking_state_partial,  // previous, starts and margins not all given, nor none
    graph_not_of_points,
    normals_per_target,
    matches_per_moved,
    match_outside_targets,
    neighbours_not_rows,  // neighbours not one contiguous uint32 row per point
    too_many_passes,
    neighbour_outside_points,
    points_not_rows,  // points not one contiguous row of three per point
    normals_not_rows,
    neighbours_per_point,  // neighbours without one row per point
    normals_per_point,     // normals or neighbours without one row per point
    too_many_points_for_components,
    // Region searches and M3C2 given what has no answer (InputFailure).
    size_not_finite,  // a radius or depth not a finite number >= 0
    axes_per_centre,
    epochs_of_two_types,
    normal_radius_not_positive,
    normals_per_core_point,
    normal_radii_missing,
    unknown_side,
    toward_not_three,
    order_not_permutation,  // an order of core points without each row once
    // Meshes given what has no answer (InputFailure).
    array_not_contiguous,
    mesh_without_triangles,
    triangles_not_three_columns,
    hierarchy_not_of_one_mesh,
    pseudo_normals_per_triangle,
    negative_upper_bound,
    origin_not_three,
    // The first-use index given what has no answer (InputFailure).
    points_too_few_columns,   // (rows, columns)
    queries_too_few_columns,  // (rows, columns)
    points_too_many,          // (rows)
    queries_too_many,         // (rows)
    points_non_finite,        // (point, 1 for nan, 0 for infinity)
    queries_non_finite,       // (point, 1 for nan, 0 for infinity)
    k_out_of_range,           // (k)
    radius_not_a_distance,
};

class CoreFailure : public std::exception {
public:
    explicit CoreFailure(Failure kind, std::uint64_t a = 0, std::uint64_t b = 0, std::uint64_t c = 0)
        : kind_(kind), values_{a, b, c} {}

    Failure kind() const noexcept { return kind_; }
    std::uint64_t value(std::size_t i) const noexcept { return values_[i]; }
    const char* what() const noexcept override { return "ornel core failure"; }

private:
    Failure kind_;
    std::array<std::uint64_t, 3> values_{};
};

class InputFailure : public CoreFailure {
public:
    using CoreFailure::CoreFailure;
};

[[noreturn, gnu::cold, gnu::noinline]] inline void fail(Failure kind, std::uint64_t a = 0, std::uint64_t b = 0,
                                                        std::uint64_t c = 0) {
    throw CoreFailure(kind, a, b, c);
}

[[noreturn, gnu::cold, gnu::noinline]] inline void fail_input(Failure kind, std::uint64_t a = 0, std::uint64_t b = 0) {
    throw InputFailure(kind, a, b);
}

[[noreturn, gnu::cold, gnu::noinline]] inline void fail_index(std::uint64_t len, std::uint64_t index) {
    fail(Failure::index_out_of_bounds, len, index);
}

// Reading index `index` of something `len` long: one predictable compare.
inline void check_index(std::uint64_t index, std::uint64_t len) {
    if (index >= len) [[unlikely]]
        fail_index(len, index);
}

[[noreturn, gnu::cold, gnu::noinline]] inline void fail_slice(std::uint64_t start, std::uint64_t end,
                                                              std::uint64_t len) {
    if (start > end) fail(Failure::slice_inverted, start, end);
    fail(Failure::slice_past_end, end, len);
}

// The checks of taking the slice [start, end) of something `len` long, in the
// order a reader meets them: an inverted range first, then one that runs past
// the end. Inlined on the fast path; the failures are raised out of line.
inline void check_slice(std::uint64_t start, std::uint64_t end, std::uint64_t len) {
    if (start > end || end > len) [[unlikely]]
        fail_slice(start, end, len);
}

[[noreturn, gnu::cold, gnu::noinline]] inline void fail_capacity_overflow() { fail(Failure::capacity_overflow); }

}  // namespace ornel
