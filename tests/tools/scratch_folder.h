#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

// A fresh folder for the running test, under `root`: tests that run in parallel never share one.
inline std::string ScratchFolder(const std::string& root) {
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::filesystem::path folder =
      std::filesystem::path(root) / (std::string(test->test_suite_name()) + "." + test->name());
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder.string();
}
