#include "quorvane/panel.hpp"

#include <pthread.h>

#include <atomic>

namespace quorvane::panel {
namespace {

struct Tasks {
    std::atomic<std::size_t> next{0};
    std::size_t count;
    void (*task)(void*, std::size_t);
    void* context;
};

// Takes tasks until none is left; which thread takes which does not matter.
void* work(void* shared) noexcept {
    auto& tasks = *static_cast<Tasks*>(shared);
    for (std::size_t k = tasks.next.fetch_add(1, std::memory_order_relaxed); k < tasks.count;
         k = tasks.next.fetch_add(1, std::memory_order_relaxed)) {
        tasks.task(tasks.context, k);
    }
    return nullptr;
}

// More threads than this gain nothing on any machine the panels are sized for.
constexpr std::size_t max_threads = 256;

}  // namespace

void run_tasks(std::size_t tasks, std::size_t threads, void (*task)(void*, std::size_t),
               void* context) noexcept {
    Tasks shared{{0}, tasks, task, context};
    std::array<pthread_t, max_threads> started{};
    std::size_t count = 0;
    const std::size_t wanted = std::min({threads, tasks, max_threads + 1});
    while (count + 1 < wanted && pthread_create(&started[count], nullptr, work, &shared) == 0) {
        ++count;
    }
    work(&shared);
    for (std::size_t k = 0; k < count; ++k) {
        pthread_join(started[k], nullptr);
    }
}

}  // namespace quorvane::panel
