#pragma once

// What the fuzz targets share: a property check that aborts (so libFuzzer
// keeps the input), and the independent model of the two TCB layouts.

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "codec/tcb_version.hpp"

#define FUZZ_CHECK(condition)                                            \
  do {                                                                   \
    if (!(condition)) fuzz_checks::fail(__FILE__, __LINE__, #condition); \
  } while (false)

namespace fuzz_checks {

[[noreturn]] inline void fail(const char* file, int line, const char* condition) {
  std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, condition);
  std::abort();
}

// `tcb` holds the components of the 8 bytes at `field`, in the Turin layout
// or in the Milan/Genoa one.
inline void check_tcb_fields(const quorvel::TcbVersion& tcb, const std::uint8_t* field, bool turin) {
  if (turin) {
    FUZZ_CHECK(tcb.fmc == field[0]);
    FUZZ_CHECK(tcb.bootloader == field[1] && tcb.tee == field[2] && tcb.snp == field[3]);
  } else {
    FUZZ_CHECK(!tcb.fmc.has_value());
    FUZZ_CHECK(tcb.bootloader == field[0] && tcb.tee == field[1] && tcb.snp == field[6]);
  }
  FUZZ_CHECK(tcb.microcode == field[7]);
}

}  // namespace fuzz_checks
