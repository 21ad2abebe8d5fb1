#include "fuzz_support.h"

#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace tovrel::fuzz {
namespace {

std::atomic<std::size_t> heap_in_use{0};

void* Allocate(std::size_t size) {
  void* block = std::malloc(size != 0 ? size : 1);
  if (block != nullptr) {
    // The usable size, not the requested one: the same figure is given back on release.
    heap_in_use += malloc_usable_size(block);
  }
  return block;
}

void Release(void* block) {
  if (block != nullptr) {
    heap_in_use -= malloc_usable_size(block);
    std::free(block);
  }
}

void* AllocateOrThrow(std::size_t size) {
  void* block = Allocate(size);
  if (block == nullptr) {
    throw std::bad_alloc();
  }
  return block;
}

}  // namespace

void PropertyFailed(const char* condition, const char* file, int line) {
  std::fprintf(stderr, "fuzz property does not hold: %s (%s:%d)\n", condition, file, line);
  std::fflush(stderr);
  std::abort();
}

std::size_t HeapBytesInUse() {
  return heap_in_use.load();
}

}  // namespace tovrel::fuzz

// Every allocation of the program goes through the meter. Over-aligned allocations keep the
// library's own functions; nothing under test makes them.
void* operator new(std::size_t size) {
  return tovrel::fuzz::AllocateOrThrow(size);
}
void* operator new[](std::size_t size) {
  return tovrel::fuzz::AllocateOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return tovrel::fuzz::Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return tovrel::fuzz::Allocate(size);
}
void operator delete(void* block) noexcept {
  tovrel::fuzz::Release(block);
}
void operator delete[](void* block) noexcept {
  tovrel::fuzz::Release(block);
}
void operator delete(void* block, std::size_t) noexcept {
  tovrel::fuzz::Release(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  tovrel::fuzz::Release(block);
}
void operator delete(void* block, const std::nothrow_t&) noexcept {
  tovrel::fuzz::Release(block);
}
void operator delete[](void* block, const std::nothrow_t&) noexcept {
  tovrel::fuzz::Release(block);
}
