#include "platform/history/history_recorder.h"

#include "platform/history/history_writer.h"

namespace history {

CHistoryRecorder::CHistoryRecorder(RecorderOptions options) : m_options(std::move(options)) {
    // Busy from the start: the thread first sends what earlier runs left.
    m_nBusy = 1;
    m_thread = std::thread([this] { Run(); });
}

CHistoryRecorder::~CHistoryRecorder() {
    Close();
}

void CHistoryRecorder::Submit(JobRecord record) {
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        if (m_bStop) {
            return;
        }
        m_queue.push_back(std::move(record));
    }
    m_wake.notify_one();
}

void CHistoryRecorder::RetryNow() {
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        m_bRetryNow = true;
    }
    m_wake.notify_one();
}

void CHistoryRecorder::Close() {
    {
        const std::lock_guard<std::mutex> guard(m_lock);
        m_bStop = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool CHistoryRecorder::Flush(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_idle.wait_for(lock, timeout,
                           [this] { return m_queue.empty() && m_nBusy == 0 && !m_bRetryNow; });
}

RecorderCounters CHistoryRecorder::Counters() const {
    const std::lock_guard<std::mutex> guard(m_lock);
    return m_counters;
}

void CHistoryRecorder::Run() {
    CHistoryWriter writer(m_options);
    auto publish = [&] {
        const std::lock_guard<std::mutex> guard(m_lock);
        m_counters = writer.Counters();
    };
    // What earlier runs (of this program or the other) left behind.
    writer.Replay(true);
    publish();
    for (;;) {
        std::unique_lock<std::mutex> lock(m_lock);
        --m_nBusy;
        if (m_queue.empty()) {
            m_idle.notify_all();
        }
        const auto due = writer.NextDue();
        auto ready = [this] { return !m_queue.empty() || m_bStop || m_bRetryNow; };
        if (due == CHistoryWriter::Clock::time_point::max()) {
            m_wake.wait(lock, ready);
        } else {
            m_wake.wait_until(lock, due, ready);
        }
        ++m_nBusy;
        const bool bForce = m_bRetryNow;
        m_bRetryNow = false;
        std::deque<JobRecord> batch;
        batch.swap(m_queue);
        const bool bStop = m_bStop;
        lock.unlock();

        for (JobRecord& record : batch) {
            writer.Deliver(std::move(record));
        }
        // On the way out every database gets one more chance.
        writer.Replay(bForce || bStop);
        publish();
        if (bStop) {
            // Submit takes nothing once stopping: the queue stays empty.
            writer.Finish();
            publish();
            lock.lock();
            --m_nBusy;
            m_idle.notify_all();
            return;
        }
    }
}

}  // namespace history
