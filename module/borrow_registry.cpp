#include "borrow_registry.hpp"

#include <Python.h>

#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "owned_ref.hpp"
#include "quorvane/failure.hpp"

namespace quorvane::module {
namespace {

constexpr const char* sys_attribute = "_array_borrow_registry_v1";
constexpr const char* capsule_name = "sys._array_borrow_registry_v1";
// The report of a broken registry (its text is part of the interface, typo and all).
constexpr const char* broken_registry_message = "Interal borrow checking API error";

struct Registration {
    const void* owner;
    std::uintptr_t begin;
    std::uintptr_t end;
    bool exclusive;
    pthread_t thread;  // the thread that took it
};

bool overlaps(const Registration& held, std::uintptr_t begin, std::uintptr_t end) noexcept {
    return begin != end && held.begin != held.end && held.begin < end && begin < held.end;
}

// Registrations in force. A call holds one per input array while it runs, so
// the set stays small; the first 64 live in place and only more than that
// many at once (many threads inside kernels) move them to the heap.
class Registrations {
public:
    bool conflicts(std::uintptr_t begin, std::uintptr_t end, bool with_readers) const noexcept {
        for (std::size_t i = 0; i < count_; ++i) {
            if ((with_readers || items_[i].exclusive) && overlaps(items_[i], begin, end)) {
                return true;
            }
        }
        return false;
    }

    void add(const Registration& registration) noexcept {
        if (count_ == capacity_) {
            grow();
        }
        items_[count_++] = registration;
    }

    void remove(const Registration& registration) noexcept {
        for (std::size_t i = 0; i < count_; ++i) {
            const Registration& item = items_[i];
            if (item.owner == registration.owner && item.begin == registration.begin &&
                item.end == registration.end && item.exclusive == registration.exclusive) {
                items_[i] = items_[--count_];
                return;
            }
        }
        fail(broken_registry_message);
    }

    std::size_t size() const noexcept { return count_; }

    // Drops the registrations of every thread but the calling one.
    void keep_only_this_thread() noexcept {
        const pthread_t self = pthread_self();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < count_; ++i) {
            if (pthread_equal(items_[i].thread, self) != 0) {
                items_[kept++] = items_[i];
            }
        }
        count_ = kept;
    }

private:
    void grow() noexcept {
        const std::size_t bytes = 2 * capacity_ * sizeof(Registration);
        auto* larger = static_cast<Registration*>(std::malloc(bytes));
        if (larger == nullptr) {
            fail_allocation(bytes);
        }
        std::memcpy(larger, items_, count_ * sizeof(Registration));
        if (items_ != in_place_) {
            std::free(items_);
        }
        items_ = larger;
        capacity_ *= 2;
    }

    Registration in_place_[64]{};
    Registration* items_ = in_place_;
    std::size_t count_ = 0;
    std::size_t capacity_ = 64;
};

Registrations registrations;

int acquire_shared(const void* owner, std::uintptr_t begin, std::uintptr_t end) {
    if (registrations.conflicts(begin, end, false)) {
        return array_borrow_conflict;
    }
    registrations.add({owner, begin, end, false, pthread_self()});
    return array_borrow_granted;
}

void release_shared(const void* owner, std::uintptr_t begin, std::uintptr_t end) {
    registrations.remove({owner, begin, end, false, {}});
}

int acquire_exclusive(const void* owner, std::uintptr_t begin, std::uintptr_t end) {
    if (registrations.conflicts(begin, end, true)) {
        return array_borrow_conflict;
    }
    registrations.add({owner, begin, end, true, pthread_self()});
    return array_borrow_granted;
}

void release_exclusive(const void* owner, std::uintptr_t begin, std::uintptr_t end) {
    registrations.remove({owner, begin, end, true, {}});
}

std::size_t active() {
    return registrations.size();
}

ArrayBorrowRegistryV1 this_build{
    1,
    sizeof(ArrayBorrowRegistryV1),
    acquire_shared,
    release_shared,
    acquire_exclusive,
    release_exclusive,
    active,
};

// A forked child has only the thread that forked: the registrations of the
// others would hold their memory for ever, as no thread is left to end them.
void after_fork_in_child() noexcept {
    registrations.keep_only_this_thread();
}

const ArrayBorrowRegistryV1* locate() noexcept {
    PyObject* published = PySys_GetObject(sys_attribute);
    if (published == nullptr) {
        OwnedRef capsule(PyCapsule_New(&this_build, capsule_name, nullptr));
        if (!capsule || PySys_SetObject(sys_attribute, capsule.get()) < 0 ||
            pthread_atfork(nullptr, nullptr, after_fork_in_child) != 0) {
            fail(broken_registry_message);
        }
        published = PySys_GetObject(sys_attribute);
    }
    const auto* registry = static_cast<const ArrayBorrowRegistryV1*>(
        published != nullptr ? PyCapsule_GetPointer(published, capsule_name) : nullptr);
    if (registry == nullptr || registry->version < 1 ||
        registry->size < sizeof(ArrayBorrowRegistryV1)) {
        fail(broken_registry_message);
    }
    return registry;
}

}  // namespace

const ArrayBorrowRegistryV1& borrow_registry() noexcept {
    static const ArrayBorrowRegistryV1* registry = nullptr;
    if (registry == nullptr) {
        registry = locate();
    }
    return *registry;
}

}  // namespace quorvane::module
