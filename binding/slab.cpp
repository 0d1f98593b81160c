// The slab allocator of the module's state objects: 2 MiB chunks of fixed-size slots (see slab.h).
#include "slab.h"

#include <cstdint>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define CORVELLE_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define CORVELLE_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define CORVELLE_POISON(p, n) ((void)(p), (void)(n))
#define CORVELLE_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace binding::slab {

namespace {

constexpr std::size_t CHUNK_BYTES = std::size_t{2} << 20;
// Empty chunks kept for the next burst of objects instead of going back to the system.
constexpr std::size_t SPARE_CHUNKS = 4;

struct FreeSlot {
    FreeSlot* next;
};

// Lives at the start of its chunk; the slots follow. A chunk is found from any of its slots
// by rounding the address down to the chunk size.
struct Chunk {
    FreeSlot* free;  // slots handed out and returned
    char* fresh;     // first slot never handed out
    char* end;       // end of the last whole slot
    std::size_t live;
    Chunk* prev;  // the list of chunks with room, while this one is in it
    Chunk* next;
    bool has_room;
};

constexpr std::size_t HEADER_BYTES = (sizeof(Chunk) + 63) & ~std::size_t{63};
static_assert(SLOT_BYTES % 16 == 0 && SLOT_BYTES >= sizeof(FreeSlot));

Chunk* with_room = nullptr;  // chunks that can serve an allocation, most recently freed into first
Chunk* spares[SPARE_CHUNKS];
std::size_t spare_count = 0;

void* map_chunk() noexcept {
#if defined(__linux__)
    // Map twice the size and trim to an aligned chunk.
    void* raw = mmap(nullptr, 2 * CHUNK_BYTES, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + CHUNK_BYTES - 1) & ~(CHUNK_BYTES - 1);
    if (aligned > start) munmap(raw, aligned - start);
    const std::uintptr_t tail = aligned + CHUNK_BYTES;
    const std::uintptr_t raw_end = start + 2 * CHUNK_BYTES;
    if (raw_end > tail) munmap(reinterpret_cast<void*>(tail), raw_end - tail);
    void* p = reinterpret_cast<void*>(aligned);
#ifdef MADV_HUGEPAGE
    madvise(p, CHUNK_BYTES, MADV_HUGEPAGE);  // advice only: 4 KiB pages still work
#endif
    return p;
#else
    // The aligned operator new, where there is no mmap: C's aligned_alloc is missing on Windows.
    return ::operator new(CHUNK_BYTES, std::align_val_t{CHUNK_BYTES}, std::nothrow);
#endif
}

// Gives a chunk back to the system. Its poisoned slots are unpoisoned first: the sanitizer
// keeps the marks of memory that was unmapped, and whoever maps those addresses next (another
// allocator, a loaded library) would trip over them.
void unmap_chunk(void* p) noexcept {
    CORVELLE_UNPOISON(p, CHUNK_BYTES);
#if defined(__linux__)
    munmap(p, CHUNK_BYTES);
#else
    ::operator delete(p, std::align_val_t{CHUNK_BYTES});
#endif
}

void reset(Chunk* c) noexcept {
    char* base = reinterpret_cast<char*>(c);
    c->free = nullptr;
    c->fresh = base + HEADER_BYTES;
    c->end = base + HEADER_BYTES + (CHUNK_BYTES - HEADER_BYTES) / SLOT_BYTES * SLOT_BYTES;
    c->live = 0;
    c->prev = c->next = nullptr;
    c->has_room = false;
    CORVELLE_POISON(c->fresh, static_cast<std::size_t>(c->end - c->fresh));
}

void push_room(Chunk* c) noexcept {
    c->prev = nullptr;
    c->next = with_room;
    if (with_room) with_room->prev = c;
    with_room = c;
    c->has_room = true;
}

void unlink_room(Chunk* c) noexcept {
    if (c->prev) c->prev->next = c->next;
    else with_room = c->next;
    if (c->next) c->next->prev = c->prev;
    c->prev = c->next = nullptr;
    c->has_room = false;
}

Chunk* new_chunk() noexcept {
    if (spare_count) return spares[--spare_count];
    void* p = map_chunk();
    if (!p) return nullptr;
    auto* c = static_cast<Chunk*>(p);
    reset(c);
    return c;
}

}  // namespace

void* allocate() noexcept {
    Chunk* c = with_room;
    if (!c) {
        c = new_chunk();
        if (!c) return nullptr;
        push_room(c);
    }
    void* p;
    if (c->free) {
        FreeSlot* s = c->free;
        CORVELLE_UNPOISON(s, SLOT_BYTES);
        c->free = s->next;
        p = s;
    } else {
        p = c->fresh;
        CORVELLE_UNPOISON(p, SLOT_BYTES);
        c->fresh += SLOT_BYTES;
    }
    ++c->live;
    if (!c->free && c->fresh == c->end) unlink_room(c);
    return p;
}

void release(void* p) noexcept {
    auto* c = reinterpret_cast<Chunk*>(reinterpret_cast<std::uintptr_t>(p) & ~(CHUNK_BYTES - 1));
    auto* s = static_cast<FreeSlot*>(p);
    s->next = c->free;
    c->free = s;
    CORVELLE_POISON(p, SLOT_BYTES);
    if (--c->live == 0) {
        if (c->has_room) unlink_room(c);
        if (spare_count < SPARE_CHUNKS) {
            reset(c);
            spares[spare_count++] = c;
        } else {
            unmap_chunk(c);
        }
    } else if (!c->has_room) {
        push_room(c);
    }
}

}  // namespace binding::slab
