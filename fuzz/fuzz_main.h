// The libFuzzer entry point shared by the targets: a failed property is
// printed and aborts, so that libFuzzer keeps the input as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#define TALLYVOX_FUZZ_TARGET(check)                                               \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { \
    std::string failure =                                                         \
        check(std::string_view(reinterpret_cast<const char*>(data), size));       \
    if (!failure.empty()) {                                                       \
      std::fprintf(stderr, "property failed: %s\n", failure.c_str());             \
      std::abort();                                                               \
    }                                                                             \
    return 0;                                                                     \
  }
