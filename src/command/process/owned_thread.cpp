#include "command/process/owned_thread.hpp"

#include <pthread.h>

#include <cerrno>
#include <system_error>

#include "failure/fault_injection.hpp"

namespace marlinox::command {

OwnedThread::OwnedThread(std::string name, fault_injection::Fault refusal, std::function<void()> stop,
                         std::function<void()> body)
    : stop_(std::move(stop)) {
    try {
        // Lets the test suite refuse this thread as a system out of threads would.
        if (fault_injection::active(refusal)) throw std::system_error(EAGAIN, std::generic_category());
        thread_ = std::thread([name, body = std::move(body)] {
            pthread_setname_np(pthread_self(), name.c_str());
            body();
        });
    } catch (const std::system_error& error) {
        throw std::system_error(error.code(), "cannot start the thread " + name);
    }
}

OwnedThread::~OwnedThread() {
    if (!thread_.joinable()) return;
    stop_();
    thread_.join();
}

void OwnedThread::join() {
    if (thread_.joinable()) thread_.join();
}

}  // namespace marlinox::command
