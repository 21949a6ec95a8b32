// Several arrays of one call carved from one block, in 2 MB pages.
//
// Fresh memory costs a fault on its first touch of each page: in 4 KB pages
// about 2.5 us each on a virtual machine (a million-point M3C2 call touched
// some 9,000 of them, many in arrays of 0.4 to 4 MB, each too small for
// advise_huge_pages to cover), and two threads faulting at once took as long
// as one. In 2 MB pages the same memory faults a 512th as often, for about a
// fifth of the time, and is unmapped at once. The arrays start at the
// block's first 2 MB boundary and the whole 2 MB pages they fill are asked
// to be large ones; the rest of the last stays in 4 KB pages, so that the
// block holds no more resident memory than its arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "buffer.hpp"
#include "failure.hpp"
#include "huge_pages.hpp"

namespace ornel {

inline constexpr std::size_t huge_page_bytes = std::size_t{2} << 20;
// Each array starts a cache line apart from the last one's end.
inline constexpr std::size_t block_array_alignment = 64;

// The bytes an array of `count` T takes in a block, its alignment included.
template <class T>
constexpr std::size_t block_bytes(std::size_t count) {
    return (count * sizeof(T) + block_array_alignment - 1) / block_array_alignment * block_array_alignment;
}

class HugePageBlock {
public:
    HugePageBlock() = default;
    // Room for arrays of `bytes` in all (the sum of their block_bytes).
    explicit HugePageBlock(std::size_t bytes) : memory_(bytes + huge_page_bytes) {
        const auto start = reinterpret_cast<std::uintptr_t>(memory_.data());
        begin_ = next_ = memory_.data() + ((huge_page_bytes - start % huge_page_bytes) % huge_page_bytes);
        end_ = begin_ + bytes;
        advise_huge_pages(begin_, bytes / huge_page_bytes * huge_page_bytes);
    }
    HugePageBlock(HugePageBlock&& other) noexcept
        : memory_(std::move(other.memory_)),
          begin_(std::exchange(other.begin_, nullptr)),
          next_(std::exchange(other.next_, nullptr)),
          end_(std::exchange(other.end_, nullptr)) {}
    HugePageBlock& operator=(HugePageBlock&& other) noexcept {
        if (this != &other) {
            memory_ = std::move(other.memory_);
            begin_ = std::exchange(other.begin_, nullptr);
            next_ = std::exchange(other.next_, nullptr);
            end_ = std::exchange(other.end_, nullptr);
        }
        return *this;
    }

    std::size_t capacity() const { return static_cast<std::size_t>(end_ - begin_); }
    // The whole allocation's size, and its start, given up to be freed by free_memory.
    std::size_t allocated() const { return memory_.size(); }
    std::byte* release() {
        begin_ = next_ = end_ = nullptr;
        return memory_.release();
    }
    // Carves the block anew from its start (what was taken is no longer used).
    void clear() { next_ = begin_; }

    // The next `count` T of the block, uninitialised.
    template <class T>
    T* take(std::size_t count) {
        const std::size_t bytes = block_bytes<T>(count);
        if (bytes > static_cast<std::size_t>(end_ - next_)) fail_capacity_overflow();
        T* array = reinterpret_cast<T*>(next_);
        next_ += bytes;
        return array;
    }

private:
    Buffer<std::byte> memory_;
    std::byte* begin_ = nullptr;
    std::byte* next_ = nullptr;
    std::byte* end_ = nullptr;
};

// An array carved from a block, which owns its memory.
template <class T>
class BlockArray {
public:
    BlockArray() = default;
    BlockArray(HugePageBlock& block, std::size_t size) : data_(block.take<T>(size)), size_(size) {}
    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace ornel
