// A growable array of pointers. It never owns what its pointers point to: the
// class that fills it deletes the pointees itself. Growth reports running out
// of memory as a false result and leaves the vector as it was, so callers on
// paths that must not throw can simply refuse the operation.
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

#include "base/heap.h"

template <typename T>
class VectorIterator {
public:
    explicit VectorIterator(T* element = nullptr) : element_(element) {}
    virtual ~VectorIterator() = default;
    VectorIterator(const VectorIterator&) = default;
    VectorIterator& operator=(const VectorIterator&) = default;

    T& operator*() const { return *element_; }
    VectorIterator& operator++() {
        ++element_;
        return *this;
    }
    VectorIterator& operator--() {
        --element_;
        return *this;
    }
    bool operator!=(const VectorIterator& other) const { return element_ != other.element_; }
    bool operator==(const VectorIterator& other) const { return element_ == other.element_; }
    T* element() const { return element_; }

private:
    T* element_;
};

template <typename T>
class VectorConstIterator {
public:
    explicit VectorConstIterator(const T* element = nullptr) : element_(element) {}
    virtual ~VectorConstIterator() = default;
    VectorConstIterator(const VectorConstIterator&) = default;
    VectorConstIterator& operator=(const VectorConstIterator&) = default;

    const T& operator*() const { return *element_; }
    VectorConstIterator& operator++() {
        ++element_;
        return *this;
    }
    VectorConstIterator& operator--() {
        --element_;
        return *this;
    }
    bool operator!=(const VectorConstIterator& other) const { return element_ != other.element_; }
    bool operator==(const VectorConstIterator& other) const { return element_ == other.element_; }
    const T* element() const { return element_; }

private:
    const T* element_;
};

template <typename T>
class Vector {
    // Elements are moved with memmove and the block with realloc.
    static_assert(std::is_pointer<T>::value, "Vector holds pointers only");

public:
    // Capacity added when push_back finds the vector full.
    static constexpr size_t kGrowth = 16;

    Vector() = default;
    virtual ~Vector() { clear(); }
    Vector(const Vector&) = delete;
    Vector& operator=(const Vector&) = delete;

    size_t size() const { return count_; }
    size_t capacity() const { return capacity_; }
    bool empty() const { return count_ == 0; }

    // No bounds check: the caller keeps the index below size().
    T& operator[](size_t index) { return items_[index]; }
    const T& operator[](size_t index) const { return items_[index]; }
    // The last element; the vector must not be empty.
    T& back() { return items_[count_ - 1]; }
    const T& back() const { return items_[count_ - 1]; }

    bool push_back(T value) {
        if (count_ == capacity_ && !reserve(capacity_ + kGrowth)) return false;
        items_[count_++] = value;
        return true;
    }

    // Inserts before `index` (index == size() appends); later elements move up.
    bool insert(size_t index, T value) {
        if (index > count_) return false;
        if (count_ == capacity_ && !reserve(capacity_ + kGrowth)) return false;
        std::memmove(items_ + index + 1, items_ + index, (count_ - index) * sizeof(T));
        items_[index] = value;
        ++count_;
        return true;
    }

    // Grows the block to exactly `capacity` elements. True when the capacity
    // already suffices; false when memory runs out (the vector unchanged).
    bool reserve(size_t capacity) {
        if (capacity <= capacity_) return true;
        size_t bytes = heap::arrayBytes(capacity, sizeof(T));
        if (bytes == 0) return false;
        void* block = heap::reallocate(items_, bytes);
        if (block == nullptr) return false;
        items_ = static_cast<T*>(block);
        capacity_ = capacity;
        return true;
    }

    // Later elements move down by one, keeping their order. False for an
    // index past the end.
    bool remove(size_t index) {
        if (index >= count_) return false;
        std::memmove(items_ + index, items_ + index + 1, (count_ - index - 1) * sizeof(T));
        --count_;
        return true;
    }
    bool remove(const VectorIterator<T>& position) {
        if (position.element() < items_) return false;
        return remove(static_cast<size_t>(position.element() - items_));
    }
    // False on an empty vector.
    bool removeLast() {
        if (count_ == 0) return false;
        --count_;
        return true;
    }

    // Frees the block: count and capacity become 0.
    void clear() {
        heap::release(items_);
        items_ = nullptr;
        count_ = 0;
        capacity_ = 0;
    }

    VectorIterator<T> begin() { return VectorIterator<T>(items_); }
    VectorIterator<T> end() { return VectorIterator<T>(items_ + count_); }
    VectorConstIterator<T> begin() const { return VectorConstIterator<T>(items_); }
    VectorConstIterator<T> end() const { return VectorConstIterator<T>(items_ + count_); }

private:
    T* items_ = nullptr;
    size_t count_ = 0;
    size_t capacity_ = 0;
};
