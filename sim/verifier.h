// The simulated driver verifier: a rule a real kernel would punish stops the
// process with one clear line on stderr ("VERIFIER STOP: ..."), as a bug
// check would. Tests treat it as a crash and check it with death tests.
#pragma once

namespace sim {

[[noreturn]] void VerifierStop(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace sim
