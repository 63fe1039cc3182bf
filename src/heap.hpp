// Heap arrays that never throw. Where memory is short the run fails like any other:
// a thrown std::bad_alloc may itself find no memory and end the run with a signal.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <type_traits>

namespace tessolin {

struct heap_free {
  void operator()(void *block) const { std::free(block); } // NOLINT(cppcoreguidelines-no-malloc)
};

template <typename T> using heap_array = std::unique_ptr<T[], heap_free>;

/// `count` uninitialised elements on the heap, or null when memory is short.
template <typename T> [[nodiscard]] heap_array<T> allocate(std::size_t count) {
  static_assert(std::is_trivial_v<T>);
  return heap_array<T>{
      static_cast<T *>(std::malloc(count * sizeof(T)))}; // NOLINT(cppcoreguidelines-no-malloc)
}

} // namespace tessolin
