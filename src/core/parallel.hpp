// Two pieces of work at once, for the kernels that split a large table in two.
#pragma once

#include <functional>

namespace kelvane::core {

// Runs `side` on a second thread and `here` on the calling one and returns
// when both have ended; an exception of either is rethrown then (the one of
// `here` first). Without `parallel`, on a machine of one core, or when no
// thread can be started, both run on the calling thread, `side` first.
void run_two(bool parallel, const std::function<void()>& side, const std::function<void()>& here);

}  // namespace kelvane::core
