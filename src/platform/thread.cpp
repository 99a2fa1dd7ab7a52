#include "platform/thread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <system_error>

#include "platform/exception.h"
#include "platform/log.h"

namespace skv {
namespace {

struct ThreadState {
    Runnable* runnable = nullptr;
    std::atomic<bool> running{false};
    std::atomic<bool> terminateRequested{false};
};

thread_local ThreadState* currentState = nullptr;

unsigned runRunnable(Runnable* runnable) {
    if (!runnable) {
        SKV_LOG(Error, "ThreadEntry called with empty runnable");
        return 0;
    }
    try {
        runnable->run();
    } catch (const Exception& e) {
        SKV_LOG(Error, "Exception escaped a thread: " << e.message());
    } catch (...) {
        SKV_LOG(Error, "Unknown exception escaped a thread");
    }
    return 0;
}

// Priorities are hints: a process without the right to raise its priority keeps the default.
void applyPriority(int priority) {
    switch (priority) {
        case kPriorityHighest:
            setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -5);
            break;
        case kPriorityLowest:
            setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 5);
            break;
        case kPriorityIdle: {
            sched_param param{};
            param.sched_priority = 0;
            pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
            break;
        }
        default:
            break;
    }
}

class PosixThread final : public Thread {
  public:
    explicit PosixThread(Runnable* runnable) : state_(std::make_shared<ThreadState>()) {
        state_->runnable = runnable;
    }

    ~PosixThread() override { closeHandle(); }

    void start(int priority) override {
        closeHandle();
        state_->terminateRequested = false;
        state_->running = true;
        try {
            handle_ = std::thread([state = state_, priority] {
                currentState = state.get();
                applyPriority(priority);
                runRunnable(state->runnable);
                state->running = false;
            });
        } catch (const std::system_error& e) {
            state_->running = false;
            throw Exception(std::string("Failed to create Thread: ") + e.code().message());
        }
        hasHandle_ = true;
    }

    bool join() override {
        if (!hasHandle_) return false;
        if (handle_.joinable()) {
            if (handle_.get_id() == std::this_thread::get_id()) return false;
            try {
                handle_.join();
            } catch (const std::system_error&) {
                return false;
            }
        }
        return true;
    }

    void terminate() override {
        if (!hasHandle_) return;
        state_->terminateRequested = true;
        join();
    }

    bool isRunning() const override { return hasHandle_ && state_->running; }

    void sleep(unsigned milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }

    Runnable* runnable() const override { return state_->runnable; }

  private:
    // A finished thread is joined; one still running is let go (the shared state keeps
    // what it needs alive), as closing a thread handle does.
    void closeHandle() {
        if (handle_.joinable()) {
            if (!state_->running && handle_.get_id() != std::this_thread::get_id())
                handle_.join();
            else
                handle_.detach();
        }
        hasHandle_ = false;
    }

    std::shared_ptr<ThreadState> state_;
    std::thread handle_;
    bool hasHandle_ = false;
};

}  // namespace

std::unique_ptr<Thread> Thread::create(Runnable* runnable) {
    return std::make_unique<PosixThread>(runnable);
}

bool Thread::terminateRequested() {
    return currentState && currentState->terminateRequested;
}

unsigned ThreadEntry(Thread* thread) {
    if (!thread) {
        SKV_LOG(Error, "ThreadEntry called with null pointer");
        return 0;
    }
    return runRunnable(thread->runnable());
}

Worker::Worker() : thread_(Thread::create(this)) {}
Worker::~Worker() = default;

}  // namespace skv
