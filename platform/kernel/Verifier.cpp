#include "platform/kernel/Verifier.h"

#include <cstdio>
#include <cstdlib>

namespace plat {
namespace {
thread_local int tlCatching = 0;
}

void Violation(const std::string& what) {
  if (tlCatching > 0) throw VerifierViolation{what};
  std::fprintf(stderr, "\n*** VERIFIER VIOLATION: %s\n", what.c_str());
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
