#include "tools/qx5310sim/AudioSession.h"

#include <string>

#include "tools/qx5310sim/Panel.h"
#include "tools/qx5310sim/Report.h"
#include "unit/PreferencesBlock.h"

bool AudioSession::Configure(uint32_t rate, uint32_t frames, Report& report) {
  rate_ = rate;
  frames_ = frames;
  if (!Panel::SetParameter(PreferencesBlock::kParamSampleRate, rate) ||
      !Panel::SetParameter(PreferencesBlock::kParamBufferSizeIndex, BufferSizeIndexOf(frames))) {
    report.Lost("the panel could not set the sample rate and buffer size");
    return false;
  }
  return true;
}

void AudioSession::WriteReport(Report& report) const {
  report.Section("Audio");
  report.Value("settings", std::to_string(rate_) + " Hz, " + std::to_string(frames_) + " frames a half, set by the panel");
  report.Value("streams", "not started: the kernel driver does not carry audio to or from a client yet (no channel "
                          "buffers, ASIO requests 256-266 refused), so there is no loop check and no WAV file");
}
