// The array borrow registry: a process-wide record of the memory that calls
// are reading and the memory that writers hold exclusively.
//
// Every call registers each of its input arrays as a reader of the array's
// byte range for as long as it reads it, and removes the registration before
// it returns. A cooperating extension that must write an array without
// readers in the way takes the range exclusively; a reader registration that
// overlaps an exclusive hold is refused (and the call raises BufferError
// without running its kernel), as is an exclusive hold that overlaps any
// registration.
//
// Where to find it: the registry is published once per process as a capsule
// in the `sys` module, attribute `_array_borrow_registry_v1`, capsule name
// "sys._array_borrow_registry_v1", so C code can reach it with
// PyCapsule_Import("sys._array_borrow_registry_v1", 0). The first
// participant to look installs it; every later one, other builds of this
// module included, uses the one installed. The capsule points to an
// ArrayBorrowRegistryV1, whose layout is fixed for version 1; later versions
// only append members and raise `version` and `size`.
//
// Rules for every participant: call the functions only with the interpreter
// lock held (the lock is what serialises the registry); give back every
// successful acquisition exactly once with the same owner and range. A
// region is the half-open byte range [begin, end) and the object that owns
// the memory (for a NumPy array, the end of its chain of bases). Conflicts
// are decided by the byte ranges alone, so two views of one buffer conflict
// whatever their owners; an empty range conflicts with nothing.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

enum : int {
    array_borrow_granted = 0,
    array_borrow_conflict = 1,
};

struct ArrayBorrowRegistryV1 {
    std::uint32_t version;  // 1
    std::uint32_t size;     // sizeof(ArrayBorrowRegistryV1)
    // Registers a reader; refused when the range overlaps an exclusive hold.
    int (*acquire_shared)(const void* owner, std::uintptr_t begin, std::uintptr_t end);
    void (*release_shared)(const void* owner, std::uintptr_t begin, std::uintptr_t end);
    // Holds a range exclusively; refused when it overlaps any registration.
    int (*acquire_exclusive)(const void* owner, std::uintptr_t begin, std::uintptr_t end);
    void (*release_exclusive)(const void* owner, std::uintptr_t begin, std::uintptr_t end);
    // The number of registrations in force, readers and exclusive holds.
    std::size_t (*active)(void);
};
}

namespace quorvane::module {

struct BorrowRegion {
    const void* owner;
    std::uintptr_t begin;
    std::uintptr_t end;
};

// The process's registry, located (or installed) on first need. Failing to
// reach it is an internal failure.
const ArrayBorrowRegistryV1& borrow_registry() noexcept;

}  // namespace quorvane::module
