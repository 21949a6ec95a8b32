// The Morton order on several threads, for tests/test_spatial_order.py:
// reads n rows of three doubles from the file named first, and writes the
// order (int64 rows) for each thread count given after it, one after
// another, to standard output. With "--grid" before the file: the grid's
// orders instead, its queries' (morton_rows) then its target's (the rows
// of build_cell_grid), for each thread count.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "lib/cell_grid.hpp"
#include "lib/morton.hpp"
#include "lib/strided.hpp"

int main(int argc, char** argv) {
    const bool grid = argc > 1 && std::strcmp(argv[1], "--grid") == 0;
    if (grid) {
        --argc;
        ++argv;
    }
    if (argc < 3) return 2;
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr) return 2;
    std::vector<double> xyz;
    double value;
    while (std::fread(&value, sizeof value, 1, in) == 1) xyz.push_back(value);
    std::fclose(in);
    const ornel::PointsView<double> view{reinterpret_cast<const char*>(xyz.data()), xyz.size() / 3, 3, 24, 8};
    for (int k = 2; k < argc; ++k) {
        const std::size_t threads = std::strtoul(argv[k], nullptr, 10);
        if (grid) {
            const ornel::QuantisationFrame frame = ornel::quantisation_frame(view, threads);
            const ornel::Buffer<std::uint32_t> rows = ornel::morton_rows(view, frame, threads);
            const ornel::CellGrid<double> cells = ornel::build_cell_grid(view, threads);
            for (const ornel::Buffer<std::uint32_t>* order : {&rows, &cells.row})
                for (std::size_t i = 0; i < order->size(); ++i) {
                    const std::int64_t row = (*order)[i];
                    std::fwrite(&row, sizeof row, 1, stdout);
                }
            continue;
        }
        const ornel::Buffer<std::int64_t> order = ornel::morton_order(view, threads);
        std::fwrite(order.data(), sizeof(std::int64_t), order.size(), stdout);
    }
    return 0;
}
