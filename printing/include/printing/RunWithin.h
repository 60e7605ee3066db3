#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <thread>

namespace printing {

// Runs work on a thread of its own and waits for it at most bound: its result
// (or its exception) when it ends in time, nothing when it does not. A late
// thread is left to finish by itself and its result is dropped, so work must
// own everything it touches. For system calls that can wait on the network
// far longer than an operator should, and that nothing can cancel.
template <typename Result>
std::optional<Result> RunWithin(std::chrono::milliseconds bound, std::function<Result()> work)
{
    auto task = std::make_shared<std::packaged_task<Result()>>(std::move(work));
    std::future<Result> result = task->get_future();
    std::thread([task] { (*task)(); }).detach();
    if (result.wait_for(bound) != std::future_status::ready)
        return std::nullopt;
    return result.get();
}

} // namespace printing
