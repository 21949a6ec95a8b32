// An owned, aligned, uninitialised array that can hand its memory on.
//
// Search results are filled in a `Buffer` and then given to NumPy without a
// copy: `release()` gives up the pointer, and `free_memory` is the routine that
// must eventually free it. Allocation failure throws std::bad_alloc; a byte
// count that overflows throws the "capacity overflow" failure.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

#include "failure.hpp"

namespace ornel {

// Enough for an aligned 32-byte load of a double-precision packed point.
inline constexpr std::size_t buffer_alignment = 32;

inline void* allocate_bytes(std::size_t count, std::size_t element_size) {
    if (element_size != 0 && count > std::numeric_limits<std::ptrdiff_t>::max() / element_size)
        fail_capacity_overflow();
    // Never zero bytes: an empty result still needs a real address, because
    // NumPy allocates its own memory when handed a null data pointer.
    std::size_t bytes = std::max<std::size_t>(count * element_size, 1);
    // Asked for without throwing and refused here: under AddressSanitizer the
    // throwing form ends the process when memory cannot be had.
    void* memory = ::operator new(bytes, std::align_val_t{buffer_alignment}, std::nothrow);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

inline void free_memory(void* memory) noexcept { ::operator delete(memory, std::align_val_t{buffer_alignment}); }

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    static_assert(alignof(T) <= buffer_alignment);

public:
    Buffer() = default;
    explicit Buffer(std::size_t size) : data_(static_cast<T*>(allocate_bytes(size, sizeof(T)))), size_(size) {}
    Buffer(std::size_t size, T fill) : Buffer(size) { std::fill_n(data_, size_, fill); }

    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    ~Buffer() { reset(); }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    std::span<const T> span() const noexcept { return {data_, size_}; }

    // Gives the memory up; free it with `free_memory`.
    T* release() noexcept {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    void reset() noexcept {
        if (data_) free_memory(data_);
        data_ = nullptr;
        size_ = 0;
    }

    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace ornel
