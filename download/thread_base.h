// Runs one job of a derived class on a worker thread of its own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class ThreadBase {
public:
    ThreadBase();
    // Never waits for a running job: the job owns (shares) everything it uses, so the worker
    // is let go and ends on its own. Derived classes ask their job to stop in their own
    // destructor (RequestStop), since by the time this one runs the derived part is gone.
    virtual ~ThreadBase();
    ThreadBase(const ThreadBase&) = delete;
    ThreadBase& operator=(const ThreadBase&) = delete;

    // Starts the job on a new thread. Only the first call starts one; later calls do nothing.
    // A thread that cannot be created leaves the object as it was, reporting nothing.
    void Start();

    // Asks a running job to end soon; callable from any thread, any number of times.
    virtual void RequestStop() {}

    // True while no job runs (never started, or the job has returned).
    bool IsDone() const;
    // Waits up to ms for the job to end; true when it has ended (or never started).
    bool WaitDone(std::uint32_t ms) const;
    // The same wait, usable after the object is gone (its worker may still be ending).
    std::function<bool(std::uint32_t)> DoneWaiter() const;

protected:
    // The job for the worker thread, asked for once by Start. It must own or share everything
    // it uses: the object may be destroyed while the job still runs. An exception that leaves
    // it is logged at ERROR.
    virtual std::function<void()> Job() = 0;

private:
    // What the worker thread and the object share: whether a job runs.
    struct Control {
        std::mutex mutex;
        std::condition_variable changed;
        bool done = true;
        bool WaitFor(std::uint32_t ms);
    };
    static void Entry(const std::shared_ptr<Control>& control, const std::function<void()>& job);

    std::shared_ptr<Control> m_control;
    bool m_started = false;   // under m_control->mutex
    std::thread m_thread;
};
