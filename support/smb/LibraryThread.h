#pragma once

// The thread the share library's calls run on. Internal to support/smb.

#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

namespace kavrin::smb {

// How often the program's thread is given back while the library waits.
inline constexpr auto kWaitTick = std::chrono::milliseconds(100);

// The thread every call of the library runs on, one call at a time, while the thread that asked
// waits for it: a call blocks until the server answers, and the program's thread must go on
// handling its window meanwhile. The library itself sees one thread only, as it requires when its
// thread functions are not set up.
class LibraryThread {
public:
    using Tick = std::function<void(std::chrono::milliseconds waited)>;

    LibraryThread() = default;
    LibraryThread(const LibraryThread&) = delete;
    LibraryThread& operator=(const LibraryThread&) = delete;
    ~LibraryThread() { stop(); }

    // Whether a call is under way: its caller is waiting for it.
    bool busy() const { return m_busy; }

    // Runs `task` on the library's thread and returns once it has ended. Meanwhile `tick` (when
    // given) is called on this thread every kWaitTick with the time waited so far; the first
    // exception it throws ends the ticks and is thrown here once the task has ended.
    void run(const std::function<void()>& task, const Tick& tick) {
        if (!m_thread.joinable()) {
            start();
        }
        m_busy = true;
        std::unique_lock lock(m_mutex);
        m_task = &task;
        m_done = false;
        m_wake.notify_one();
        const auto started = std::chrono::steady_clock::now();
        std::exception_ptr failure;
        while (!m_finished.wait_for(lock, kWaitTick, [this] { return m_done; })) {
            if (failure || !tick) {
                continue;
            }
            lock.unlock();
            try {
                tick(std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - started));
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
        }
        m_busy = false;
        if (!failure) {
            failure = std::exchange(m_taskFailure, nullptr);
        }
        lock.unlock();
        if (failure) {
            std::rethrow_exception(failure);
        }
    }

    // Ends the thread once its task is done; the next run() starts another.
    void stop() {
        if (!m_thread.joinable()) {
            return;
        }
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_one();
        m_thread.join();
        m_quit = false;
    }

private:
    void start() {
        // Signals are for the program's threads, as they were before the library had one.
        sigset_t all;
        sigset_t previous;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, &previous);
        m_thread = std::thread([this] { loop(); });
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    void loop() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_task != nullptr || m_quit; });
            if (m_task == nullptr) {
                return;
            }
            const std::function<void()>* task = std::exchange(m_task, nullptr);
            lock.unlock();
            std::exception_ptr failure;
            try {
                (*task)();
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            m_taskFailure = failure;
            m_done = true;
            m_finished.notify_one();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_finished;
    const std::function<void()>* m_task = nullptr;
    std::exception_ptr m_taskFailure;
    bool m_done = false;
    bool m_quit = false;
    bool m_busy = false;
    std::thread m_thread;
};

}  // namespace kavrin::smb
