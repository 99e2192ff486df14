#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>

namespace kelvara {

// A reference-counted array: copies share one storage, which is freed when
// the last holder releases it. Storage comes from calloc, so a large zeroed
// buffer costs nothing until its pages are touched, and an allocation that
// cannot be satisfied leaves the buffer empty instead of throwing.
template <typename T>
class SharedBuffer {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                  "SharedBuffer holds plain data only");

public:
    SharedBuffer() = default;
    SharedBuffer(const SharedBuffer&) = default;
    SharedBuffer& operator=(const SharedBuffer&) = default;
    SharedBuffer(SharedBuffer&& other) noexcept
        : storage_(std::move(other.storage_)), count_(other.count_) {
        other.count_ = 0;
    }
    SharedBuffer& operator=(SharedBuffer&& other) noexcept {
        storage_ = std::move(other.storage_);
        count_ = other.count_;
        other.count_ = 0;
        return *this;
    }
    ~SharedBuffer() = default;

    // Drops this holder's share; the buffer becomes empty.
    void release() noexcept {
        storage_.reset();
        count_ = 0;
    }

    // Replaces the contents with n zeroed elements. Returns the storage, or
    // null (buffer empty) when n is 0 or the storage cannot be obtained.
    T* allocate(std::size_t n) noexcept {
        release();
        if (n == 0 || n > SIZE_MAX / sizeof(T)) {
            return nullptr;
        }
        T* raw = static_cast<T*>(std::calloc(n, sizeof(T)));
        adopt(raw, n);
        return data();
    }

    // Like allocate, but the elements are left as malloc gives them.
    // roomBefore more elements lie just before data(), part of the same
    // storage, for a producer that writes a header and the elements in one go.
    T* allocateUninitialized(std::size_t n, std::size_t roomBefore = 0) noexcept {
        release();
        if (n == 0 || n > SIZE_MAX / sizeof(T) - roomBefore) {
            return nullptr;
        }
        T* raw = static_cast<T*>(std::malloc((roomBefore + n) * sizeof(T)));
        adopt(raw, n);
        if (roomBefore != 0 && storage_ != nullptr) {
            // Points past the room and still frees the whole block.
            storage_ = std::shared_ptr<T[]>(std::move(storage_), raw + roomBefore);
        }
        return data();
    }

    T* data() const noexcept { return storage_.get(); }
    std::size_t count() const noexcept { return count_; }
    bool empty() const noexcept { return storage_ == nullptr; }

    T& operator[](std::size_t i) const noexcept { return storage_[i]; }
    T* begin() const noexcept { return data(); }
    T* end() const noexcept { return data() + count_; }

private:
    struct Free {
        void operator()(T* p) const noexcept { std::free(p); }
    };

    void adopt(T* raw, std::size_t n) noexcept {
        if (raw == nullptr) {
            return;
        }
        try {
            storage_ = std::shared_ptr<T[]>(raw, Free{});
            count_ = n;
        } catch (const std::bad_alloc&) {
            // No control block: shared_ptr has already freed raw through Free.
        }
    }

    std::shared_ptr<T[]> storage_;
    std::size_t count_ = 0;
};

}  // namespace kelvara
