#include "emulator/kernel/ke/verifier.h"

#include <cstdio>
#include <cstdlib>

#include "platform/host/ke.h"

namespace kernel::verifier {

void Fail(const char* rule, const char* routine, const void* object, const char* detailsFormat, ...) {
  std::fprintf(stderr, "VERIFIER: %s: %s on %p", rule, routine, object);
  if (detailsFormat != nullptr) {
    std::fputs(": ", stderr);
    va_list args;
    va_start(args, detailsFormat);
    std::vfprintf(stderr, detailsFormat, args);
    va_end(args);
  }
  std::fputc('\n', stderr);
  std::fflush(stderr);
  std::abort();
}

void CheckIrql(const char* routine, const void* object, unsigned char max) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > max) Fail("IRQL too high", routine, object, "called at IRQL %u, allowed up to %u", irql, max);
}

}  // namespace kernel::verifier
