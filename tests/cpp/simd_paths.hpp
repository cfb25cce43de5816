// A parameterised fixture over the classification paths: each test runs once per
// path, and is skipped, saying so, where this processor cannot run the path.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "lines/classify.hpp"

namespace qn::testing {

class SimdPathTest : public ::testing::TestWithParam<SimdPath> {
 protected:
  void SetUp() override {
    fn_ = classify_fn(GetParam());
    if (fn_ == nullptr) {
      GTEST_SKIP() << "the " << simd_path_name(GetParam())
                   << " path does not run on this processor";
    }
  }
  ClassifyFn fn_ = nullptr;
};

inline const auto kAllSimdPaths =
    ::testing::Values(SimdPath::kPortable, SimdPath::kAvx2, SimdPath::kAvx512);

inline std::string simd_test_name(const ::testing::TestParamInfo<SimdPath>& info) {
  return simd_path_name(info.param);
}

}  // namespace qn::testing
