#include "platform/kernel/Verifier.h"

#include <cstdio>
#include <cstdlib>

namespace plat {
namespace {
thread_local int tlCatching = 0;
std::string gNote;
}

void SetViolationNote(std::string note) { gNote = std::move(note); }

void Violation(const std::string& what) {
  if (tlCatching > 0) throw VerifierViolation{gNote.empty() ? what : what + " (" + gNote + ")"};
  if (gNote.empty())
    std::fprintf(stderr, "\n*** VERIFIER VIOLATION: %s\n", what.c_str());
  else
    std::fprintf(stderr, "\n*** VERIFIER VIOLATION: %s (%s; rerun with QX_SEED=%s)\n", what.c_str(), gNote.c_str(),
                 gNote.substr(gNote.rfind(' ') + 1).c_str());
  std::fflush(stderr);
  std::abort();
}

std::string ExpectViolation(const std::function<void()>& fn) {
  ++tlCatching;
  try {
    fn();
  } catch (const VerifierViolation& v) {
    --tlCatching;
    return v.what;
  }
  --tlCatching;
  return {};
}

}  // namespace plat
