// The emulated kernel's verifier: a broken kernel rule stops the program with
// a message naming the rule, the routine and the object involved.
#pragma once

#include <cstdarg>

namespace kernel::verifier {

// Prints "VERIFIER: <rule>: <routine> on <object>: <details>" to stderr and
// aborts. Tests check rule violations with death tests on that text.
[[noreturn]] void Fail(const char* rule, const char* routine, const void* object,
                       const char* detailsFormat = nullptr, ...) __attribute__((format(printf, 4, 5)));

// Makes a routine that may block or touch pageable memory check the caller's
// IRQL: fails with rule "IRQL too high" when the current IRQL is above `max`.
void CheckIrql(const char* routine, const void* object, unsigned char max);

}  // namespace kernel::verifier
