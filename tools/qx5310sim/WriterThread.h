// A real thread of the host program, outside the simulated machine, that does its file writing:
// jobs go through a bounded queue, so the simulation hands its output over and runs on, and waits
// only while the queue is full. Jobs run in the order they were pushed. The thread starts with the
// first job: until then the program has one thread, and giving memory back to the system needs no
// other processor's TLB flushed.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class WriterThread {
 public:
  explicit WriterThread(size_t capacity);
  // Runs what is queued, then ends the thread.
  ~WriterThread();
  WriterThread(const WriterThread&) = delete;
  WriterThread& operator=(const WriterThread&) = delete;

  // Queues a job; waits while `capacity` jobs are queued.
  void Push(std::function<void()> job);
  // Returns once every job pushed so far has run.
  void Drain();

 private:
  void Run();

  const size_t capacity_;
  std::mutex m_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> jobs_;
  bool busy_ = false;  // a job taken from the queue is running
  bool ending_ = false;
  std::thread thread_;
};
