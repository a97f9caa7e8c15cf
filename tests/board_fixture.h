// A board for module tests: the machine with the southbridge on it and a PEI core, with the
// machine in scope so that module code can be called directly.
#pragma once
#include <gtest/gtest.h>

#include "sim/engines/modules.h"
#include "sim/board/pei_boot.h"
#include "sim/services/pei_core.h"
#include "trace_expect.h"

namespace test {

class BoardTest : public ::testing::Test {
 protected:
  // Ten seconds of virtual time: a module spinning on hardware that never answers fails the
  // test instead of hanging it.
  BoardTest() { hw_.machine.set_watchdog(10'000'000'000); }
  const std::vector<sim::Access> &trace() const { return hw_.machine.trace().entries(); }
  sim::Machine &machine() { return hw_.machine; }
  sim::Southbridge &sb() { return hw_.southbridge; }
  const EFI_PEI_SERVICES **ps() const { return core_.services(); }
  // Forgets the accesses made so far (by the test's own set-up, say).
  void clear_trace() { hw_.machine.trace().clear(); }
  // SbPei on the test's engine (the host build unless the fixture runs on both), run through
  // its entry point.
  virtual sim::Engine engine() const { return sim::Engine::Host; }
  EFI_STATUS RunEntry() {
    module_ = sim::SbPeiModule::load(engine(), core_);
    return module_->run_entry();
  }

  sim::BoardHardware hw_;
  sim::PeiCore core_{hw_.machine};
  sim::Machine::Scope scope_{hw_.machine};
  sim::RunningCore running_{core_};
  std::unique_ptr<sim::SbPeiModule> module_;
};

}  // namespace test
