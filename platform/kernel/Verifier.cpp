#include "platform/kernel/Verifier.h"

#include <cstdio>
#include <cstdlib>

#include "platform/kernel/ThreadState.h"

namespace plat {
namespace {
std::string gNote;
}

void SetViolationNote(std::string note) { gNote = std::move(note); }

void Violation(const std::string& what) {
  if (CurrentThreadState().catchingViolations > 0) throw VerifierViolation{gNote.empty() ? what : what + " (" + gNote + ")"};
  if (gNote.empty())
    std::fprintf(stderr, "\n*** VERIFIER VIOLATION: %s\n", what.c_str());
  else
    std::fprintf(stderr, "\n*** VERIFIER VIOLATION: %s (%s; rerun with QX_SEED=%s)\n", what.c_str(), gNote.c_str(),
                 gNote.substr(gNote.rfind(' ') + 1).c_str());
  std::fflush(stderr);
  std::abort();
}

std::string ExpectViolation(const std::function<void()>& fn) {
  int& catching = CurrentThreadState().catchingViolations;
  ++catching;
  try {
    fn();
  } catch (const VerifierViolation& v) {
    --catching;
    return v.what;
  }
  --catching;
  return {};
}

}  // namespace plat
