// Reads five points a line (fifteen doubles, hexadecimal floats for
// exactness) and prints, for the exact stage in machine words, whether it
// took the points and the signs it gave: the lifted determinant of the five,
// then the orientation of the first four. tests/test_exact_stages.py checks
// them against exact rational arithmetic.
#include <cstdio>
#include <cstdlib>

#include "lib/delaunay/narrow_integer.hpp"

int main() {
    double xyz[15];
    char word[64];
    while (true) {
        for (double& v : xyz) {
            if (std::scanf("%63s", word) != 1) return 0;
            v = std::strtod(word, nullptr);
        }
        const double* p[5] = {xyz, xyz + 3, xyz + 6, xyz + 9, xyz + 12};
        int lifted = 0, orientation = 0;
        const bool took_five = ornel::delaunay::narrow_lifted_determinant(p, lifted);
        const bool took_four = ornel::delaunay::narrow_orient3d(p, orientation);
        std::printf("%d %d %d %d\n", took_five, lifted, took_four, orientation);
    }
}
