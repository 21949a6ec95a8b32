// The functions of `ornel._native`, by family. Each family's file defines its
// functions and their method table (names, flags, docstrings) together; the
// module (module.cpp) adds every table listed here. A new family is a new
// file with its table, declared below and listed in module.cpp's `families`.
#pragma once

#include "../frame/ref.hpp"

namespace ornel::py {

// Delaunay tetrahedralisations, their graphs and the Morton order
// (tetrahedraliser_entry_points.cpp).
extern PyMethodDef tetrahedraliser_functions[];

// Walks from given starts and tracking of moving queries (walk_entry_points.cpp).
extern PyMethodDef walk_functions[];

// k-nearest self-joins, normals and the point-to-plane system of a registration
// (neighbourhood_entry_points.cpp).
extern PyMethodDef neighbourhood_functions[];

// The normals signed distances follow and their orientation over the
// neighbourhood graph (normal_orientation_entry_points.cpp).
extern PyMethodDef normal_orientation_functions[];

// Exact ball and cylinder searches and M3C2's statistics per core point
// (m3c2_entry_points.cpp).
extern PyMethodDef m3c2_functions[];

// A hierarchy over a mesh's triangles and the closest point on them
// (mesh_entry_points.cpp).
extern PyMethodDef mesh_functions[];

// The first-use index: a cell grid over the Morton-sorted target and its
// searches (grid_entry_points.cpp).
extern PyMethodDef grid_functions[];

}  // namespace ornel::py
