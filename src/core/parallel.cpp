// See parallel.hpp.
#include "core/parallel.hpp"

#include <exception>
#include <system_error>
#include <thread>

namespace kelvane::core {

void run_two(bool parallel, const std::function<void()>& side, const std::function<void()>& here) {
    std::exception_ptr side_failed;
    std::thread helper;
    if (parallel && std::thread::hardware_concurrency() >= 2) {
        try {
            helper = std::thread([&] {
                try {
                    side();
                } catch (...) {
                    side_failed = std::current_exception();
                }
            });
        } catch (const std::system_error&) {
            // no thread to be had: both here
        }
    }
    if (!helper.joinable()) {
        side();
        here();
        return;
    }
    try {
        here();
    } catch (...) {
        helper.join();
        throw;
    }
    helper.join();
    if (side_failed) std::rethrow_exception(side_failed);
}

}  // namespace kelvane::core
