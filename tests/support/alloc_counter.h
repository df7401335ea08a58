// Heap use of the test binary, counted by its replacement operator new and
// delete: how many allocations were made while a Window was open, and how
// many bytes they hold that have not been released.
#pragma once

#include <cstddef>

namespace alloc_counter {

// False where the allocator is not ours to replace (AddressSanitizer owns
// new and delete); nothing is counted then.
bool Enabled();

class Window {
 public:
  Window();

  // Allocations made since the window opened.
  std::size_t Allocations() const;
  // Bytes allocated since the window opened minus bytes released since
  // then, in the allocator's block sizes (a block released in the window
  // that was allocated before it counts against the total).
  long long LiveBytes() const;

 private:
  std::size_t allocations_at_open_;
  long long live_bytes_at_open_;
};

}  // namespace alloc_counter
