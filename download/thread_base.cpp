#include "download/thread_base.h"

#include <chrono>
#include <exception>

#include "log/rklog.h"

ThreadBase::ThreadBase() : m_control(std::make_shared<Control>()) {}

ThreadBase::~ThreadBase() {
    if (!m_thread.joinable()) return;
    // A job that has ended only needs its thread collected; one that still runs (stopping, or
    // in a callback that has not returned yet) is let go: it touches nothing of this object.
    if (IsDone() && m_thread.get_id() != std::this_thread::get_id()) {
        m_thread.join();
    } else {
        m_thread.detach();
    }
}

void ThreadBase::Start() {
    std::lock_guard<std::mutex> lock(m_control->mutex);
    if (m_started) return;
    try {
        std::function<void()> job = Job();
        m_control->done = false;
        m_thread = std::thread(&ThreadBase::Entry, m_control, std::move(job));
        m_started = true;
    } catch (...) {
        m_control->done = true;
    }
}

void ThreadBase::Entry(const std::shared_ptr<Control>& control, const std::function<void()>& job) {
    // No exception may leave the thread: it would end the process.
    try {
        if (job) job();
    } catch (const std::exception& e) {
        try {
            LOG_STREAM_FN(rklog::kError, "ThreadBase::Entry") << "the job ended with an exception: " << e.what();
        } catch (...) {
        }
    } catch (...) {
        try {
            LOG_STREAM_FN(rklog::kError, "ThreadBase::Entry") << "the job ended with an unknown exception";
        } catch (...) {
        }
    }
    std::lock_guard<std::mutex> lock(control->mutex);
    control->done = true;
    control->changed.notify_all();
}

bool ThreadBase::IsDone() const {
    std::lock_guard<std::mutex> lock(m_control->mutex);
    return m_control->done;
}

bool ThreadBase::Control::WaitFor(std::uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(ms), [this] { return done; });
}

bool ThreadBase::WaitDone(std::uint32_t ms) const { return m_control->WaitFor(ms); }

std::function<bool(std::uint32_t)> ThreadBase::DoneWaiter() const {
    return [control = m_control](std::uint32_t ms) { return control->WaitFor(ms); };
}
