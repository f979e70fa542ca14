// The main job's loop check, made as the run goes: what the unit plays must be, bit for bit on
// every channel, what the client recorded. The ramp channel aligns the two streams: the first
// frame played is looked up among the frames recorded, and from there on the n-th frame played
// must equal the n-th frame recorded after that one. Only a window of frames is kept on each side,
// so memory does not grow with the run; a loop that comes back further behind than the window is
// counted as overrun rather than compared.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

class LoopCheck {
 public:
  // Frames are `channels` samples wide, at most 32; `rampChannel` carries channel and frame in every sample.
  // The window is a power of two.
  LoopCheck(uint32_t channels, uint32_t rampChannel, uint32_t window);

  // Under faults both streams break: from a break in what was played on, each frame is looked up
  // again among the frames recorded, and frames that cannot be found are not compared.
  void FollowBreaks(bool follow) { follow_ = follow; }

  void Recorded(const int32_t* rows, uint32_t frames);
  // Frames as the unit played them; only the channels set in `present` were in the stream.
  void Played(const int32_t* rows, uint32_t frames, uint32_t present);

  uint64_t RecordedFrames() const { return recorded_; }
  uint64_t Gaps() const { return gaps_; }  // steps of the recorded ramp other than one frame
  uint64_t Compared() const { return compared_; }  // samples
  uint64_t Differing() const { return differing_; }
  uint64_t Overrun() const { return overrun_; }  // played frames not compared: the window was too short
  uint32_t Window() const { return window_; }
  uint64_t Realigned() const { return realigned_; }  // breaks in what was played, followed
  uint64_t Unaligned() const { return unaligned_; }  // played frames not found among those recorded

 private:
  size_t Slot(uint64_t frame) const { return static_cast<size_t>(frame & (window_ - 1)); }
  int32_t* RecordedRow(uint64_t frame) { return &recordedRows_[Slot(frame) * channels_]; }
  int32_t* PlayedRow(uint64_t frame) { return &playedRows_[Slot(frame) * channels_]; }
  void CompareWhatCan();
  // The recorded frame that carries this ramp value, if it is in the window.
  std::optional<uint64_t> FindRecorded(int32_t ramp);
  // How many frames from `from` carry a ramp that steps by one.
  uint32_t Continuing(const int32_t* rows, uint32_t from, uint32_t frames, uint32_t present) const;
  // Follows a break before the played frame `row`; false when the frame is not to be compared.
  bool Realign(const int32_t* row, uint32_t present);
  void Compare(const int32_t* got, const int32_t* want, uint32_t frames, uint32_t present);

  uint32_t channels_;
  uint32_t ramp_;
  uint32_t window_;
  uint32_t all_;  // every channel
  std::unique_ptr<int32_t[]> recordedRows_;  // frames [recordedFrom_, recorded_)
  std::unique_ptr<int32_t[]> playedRows_;    // frames [nextToCompare_, played_)
  std::unique_ptr<uint32_t[]> playedPresent_;
  uint64_t recorded_ = 0;
  uint64_t recordedFrom_ = 0;
  uint64_t played_ = 0;
  uint64_t nextToCompare_ = 0;
  std::optional<int32_t> firstPlayedRamp_;  // while the frame it names is not yet found
  std::optional<uint64_t> offset_;          // the recorded frame the first played frame is
  uint64_t droppedUnaligned_ = 0;           // played frames dropped before the offset was known
  uint64_t gaps_ = 0;
  uint64_t compared_ = 0;
  uint64_t differing_ = 0;
  uint64_t overrun_ = 0;
  bool follow_ = false;
  bool lost_ = false;  // following: the last played frame was not found
  std::optional<int32_t> lastPlayedRamp_;
  uint64_t realigned_ = 0;
  uint64_t unaligned_ = 0;
  std::optional<uint32_t> maskedFor_;  // the channels present that masks_ was made for
  uint32_t masks_[32] = {};
};
