// The throwing forms of operator new, as the C++ library has them: a request that cannot be met
// throws std::bad_alloc. AddressSanitizer's own forms stop the process instead, even with
// allocator_may_return_null=1, so a model that asks the runtime for an absurd tensor would end
// a fuzz run although a plain build reports it as a failed Run (the runtime catches the
// exception and returns a status). Storage comes from malloc, which the sanitizer still
// tracks for overflows, use after free and leaks; run_fuzzer.sh turns off its check that
// operator delete only frees what operator new made, which these forms would trip.
#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

void *allocate_or_throw(std::size_t size, std::size_t alignment) {
  alignment = alignment < sizeof(void *) ? sizeof(void *) : alignment;
  void *p = nullptr;
  if (posix_memalign(&p, alignment, size == 0 ? 1 : size) != 0 || p == nullptr) {
    throw std::bad_alloc();
  }
  return p;
}

} // namespace

void *operator new(std::size_t size) {
  return allocate_or_throw(size, __STDCPP_DEFAULT_NEW_ALIGNMENT__);
}

void *operator new[](std::size_t size) {
  return allocate_or_throw(size, __STDCPP_DEFAULT_NEW_ALIGNMENT__);
}

void *operator new(std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}

void *operator new[](std::size_t size, std::align_val_t alignment) {
  return allocate_or_throw(size, static_cast<std::size_t>(alignment));
}
