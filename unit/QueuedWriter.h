#pragma once

#include <atomic>
#include <cstdint>

using PlatformHandle = void*;

// The bookkeeping of one queued register writer. Busy is the ownership of the writer: taken by a
// kick or held by the outstanding write, and passed on by its completion. The work count moves
// whenever a caller records an item, so whoever gives busy up can tell that work arrived meanwhile.
class QueuedWriter {
 public:
  PlatformHandle mHandle = nullptr;
  // The quadlet being written; the platform may read it until the completion has run.
  uint32_t mValue = 0;

  bool TryTakeBusy() {
    uint32_t idle = 0;
    return mBusy.compare_exchange_strong(idle, 1);
  }
  void ClearBusy() { mBusy.store(0); }
  bool IsBusy() const { return mBusy.load() != 0; }

  bool TryEnterGuard() { return !mGuard.test_and_set(); }
  void LeaveGuard() { mGuard.clear(); }

  void NoteWork() { mWork.fetch_add(1); }
  uint32_t Work() const { return mWork.load(); }

  // Work() when the outstanding write was issued. A write that has to be sent again waits for the
  // next kick unless work arrived since: a bus reset handled meanwhile kicks with work.
  uint32_t mIssuedWork = 0;

  // A completion that arrives while its write is still being issued only leaves a mark, and the
  // issuer goes on, so a platform that completes inside the issuing call does not nest one call
  // per item.
  enum class IssueEnd : uint32_t { Outstanding, Completed, SendAgain };
  void BeginIssue() { mIssue.store(kIssuing); }
  // How the write issued since BeginIssue stands.
  IssueEnd EndIssue() {
    switch (mIssue.exchange(kNotIssuing)) {
      case kCompletedWhileIssuing: return IssueEnd::Completed;
      case kFailedWhileIssuing: return IssueEnd::SendAgain;
      default: return IssueEnd::Outstanding;
    }
  }
  // Called by the completion: true when the issuer will go on.
  bool CompleteWhileIssuing(bool sendAgain) {
    uint32_t issuing = kIssuing;
    return mIssue.compare_exchange_strong(issuing, sendAgain ? kFailedWhileIssuing : kCompletedWhileIssuing);
  }

 private:
  static constexpr uint32_t kNotIssuing = 0;
  static constexpr uint32_t kIssuing = 1;
  static constexpr uint32_t kCompletedWhileIssuing = 2;
  static constexpr uint32_t kFailedWhileIssuing = 3;

  std::atomic<uint32_t> mBusy{0};
  std::atomic_flag mGuard = ATOMIC_FLAG_INIT;
  std::atomic<uint32_t> mWork{0};
  std::atomic<uint32_t> mIssue{kNotIssuing};
};
