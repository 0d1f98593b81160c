// Fixed-size object memory in 2 MiB chunks, asked for as transparent huge pages.
//
// A played-back replay or a long episode hands Python hundreds of thousands of state objects
// at once. From the general allocator each fresh 4 KiB page they land on costs a page fault,
// which took a third of the time of a replay playback; a 2 MiB chunk backed by one huge page
// costs one. Chunks whose objects are all freed go back to the system, except a few that are
// kept for the next burst.
//
// Not thread-safe: every call happens with the GIL held. The memory is process-wide (like the
// interpreter's own allocator), since objects may outlive the module state that made them.
#pragma once

#include <cstddef>

namespace binding::slab {

// Bytes per object: the largest size `allocate` serves.
inline constexpr std::size_t SLOT_BYTES = 416;

// Memory for one object of at most SLOT_BYTES bytes, 16-byte aligned, or null when the system
// has none left (no Python error is set).
void* allocate() noexcept;
// Returns memory from `allocate`.
void release(void* p) noexcept;

}  // namespace binding::slab
