// Helpers for tests that run on the scripted platform.
#ifndef DBCSPRINT_TESTS_SCENARIO_TEST_H
#define DBCSPRINT_TESTS_SCENARIO_TEST_H

#include <gtest/gtest.h>

#include <string>

#include "scripted_platform.h"

// Makes the scripted platform answer from a scenario given as text.
inline void UseScenario(const std::string& text) {
  Scenario scenario;
  std::string error;
  ASSERT_TRUE(ParseScenario(text, &scenario, &error)) << error;
  StartScenario(scenario, nullptr);
}

// Names each case of a table-driven test by the case's name field.
struct CaseName {
  template <typename Case>
  std::string operator()(const testing::TestParamInfo<Case>& test) const {
    return test.param.name;
  }
};

#endif  // DBCSPRINT_TESTS_SCENARIO_TEST_H
