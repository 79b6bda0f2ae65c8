// A thread that never outlives its owner. The destructor tells it to stop
// (through the function given) and joins it, so that no path, an exception
// included, leaves a joinable std::thread behind (std::terminate).
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "failure/fault_injection.hpp"

namespace marlinox::command {

class OwnedThread {
public:
    // Starts `body` on a thread named `name` (at most 15 bytes). Throws
    // std::system_error when the system refuses a new thread, as it does in
    // test builds when the fault `refusal` is on.
    OwnedThread(std::string name, fault_injection::Fault refusal, std::function<void()> stop,
                std::function<void()> body);
    ~OwnedThread();
    OwnedThread(const OwnedThread&) = delete;
    OwnedThread& operator=(const OwnedThread&) = delete;

    // The normal end: waits for the body to return, without telling it to stop.
    void join();

private:
    std::function<void()> stop_;
    std::thread thread_;
};

}  // namespace marlinox::command
