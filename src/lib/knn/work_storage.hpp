// Growable storage for the working lists of the k-nearest search.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

#include "../buffer.hpp"

namespace ornel {

// Storage for a working list of one call: reserved when the call starts,
// doubled only when a search needs more, never shrunk; emptying it keeps the
// memory. The owner keeps the element count.
template <class T>
class WorkStorage {
public:
    void reserve(std::size_t capacity) {
        if (capacity > buffer_.size()) grow_to(capacity);
    }
    // Makes room for element number `size` (counting from 0).
    T* room_for(std::size_t size) {
        if (size >= buffer_.size()) [[unlikely]]
            grow_to(std::max<std::size_t>(2 * size, 16));
        return buffer_.data();
    }
    T* data() { return buffer_.data(); }
    const T* data() const { return buffer_.data(); }

private:
    void grow_to(std::size_t capacity) {
        Buffer<T> bigger(capacity);
        std::copy_n(buffer_.data(), buffer_.size(), bigger.data());
        buffer_ = std::move(bigger);
    }
    Buffer<T> buffer_;
};

}  // namespace ornel
