// Runs one job of a derived class on a worker thread of its own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class ThreadBase {
public:
    ThreadBase() = default;
    // Asks the job to stop and waits for it, bounded (see StopAndWait). Derived classes whose
    // Run uses their own members call StopAndWait in their own destructor, before those
    // members go: by the time this destructor runs the derived part no longer exists.
    virtual ~ThreadBase();
    ThreadBase(const ThreadBase&) = delete;
    ThreadBase& operator=(const ThreadBase&) = delete;

    // Starts Run on a new thread. Only the first call starts one; later calls do nothing.
    // A thread that cannot be created leaves the object as it was, reporting nothing.
    void Start();
    virtual void Run() = 0;

    // Asks a running job to end soon; callable from any thread, any number of times.
    virtual void RequestStop() {}

    // True while no job runs (never started, or Run has returned).
    bool IsDone() const;
    // Waits up to ms for the job to end; true when it has ended (or never started).
    bool WaitDone(std::uint32_t ms) const;

protected:
    // RequestStop, then wait up to the stop-wait limit of the download timings. A job that
    // has ended is joined; one that is still running after the limit (stuck in a callback
    // that does not return) is left to the ending process instead of blocking its owner.
    void StopAndWait();

private:
    void Entry();

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_doneChanged;
    bool m_done = true;
    bool m_started = false;
    std::thread m_thread;
};
