// The tetrahedra of an incremental Delaunay tetrahedralisation, as flat
// arrays: four vertices and four neighbour references per tetrahedron. The
// hull is closed by one infinite vertex, so every tetrahedron has four
// neighbours; freed tetrahedra are marked in their first vertex and chained
// through their first neighbour.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "../huge_pages.hpp"

namespace ornel::delaunay {

inline constexpr std::uint32_t infinite_vertex = 0xFFFFFFFFu;
inline constexpr std::uint32_t freed_vertex = 0xFFFFFFFEu;
// Neighbour references pack tetrahedron * 4 + face into 32 bits.
inline constexpr std::size_t max_tetrahedra = std::size_t{1} << 30;

struct Tetrahedron {
    std::uint32_t vertex[4];     // positively oriented; the infinite vertex counts as beyond the hull
    std::uint32_t neighbour[4];  // across the face opposite vertex[k]: tetrahedron * 4 + its face
};

// Leaves the elements a resize adds unwritten, so that slots set aside for
// a parallel round but never used cost no resident memory; asks for huge
// pages as HugePageAllocator does.
template <class T>
struct UninitialisedAllocator : HugePageAllocator<T> {
    template <class U>
    struct rebind {
        using other = UninitialisedAllocator<U>;
    };
    UninitialisedAllocator() = default;
    template <class U>
    UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

using Tetrahedra = std::vector<Tetrahedron, UninitialisedAllocator<Tetrahedron>>;

// Tetrahedra or face references gathered by one insertion or one star,
// storage kept between uses: the append stays inline, growth (rare) out of
// line, where std::vector's push_back would be a call each time.
class ScratchList {
public:
    ScratchList() = default;
    ScratchList(ScratchList&&) noexcept = default;
    ScratchList& operator=(ScratchList&&) noexcept = default;
    ScratchList(const ScratchList&) = delete;
    ScratchList& operator=(const ScratchList&) = delete;

    void clear() { size_ = 0; }
    std::size_t size() const { return size_; }
    std::uint32_t operator[](std::size_t i) const { return storage_.data()[i]; }
    const std::uint32_t* begin() const { return storage_.data(); }
    const std::uint32_t* end() const { return storage_.data() + size_; }

    void push_back(std::uint32_t value) {
        if (size_ == storage_.size()) [[unlikely]]
            grow(size_ + 1);
        storage_.data()[size_++] = value;
    }

    // For loops that keep the size in a register (where a call in between
    // would make the compiler read it again): the storage, with room for
    // `more` values past the first `size`; set_size() when done.
    std::uint32_t* room(std::size_t size, std::size_t more) {
        if (size + more > storage_.size()) [[unlikely]]
            grow(size + more);
        return storage_.data();
    }
    std::size_t capacity() const { return storage_.size(); }
    void set_size(std::size_t size) { size_ = size; }

private:
    [[gnu::noinline]] void grow(std::size_t least) {
        storage_.resize(std::max<std::size_t>({least, 64, 2 * storage_.size()}));
    }

    std::vector<std::uint32_t> storage_;
    std::size_t size_ = 0;
};

// How far a cloud spans: anything but `solid` has no tetrahedralisation.
enum class Shape { solid, coplanar, collinear, single };

inline bool is_finite(const Tetrahedron& t) {
    return t.vertex[0] < freed_vertex && t.vertex[1] != infinite_vertex && t.vertex[2] != infinite_vertex &&
           t.vertex[3] != infinite_vertex;
}

// The infinite vertex is the largest index, and first or last (the cone puts it there).
inline bool is_infinite(const Tetrahedron& t) {
    return (t.vertex[0] > t.vertex[3] ? t.vertex[0] : t.vertex[3]) == infinite_vertex;
}

}  // namespace ornel::delaunay
