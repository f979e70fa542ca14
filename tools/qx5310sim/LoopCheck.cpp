#include "tools/qx5310sim/LoopCheck.h"

#include <algorithm>
#include <bit>

LoopCheck::LoopCheck(uint32_t channels, uint32_t rampChannel, uint32_t window)
    : channels_(channels),
      ramp_(rampChannel),
      window_(window),
      all_(channels < 32 ? (1u << channels) - 1 : ~0u),
      recordedRows_(std::make_unique_for_overwrite<int32_t[]>(size_t{window} * channels)),
      playedRows_(std::make_unique_for_overwrite<int32_t[]>(size_t{window} * channels)),
      playedPresent_(std::make_unique_for_overwrite<uint32_t[]>(window)) {}

void LoopCheck::Recorded(const int32_t* rows, uint32_t frames) {
  for (uint32_t f = 0; f < frames; ++f) {
    const int32_t* row = rows + size_t{f} * channels_;
    auto ramp = static_cast<uint32_t>(row[ramp_]);
    if (recorded_ + f > 0) {
      const int32_t* before = f > 0 ? row - channels_ : RecordedRow(recorded_ - 1);
      gaps_ += ((ramp - static_cast<uint32_t>(before[ramp_])) & 0xFFFFFF) != 1;
    }
    if (firstPlayedRamp_ && row[ramp_] == *firstPlayedRamp_) {
      offset_ = recorded_ + f;
      firstPlayedRamp_.reset();
      overrun_ += droppedUnaligned_;
    }
  }
  // Into the window in runs that do not wrap around its end.
  for (uint32_t done = 0; done < frames;) {
    uint32_t run = std::min<uint32_t>(frames - done, static_cast<uint32_t>(window_ - Slot(recorded_)));
    std::copy_n(rows + size_t{done} * channels_, size_t{run} * channels_, RecordedRow(recorded_));
    recorded_ += run;
    done += run;
  }
  recordedFrom_ = std::max(recordedFrom_, recorded_ > window_ ? recorded_ - window_ : 0);
  CompareWhatCan();
}

void LoopCheck::Played(const int32_t* rows, uint32_t frames, uint32_t present) {
  present &= all_;
  for (uint32_t f = 0; f < frames;) {
    const int32_t* row = rows + size_t{f} * channels_;
    if (follow_ && played_ > 0 && !Realign(row, present)) {
      ++f;
      continue;
    }
    if (played_ == 0 && (present >> ramp_ & 1) != 0) {
      // The first frame played names the recorded frame it loops, normally a few buffers back.
      for (uint64_t at = recordedFrom_; at < recorded_ && !offset_; ++at)
        if (RecordedRow(at)[ramp_] == row[ramp_]) offset_ = at;
      if (!offset_) firstPlayedRamp_ = row[ramp_];
    }
    // Compared at once when nothing waits and the recorded frames are in the window.
    if (offset_ && nextToCompare_ == played_) {
      uint64_t at = *offset_ + played_;
      if (at >= recordedFrom_ && at < recorded_) {
        uint64_t run = std::min<uint64_t>({frames - f, recorded_ - at, window_ - Slot(at)});
        if (follow_) run = std::min<uint64_t>(run, Continuing(rows, f, frames, present));
        Compare(row, RecordedRow(at), static_cast<uint32_t>(run), present);
        played_ += run;
        nextToCompare_ += run;
        f += static_cast<uint32_t>(run);
        if (follow_ && (present >> ramp_ & 1) != 0) lastPlayedRamp_ = rows[size_t{f - 1} * channels_ + ramp_];
        continue;
      }
    }
    // Otherwise the frame waits for its recorded frame; a full window lets the oldest go.
    if (played_ - nextToCompare_ == window_) {
      ++nextToCompare_;
      if (offset_)
        ++overrun_;
      else
        ++droppedUnaligned_;
    }
    std::copy_n(row, channels_, PlayedRow(played_));
    playedPresent_[Slot(played_)] = present;
    if (follow_ && (present >> ramp_ & 1) != 0) lastPlayedRamp_ = row[ramp_];
    ++played_;
    ++f;
  }
  CompareWhatCan();
}

