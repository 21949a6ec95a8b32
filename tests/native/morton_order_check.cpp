// The Morton order on several threads, for tests/test_spatial_order.py:
// reads n rows of three doubles from the file named first, and writes the
// order (int64 rows) for each thread count given after it, one after
// another, to standard output.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "lib/morton.hpp"
#include "lib/strided.hpp"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr) return 2;
    std::vector<double> xyz;
    double value;
    while (std::fread(&value, sizeof value, 1, in) == 1) xyz.push_back(value);
    std::fclose(in);
    const ornel::PointsView<double> view{reinterpret_cast<const char*>(xyz.data()), xyz.size() / 3, 3, 24, 8};
    for (int k = 2; k < argc; ++k) {
        const ornel::Buffer<std::int64_t> order = ornel::morton_order(view, std::strtoul(argv[k], nullptr, 10));
        std::fwrite(order.data(), sizeof(std::int64_t), order.size(), stdout);
    }
    return 0;
}
