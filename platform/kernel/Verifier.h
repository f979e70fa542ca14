// Driver-Verifier-style checks of the kernel stand-in. A violation is loud: by default it prints
// what went wrong and aborts; a test that provokes one on purpose catches it with ExpectViolation.
#pragma once

#include <functional>
#include <string>

namespace plat {

struct VerifierViolation {
  std::string what;
};

[[noreturn]] void Violation(const std::string& what);

// A note added to every violation's text (the interleaving seed that reproduces it); empty for none.
void SetViolationNote(std::string note);

// Runs fn with violations turned into a thrown VerifierViolation; returns its text, or an empty
// string when fn ran without a violation.
std::string ExpectViolation(const std::function<void()>& fn);

}  // namespace plat
