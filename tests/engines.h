// The engines the module tests run on: the modules compiled for the host, and the shipped
// images in the CPU emulator (where the build made them).
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "sim/engines/modules.h"

namespace test {

inline std::vector<sim::Engine> Engines() {
#ifdef SB_HAVE_IMAGES
  return {sim::Engine::Host, sim::Engine::Image};
#else
  return {sim::Engine::Host};
#endif
}

inline sim::Engine EngineOf(sim::Engine e) { return e; }
template <typename Case>
sim::Engine EngineOf(const std::tuple<sim::Engine, Case> &p) {
  return std::get<0>(p);
}

// Every case on every engine.
template <typename Case>
auto OnEngines(std::vector<Case> cases) {
  return ::testing::Combine(::testing::ValuesIn(Engines()), ::testing::ValuesIn(std::move(cases)));
}

// Test names: the engine, then the case's own `name`.
struct EngineNames {
  std::string operator()(const ::testing::TestParamInfo<sim::Engine> &info) const { return sim::engine_name(info.param); }
  template <typename Case>
  std::string operator()(const ::testing::TestParamInfo<std::tuple<sim::Engine, Case>> &info) const {
    return std::string(sim::engine_name(std::get<0>(info.param))) + "_" + std::get<1>(info.param).name;
  }
};

// A fixture whose tests run on each engine; `Case` is an extra parameter, if any.
template <typename Base, typename Case = void>
class OnEngine : public Base, public ::testing::WithParamInterface<std::tuple<sim::Engine, Case>> {
 protected:
  sim::Engine engine() const override { return std::get<0>(this->GetParam()); }
  const Case &Param() const { return std::get<1>(this->GetParam()); }
};
template <typename Base>
class OnEngine<Base, void> : public Base, public ::testing::WithParamInterface<sim::Engine> {
 protected:
  sim::Engine engine() const override { return this->GetParam(); }
};

}  // namespace test
