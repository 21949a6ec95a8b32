// The vertices and faces of an OBJ file as most are written: `v x y z`
// lines (further numbers, such as colours, ignored) and `f` lines of plain
// positive indices (`f 1 2 3`, `f 1/1 2/1 3/1`, `f 1//1 ...`), polygons
// fanned into triangles (v0, vk, vk+1); every other line (comments, normals,
// texture coordinates, groups, materials) skipped.
//
// Anything else (a negative index, a vertex of fewer than three numbers, a
// number written as from_chars does not read it, a face of fewer than three
// vertices) answers nothing, and the caller reads the file the slow way,
// which words the error. What it answers is what that way reads: numbers
// are rounded correctly, as Python's float() rounds them.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace ornel {

struct ObjMesh {
    std::vector<double> vertices;         // 3 per vertex
    std::vector<std::int64_t> triangles;  // 3 per triangle, from 0
};

namespace detail {

inline bool obj_blank(char c) { return c == ' ' || c == '\t'; }

// The next word of `line` from `at` (blanks skipped), empty at its end.
inline std::string_view obj_word(std::string_view line, std::size_t& at) {
    while (at < line.size() && obj_blank(line[at])) ++at;
    const std::size_t start = at;
    while (at < line.size() && !obj_blank(line[at])) ++at;
    return line.substr(start, at - start);
}

}  // namespace detail

inline std::optional<ObjMesh> parse_plain_obj(std::string_view text) {
    ObjMesh mesh;
    std::vector<std::int64_t> polygon;
    std::size_t from = 0;
    while (from < text.size()) {
        // Lines end at \n, \r or both, as Python's universal newlines read them.
        std::size_t end = from;
        while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
        const std::string_view line = text.substr(from, end - from);
        from = end + 1;
        if (line.size() < 2 || !detail::obj_blank(line[1]) || (line[0] != 'v' && line[0] != 'f')) continue;
        std::size_t at = 1;
        if (line[0] == 'v') {
            for (int k = 0; k < 3; ++k) {
                const std::string_view word = detail::obj_word(line, at);
                double value = 0;
                const auto [stop, error] = std::from_chars(word.data(), word.data() + word.size(), value);
                if (word.empty() || error != std::errc() || stop != word.data() + word.size()) return std::nullopt;
                mesh.vertices.push_back(value);
            }
            continue;
        }
        polygon.clear();
        for (std::string_view word = detail::obj_word(line, at); !word.empty(); word = detail::obj_word(line, at)) {
            const std::string_view index = word.substr(0, word.find('/'));
            std::uint64_t value = 0;
            const auto [stop, error] = std::from_chars(index.data(), index.data() + index.size(), value);
            if (index.empty() || error != std::errc() || stop != index.data() + index.size() || value == 0 ||
                value > std::uint64_t{1} << 62)
                return std::nullopt;
            polygon.push_back(static_cast<std::int64_t>(value) - 1);
        }
        if (polygon.size() < 3) return std::nullopt;
        for (std::size_t k = 1; k + 1 < polygon.size(); ++k)
            mesh.triangles.insert(mesh.triangles.end(), {polygon[0], polygon[k], polygon[k + 1]});
    }
    if (mesh.vertices.empty()) return std::nullopt;
    return mesh;
}

}  // namespace ornel