uint32_t LoopCheck::Continuing(const int32_t* rows, uint32_t from, uint32_t frames, uint32_t present) const {
  if ((present >> ramp_ & 1) == 0) return frames - from;
  uint32_t n = 1;
  while (from + n < frames && ((static_cast<uint32_t>(rows[size_t{from + n} * channels_ + ramp_]) -
                                static_cast<uint32_t>(rows[size_t{from + n - 1} * channels_ + ramp_])) &
                               0xFFFFFF) == 1)
    ++n;
  return n;
}

std::optional<uint64_t> LoopCheck::FindRecorded(int32_t ramp) {
  if (recorded_ == recordedFrom_) return std::nullopt;
  // Within one run of the ramp the frame is found at once; across a gap, by looking.
  const auto newest = static_cast<uint32_t>(RecordedRow(recorded_ - 1)[ramp_]);
  const uint64_t back = (newest - static_cast<uint32_t>(ramp)) & 0xFFFFFF;
  if (back < recorded_ - recordedFrom_ && RecordedRow(recorded_ - 1 - back)[ramp_] == ramp) return recorded_ - 1 - back;
  for (uint64_t at = recorded_; at-- > recordedFrom_;)
    if (RecordedRow(at)[ramp_] == ramp) return at;
  return std::nullopt;
}

bool LoopCheck::Realign(const int32_t* row, uint32_t present) {
  if ((present >> ramp_ & 1) == 0) return !lost_;
  const int32_t ramp = row[ramp_];
  const bool continues = lastPlayedRamp_ && ((static_cast<uint32_t>(ramp) - static_cast<uint32_t>(*lastPlayedRamp_)) & 0xFFFFFF) == 1;
  lastPlayedRamp_ = ramp;
  if (continues && !lost_) return true;
  std::optional<uint64_t> at = lost_ && continues ? std::nullopt : FindRecorded(ramp);
  if (!at || *at < played_) {
    lost_ = true;
    ++unaligned_;
    return false;
  }
  // Frames still waiting for their recorded frames belong to the old distance: they are let go.
  overrun_ += played_ - nextToCompare_;
  nextToCompare_ = played_;
  offset_ = *at - played_;
  firstPlayedRamp_.reset();
  lost_ = false;
  ++realigned_;
  return true;
}

void LoopCheck::CompareWhatCan() {
  if (!offset_) return;
  for (; nextToCompare_ < played_ && *offset_ + nextToCompare_ < recorded_; ++nextToCompare_) {
    uint64_t at = *offset_ + nextToCompare_;
    if (at < recordedFrom_)
      ++overrun_;
    else
      Compare(PlayedRow(nextToCompare_), RecordedRow(at), 1, playedPresent_[Slot(nextToCompare_)]);
  }
}

void LoopCheck::Compare(const int32_t* got, const int32_t* want, uint32_t frames, uint32_t present) {
  const size_t samples = size_t{frames} * channels_;
  if (present == all_) {
    compared_ += samples;
    if (std::equal(got, got + samples, want)) return;
  } else {
    compared_ += uint64_t{frames} * static_cast<uint32_t>(std::popcount(present));
  }
  // A mask per channel rather than a bit test per sample: this runs for every frame played. Kept
  // from call to call: masks stored just before the loop stall its wide loads of them.
  if (maskedFor_ != present) {
    for (uint32_t c = 0; c < channels_; ++c) masks_[c] = (present >> c & 1) != 0 ? ~0u : 0u;
    maskedFor_ = present;
  }
  const uint32_t* mask = masks_;
  uint64_t differing = 0;
  for (uint32_t f = 0; f < frames; ++f, got += channels_, want += channels_)
    for (uint32_t c = 0; c < channels_; ++c)
      differing += ((static_cast<uint32_t>(got[c]) ^ static_cast<uint32_t>(want[c])) & mask[c]) != 0;
  differing_ += differing;
}
