// The one place where the core's failures become the messages callers see.
// Each kind has one text, and the texts never change (see lib/failure.hpp).
#include <cstdint>
#include <string>

#include "runtime.hpp"

namespace ornel::py {

namespace {

std::string number(std::uint64_t value) { return std::to_string(value); }

std::string count_of(std::uint64_t n, const char* one, const char* many) {
    return number(n) + " " + (n == 1 ? one : many);
}

std::string index_message(std::uint64_t len, std::uint64_t index) {
    return "index out of bounds: the len is " + number(len) + " but the index is " + number(index);
}

}  // namespace

std::string failure_message(const CoreFailure& failure) {
    const std::uint64_t a = failure.value(0), b = failure.value(1), c = failure.value(2);
    switch (failure.kind()) {
        case Failure::index_out_of_bounds:
            return index_message(a, b);
        case Failure::too_few_columns:
            return index_message(a, a);
        case Failure::slice_inverted:
            return "slice index starts at " + number(a) + " but ends at " + number(b);
        case Failure::slice_past_end:
            return "range end index " + number(a) + " out of range for slice of length " + number(b);
        case Failure::capacity_overflow:
            return "capacity overflow";
        case Failure::strided_csr_indptr:
            return "contiguous CSR indptr";
        case Failure::strided_csr_indices:
            return "contiguous CSR neighbours";
        case Failure::strided_target_perm:
            return "contiguous target perm";
        case Failure::strided_query_perm:
            return "contiguous perm";
        case Failure::target_perm_out_of_range:
            return "target_perm[" + number(a) + "] is " + std::to_string(static_cast<std::int64_t>(b)) +
                   ", outside the target's " + number(c) + " points";
        case Failure::target_perm_repeat:
            return "target_perm[" + number(a) + "] repeats entry " + number(b);
        case Failure::query_perms_count:
            return "query_perms has " + count_of(a, "entry", "entries") + " for " +
                   count_of(b, "query cloud", "query clouds");
        case Failure::query_perm_repeat:
            return "query_perms[" + number(a) + "] repeats entry " + number(b);
        case Failure::too_many_points:
            return "graph_from_simplices: " + number(a) + " points exceeds the u32 CSR limit of 4294967295";
        case Failure::too_many_edges:
            return "graph_from_simplices: edge count exceeds u32: TryFromIntError(PosOverflow)";
        case Failure::simplices_changed:
            return "graph_from_simplices: simplices changed while being read";
        case Failure::too_many_cloud_points:
            return "too many points: " + number(a) + " (at most 4294967295)";
        case Failure::cloud_too_few_columns:
            return "points must have at least 3 columns, got " + number(a);
        case Failure::points_need_three_columns:
            return "points need three columns (x, y, z)";
        case Failure::non_finite_coordinate:
            return "point " + number(a) + " has a non-finite coordinate (" + (b ? "nan" : "inf") + ")";
        case Failure::fewer_than_four_distinct:
            return "fewer than four distinct points: there is no tetrahedralisation";
        case Failure::all_collinear:
            return "all points lie on one line: there is no tetrahedralisation";
        case Failure::all_coplanar:
            return "all points lie on one plane: there is no tetrahedralisation";
        case Failure::helper_point_not_lifting:
            return "delaunay: helper point did not lift the plane";
        case Failure::no_triangle_to_lift:
            return "delaunay: no triangle to lift";
        case Failure::no_point_off_plane:
            return "delaunay: no point off the plane found";
        case Failure::vertex_link_not_sphere:
            return "delaunay: a vertex link is not a sphere";
        case Failure::cavity_boundary_not_sphere:
            return "delaunay: cavity boundary is not a sphere";
        case Failure::star_degree_mismatch:
            return "delaunay: a vertex has another degree than its link says";
        case Failure::duplicate_out_of_order:
            return "delaunay: duplicate recorded out of order";
        case Failure::location_not_terminating:
            return "delaunay: point location did not terminate";
        case Failure::reserved_tetrahedra_spent:
            return "delaunay: a thread ran out of reserved tetrahedra";
        case Failure::too_many_tetrahedra:
            return "delaunay: more tetrahedra than 32-bit references allow";
        case Failure::too_many_adjacency_entries:
            return "delaunay_graph: more than 2^32 - 1 adjacency entries";
        case Failure::exact_scratch_exhausted:
            return "delaunay: exact arithmetic scratch exhausted";
        case Failure::coordinate_out_of_exact_range:
            return "delaunay: coordinate out of the exact range";
        case Failure::exact_product_out_of_range:
            return "delaunay: exact product out of range";
        case Failure::exact_sum_out_of_range:
            return "delaunay: exact sum out of range";
        case Failure::start_outside_target:
            return "starts[" + number(a) + "] = " + number(b) + " is not a point of the target";
        case Failure::row_outside_indices:
            return "indptr: row " + number(a) + " ends at " + number(b) + ", outside indices or before its start";
        case Failure::neighbour_outside_target:
            return "indices[" + number(a) + "] = " + number(b) + " is not a point of the target";
        case Failure::indptr_length_mismatch:
            return "indptr must have one entry more than points has rows";
        case Failure::target_too_large:
            return "the target has too many points for uint32 indices";
        case Failure::target_without_points:
            return "the target has no points";
        case Failure::starts_per_query:
            return "starts must have one entry per query point";
        case Failure::margins_per_query:
            return "margins must have one entry per query point";
        case Failure::previous_per_query:
            return "previous must have one row per query point";
        case Failure::tracking_state_partial:
            return "previous, starts and margins go together: all three from the last call, or none";
        case Failure::graph_not_of_points:
            return "indptr and indices must be a graph of the points: n + 1 non-decreasing offsets within indices, "
                   "every neighbour below n, both contiguous";
        case Failure::normals_per_target:
            return "normals must have one row per target point";
        case Failure::matches_per_moved:
            return "matches and squared must have one entry per moved point";
        case Failure::match_outside_targets:
            return "matches holds an index that is not a target point";
        case Failure::neighbours_not_rows:
            return "neighbours must be a C-contiguous uint32 array of shape (n, k), one row per point";
        case Failure::too_many_passes:
            return "passes must be at most 100";
        case Failure::neighbour_outside_points:
            return "neighbours holds an index that is not a point";
        case Failure::points_not_rows:
            return "points must be a C-contiguous array of shape (n, 3)";
        case Failure::normals_not_rows:
            return "normals must be a C-contiguous array of shape (n, 3)";
        case Failure::neighbours_per_point:
            return "points and neighbours must have one row per point";
        case Failure::normals_per_point:
            return "points, normals and neighbours must have one row per point";
        case Failure::too_many_points_for_components:
            return "too many points for uint32 components";
        case Failure::size_not_finite:
            return "radii and depths must be finite numbers >= 0";
        case Failure::axes_per_centre:
            return "axes must have one row per centre";
        case Failure::epochs_of_two_types:
            return "epoch1 and epoch2 must have the same dtype";
        case Failure::normal_radius_not_positive:
            return "normal_radii must be finite and > 0";
        case Failure::normals_per_core_point:
            return "normals must have one row per core point";
        case Failure::normal_radii_missing:
            return "normal_radii must not be empty when no normals are given";
        case Failure::unknown_side:
            return "side must be 0 (as fitted), 1 (toward a direction) or 2 (toward a position)";
        case Failure::toward_not_three:
            return "toward must have 3 entries";
        case Failure::order_not_permutation:
            return "order must hold each row of cores once";
        case Failure::array_not_contiguous:
            return "expected a C-contiguous, aligned array";
        case Failure::mesh_without_triangles:
            return "a mesh needs at least one triangle";
        case Failure::triangles_not_three_columns:
            return "triangles must have three columns (vertex indices)";
        case Failure::hierarchy_not_of_one_mesh:
            return "bounds, links, corners and order must be the arrays of one mesh_bvh";
        case Failure::pseudo_normals_per_triangle:
            return "normals must have shape (m, 7, 3), one row of pseudo-normals per triangle";
        case Failure::negative_upper_bound:
            return "distance_upper_bound must be at least 0";
        case Failure::origin_not_three:
            return "origin must be three finite numbers";
        case Failure::points_too_few_columns:
        case Failure::queries_too_few_columns:
            return std::string(failure.kind() == Failure::points_too_few_columns ? "points" : "queries") +
                   ": expected an array of shape (n, 3) or wider; got " + number(a) + " rows of " + number(b) +
                   " columns";
        case Failure::points_too_many:
        case Failure::queries_too_many:
            return std::string(failure.kind() == Failure::points_too_many ? "points" : "queries") + ": " + number(a) +
                   " points; at most 4294967294 are indexed";
        case Failure::points_non_finite:
        case Failure::queries_non_finite:
            return std::string(failure.kind() == Failure::points_non_finite ? "points" : "queries") + ": point " +
                   number(a) + " has a non-finite coordinate (" + (b ? "nan" : "inf") + ")";
        case Failure::k_out_of_range:
            return "k must be from 1 to 4096, not " + number(a);
        case Failure::radius_not_a_distance:
            return "radius must be a finite distance of at least 0";
    }
    return "unknown core failure";
}

}  // namespace ornel::py
