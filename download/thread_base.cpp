#include "download/thread_base.h"

#include <chrono>
#include <system_error>

#include "download/timings.h"
#include "log/rklog.h"

ThreadBase::~ThreadBase() { StopAndWait(); }

void ThreadBase::Start() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_started) return;
    try {
        m_done = false;
        m_thread = std::thread(&ThreadBase::Entry, this);
        m_started = true;
    } catch (const std::system_error&) {
        m_done = true;
    }
}

void ThreadBase::Entry() {
    // No exception may leave the thread: it would end the process.
    try {
        Run();
    } catch (...) {
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_done = true;
    m_doneChanged.notify_all();
}

bool ThreadBase::IsDone() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_done;
}

bool ThreadBase::WaitDone(std::uint32_t ms) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_doneChanged.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_done; });
}

void ThreadBase::StopAndWait() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_thread.joinable()) return;
    }
    RequestStop();
    if (m_thread.get_id() == std::this_thread::get_id()) {
        // The job itself dropped the last reference to its object: it cannot wait for itself.
        m_thread.detach();
        return;
    }
    if (WaitDone(GetDownloadTimings().stopWaitMs)) {
        m_thread.join();
    } else {
        LOG_STREAM_FN(rklog::kWarn, "ThreadBase::StopAndWait") << "worker thread did not end in time; left to the process end";
        m_thread.detach();
    }
}
