#include "tools/qx5310sim/WriterThread.h"

#include <utility>

WriterThread::WriterThread(size_t capacity) : capacity_(capacity) {}

WriterThread::~WriterThread() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(m_);
    ending_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void WriterThread::Push(std::function<void()> job) {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
  std::unique_lock<std::mutex> lock(m_);
  changed_.wait(lock, [this] { return jobs_.size() < capacity_; });
  jobs_.push_back(std::move(job));
  lock.unlock();
  changed_.notify_all();
}

void WriterThread::Drain() {
  std::unique_lock<std::mutex> lock(m_);
  changed_.wait(lock, [this] { return jobs_.empty() && !busy_; });
}

void WriterThread::Run() {
  std::unique_lock<std::mutex> lock(m_);
  while (true) {
    changed_.wait(lock, [this] { return !jobs_.empty() || ending_; });
    if (jobs_.empty()) return;
    std::function<void()> job = std::move(jobs_.front());
    jobs_.pop_front();
    busy_ = true;
    lock.unlock();
    changed_.notify_all();
    job();
    job = nullptr;
    lock.lock();
    busy_ = false;
    changed_.notify_all();
  }
}
