#pragma once

#include <string>

#include <gtest/gtest.h>

namespace fenwright::testing {

// Passes when `result` is an error whose text holds `part`.
template <class Result>
::testing::AssertionResult failsWith(const Result& result, const std::string& part) {
  if (result) return ::testing::AssertionFailure() << "no error; expected one holding: " << part;
  std::string text;
  if constexpr (requires { result.error().localizedDescription; })
    text = result.error().localizedDescription;
  else
    text = result.error();
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "the error \"" << text << "\" lacks: " << part;
}

}  // namespace fenwright::testing
