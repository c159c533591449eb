// Lets a test make operator new fail: while a FailingAllocations lives,
// every allocation through operator new of at least its size throws
// std::bad_alloc. Include this in exactly one file of a test program: it
// replaces the program's operator new and delete.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace elutrix::testing {

inline std::atomic<std::size_t> failing_allocation_size{0};  // 0: none fails

class FailingAllocations {
public:
    explicit FailingAllocations(std::size_t from_size) { failing_allocation_size = from_size; }
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;
    ~FailingAllocations() { failing_allocation_size = 0; }
};

}  // namespace elutrix::testing

void* operator new(std::size_t size) {
    const std::size_t from = elutrix::testing::failing_allocation_size.load(std::memory_order_relaxed);
    if (from != 0 && size >= from) throw std::bad_alloc();
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return ::operator new(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return ::operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
