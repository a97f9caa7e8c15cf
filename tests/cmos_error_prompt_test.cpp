// The CMOS error prompt: the driver entry, the prompt sequence, the CMOS status hook and the
// beeper, on the DXE stand-in.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "cmos_error_prompt/cmos_error_prompt.h"
#include "sequence_builder.h"
#include "sim/services/dxe_core.h"
#include "sim/machine/faults.h"
#include "sim/board/pei_boot.h"
#include "engines.h"

using ::testing::ElementsAre;
using namespace test;

namespace {

const std::string kDelLine = "Press Del to Enter BIOS Setup \n\r";

class PromptTest : public ::testing::Test {
 protected:
  virtual sim::Engine engine() const = 0;
  explicit PromptTest(EFI_BOOT_MODE mode = BOOT_WITH_FULL_CONFIGURATION) : dxe_(hw_.machine, mode) {
    hw_.machine.set_watchdog(100'000'000'000);
    dxe_.set_variable(u"Setup", gSetupVariableGuid, std::vector<std::uint8_t>(64, 0));
    dxe_.publish_enter_setup_flag(0xFF);
    cmos_prompt::gST = nullptr;  // a freshly loaded image
  }
  // Every path frees the "Setup" buffer and keeps within it.
  void TearDown() override {
    EXPECT_EQ(dxe_.live_pool_buffers(), 0u);
    EXPECT_THAT(dxe_.pool_errors(), ::testing::IsEmpty());
    EXPECT_THAT(dxe_.unexpected_calls(), ::testing::IsEmpty());
  }
  EFI_STATUS Start() {
    module_ = sim::CmosPromptModule::load(engine(), dxe_);
    return module_->start();
  }
  void Load() { ASSERT_EQ(Start(), EFI_SUCCESS); }
  void Trigger() {
    static int trigger = 0;
    dxe_.install_protocol(gPromptTriggerProtocolGuid, &trigger);
  }
  void Type(const char *name) { dxe_.type(*sim::key_named(name)); }
  // Keys typed one at a time, a second apart, once the prompt is up (2.3 s of messages and
  // beeps come first); keys typed together are one poll's worth.
  void TypeOneByOne(const std::vector<sim::Key> &keys) {
    for (std::size_t i = 0; i < keys.size(); ++i) {
      sim::Key k = keys[i];
      k.at_ns = hw_.machine.now_ns() + (3 + i) * 1'000'000'000ull;
      dxe_.type(k);
    }
  }
  void CmosFlag(std::uint8_t reg46) { hw_.southbridge.rtc.set(0x46, reg46); }
  const std::vector<sim::Access> &trace() const { return hw_.machine.trace().entries(); }

  sim::BoardHardware hw_;
  sim::DxeCore dxe_;
  std::unique_ptr<sim::CmosPromptModule> module_;
};

using Prompt = test::OnEngine<PromptTest>;
INSTANTIATE_TEST_SUITE_P(Engines, Prompt, ::testing::ValuesIn(test::Engines()), test::EngineNames());

// The host build's driver, called directly.
class PromptOnHost : public PromptTest {
 protected:
  sim::Engine engine() const override { return sim::Engine::Host; }
};

TEST_P(Prompt, NoProblemReportedShowsNothingAndClearsTheRequest) {
  CmosFlag(0xFE);
  Load();
  Trigger();
  EXPECT_TRUE(dxe_.screen().empty());
  EXPECT_EQ(dxe_.key_reads(), 0u);
  EXPECT_EQ(dxe_.enter_setup_flag(), 0);
  EXPECT_TRUE(TraceIs(trace(), {Out(0x70, 8, 0xC6), In(0x71, 8, 0xFE)}));
}

TEST_P(Prompt, DefaultsLoadedThenDel) {
  CmosFlag(0xA5);
  Type("Del");
  Load();
  Trigger();
  EXPECT_THAT(dxe_.screen(), ElementsAre("CMOS Checksum error", "CMOS Date/Time Not set",
                                         "The default values has been loaded", "Press F1 to Continue", kDelLine));
  EXPECT_EQ(dxe_.prepare_calls(), 2u);
  EXPECT_EQ(dxe_.enter_setup_flag(), 1);
  EXPECT_EQ(dxe_.con_in_resets(), 1u);
  EXPECT_EQ(hw_.southbridge.rtc.get(0x46), 0xA4);  // only bit 0 cleared
  EXPECT_EQ(hw_.southbridge.post.codes(), std::vector<std::uint8_t>{0x44});
  EXPECT_EQ(dxe_.set_variable_calls(), 0u);  // no hook changed "Setup": it is not written back
}

TEST_P(Prompt, HookPortSequenceAndBeeps) {
  CmosFlag(0x01);
  Type("F1");
  Load();
  const std::uint64_t start = hw_.machine.now_ns();
  Trigger();
  std::vector<Expected> want = {Out(0x70, 8, 0xC6), In(0x71, 8, 0x01), Out(0x70, 8, 0xC6), In(0x71, 8, 0x01),
                                Out(0x71, 8, 0x00), Out(0x80, 8, 0x44), Out(0x43, 8, 0xB6), Out(0x42, 8, 0x05),
                                Out(0x42, 8, 0x05)};
  for (int beep = 0; beep < 2; ++beep) {
    // On, 200 ms, off keeping the other bits of what port 0x61 reads, 200 ms.
    want.insert(want.end(), {Out(0x61, 8, 0x0F), In(0x61, 8), {sim::Op::Out, 0x61, 8, std::nullopt}});
  }
  EXPECT_TRUE(TraceIs(trace(), want));
  for (std::size_t i : {10u, 13u}) EXPECT_EQ(trace()[i + 1].value & ~0x10u & 0xFC, trace()[i + 1].value & 0xEC);
  EXPECT_EQ(trace()[11].value, trace()[10].value & 0xFC);
  EXPECT_EQ(trace()[14].value, trace()[13].value & 0xFC);

  const auto tones = hw_.southbridge.speaker.tones();
  ASSERT_EQ(tones.size(), 2u);
  const std::uint64_t post_code_at = trace()[5].t_ns;
  EXPECT_NEAR((tones[0].start_ns - post_code_at) / 1e6, 1500.0, 0.1);  // 1.5 s with the messages alone
  for (const sim::Tone &t : tones) {
    EXPECT_NEAR((t.end_ns - t.start_ns) / 1e6, 200.0, 0.1);
    EXPECT_NEAR(t.hz, 928.5, 0.1);
  }
  EXPECT_NEAR((tones[1].start_ns - tones[0].end_ns) / 1e6, 200.0, 0.1);
  EXPECT_GE(hw_.machine.now_ns() - start, 2'300'000'000u);  // the second gap too
  // To the microsecond: the pause, then beep and gap twice.
  EXPECT_THAT(dxe_.stalls(), ElementsAre(1'500'000u, 200'000u, 200'000u, 200'000u, 200'000u));
}

TEST_P(Prompt, TheFlagIsClearedBeforeTheFirstBeep) {
  CmosFlag(0x01);
  Type("F1");
  Load();
  Trigger();
  std::size_t clear = 0, beep = 0;
  for (std::size_t i = 0; i < trace().size(); ++i) {
    if (trace()[i].op == sim::Op::Out && trace()[i].addr == 0x71 && clear == 0) clear = i;
    if (trace()[i].op == sim::Op::Out && trace()[i].addr == 0x61 && beep == 0) beep = i;
  }
  EXPECT_LT(clear, beep);
  EXPECT_EQ(dxe_.enter_setup_flag(), 0xFF);  // F1: the request is left as it was
  EXPECT_EQ(dxe_.con_in_resets(), 0u);
}

struct KeyCase {
  const char *name;
  std::vector<const char *> keys;
  std::uint8_t flag;  // 1: Del accepted; 0xFF: left alone by F1
};

using Keys = test::OnEngine<PromptTest, KeyCase>;

TEST_P(Keys, OnlyF1AndDelEndTheWait) {
  CmosFlag(0x01);
  std::vector<sim::Key> keys;
  for (const char *k : Param().keys) keys.push_back(*sim::key_named(k));
  TypeOneByOne(keys);
  Load();
  Trigger();
  EXPECT_EQ(dxe_.enter_setup_flag(), Param().flag);
  EXPECT_EQ(dxe_.keys_left(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Presses, Keys,
    test::OnEngines<KeyCase>({KeyCase{"del", {"Del"}, 1}, KeyCase{"f1", {"F1"}, 0xFF},
                      KeyCase{"keypad_del_with_num_lock", {"KeypadDel"}, 1},
                      KeyCase{"period_of_another_key_is_not_del", {"Period", "F1"}, 0xFF},
                      KeyCase{"other_keys_ignored", {"Esc", "x", "Enter", "Del"}, 1}}),
    test::EngineNames());

TEST_P(Prompt, F1WithACharacterIsNotF1) {
  CmosFlag(0x01);
  TypeOneByOne({sim::Key{SCAN_F1, u'a', 0x3B, 0, "F1+a"}, *sim::key_named("Del")});
  Load();
  Trigger();
  EXPECT_EQ(dxe_.enter_setup_flag(), 1);
}

TEST_P(Prompt, DelWithACharacterIsNotDel) {
  CmosFlag(0x01);
  TypeOneByOne({sim::Key{SCAN_DELETE, u'a', 0x53, 0, "Del+a"}, *sim::key_named("F1")});
  Load();
  Trigger();
  EXPECT_EQ(dxe_.enter_setup_flag(), 0xFF);  // ignored; F1 boots on
  EXPECT_EQ(dxe_.keys_left(), 0u);
}

TEST_P(Prompt, KeysTypedAheadAreThrownAway) {
  CmosFlag(0x01);
  Type("x");
  Type("Del");  // in the queue with x: drained with it
  sim::Key f1 = *sim::key_named("F1");
  f1.at_ns = 5'000'000'000;  // typed later
  dxe_.type(f1);
  Load();
  Trigger();
  EXPECT_EQ(dxe_.enter_setup_flag(), 0xFF);
  EXPECT_EQ(dxe_.keys_left(), 0u);
}

TEST_P(Prompt, WithoutKeysThePromptWaits) {
  CmosFlag(0x01);
  Load();
  EXPECT_THROW(Trigger(), sim::Hang);
  EXPECT_EQ(dxe_.screen().size(), 5u);
  EXPECT_EQ(dxe_.key_reads(), 10'001u);  // a second of empty polls, then the stand-in gives up
}

TEST_P(Prompt, TheStandInGivesUpAfterAsManyEmptyPollsAsItIsTold) {
  CmosFlag(0x01);
  dxe_.set_idle_polls_before_giving_up(16);
  Load();
  EXPECT_THROW(Trigger(), sim::Hang);
  EXPECT_EQ(dxe_.key_reads(), 17u);
}

class PromptOnS4Test : public PromptTest {
 protected:
  PromptOnS4Test() : PromptTest(BOOT_ON_S4_RESUME) {}
};
using PromptOnS4 = test::OnEngine<PromptOnS4Test>;
INSTANTIATE_TEST_SUITE_P(Engines, PromptOnS4, ::testing::ValuesIn(test::Engines()), test::EngineNames());

// Without the HOB list the boot mode is taken as a full-configuration boot: on this S4 resume,
// whose HOB is withdrawn, Del is offered and taken.
TEST_P(PromptOnS4, WithoutTheHobListTheBootIsAFullConfigurationBoot) {
  dxe_.withdraw_hob_list();
  CmosFlag(0x01);
  Type("Del");
  Load();
  Trigger();
  EXPECT_EQ(dxe_.screen().size(), 5u);
  EXPECT_EQ(dxe_.enter_setup_flag(), 1);
}

TEST_P(PromptOnS4, OnlyF1IsOfferedAndBothDelFormsAreIgnored) {
  CmosFlag(0x01);
  TypeOneByOne({*sim::key_named("Del"), *sim::key_named("KeypadDel"), *sim::key_named("F1")});
  Load();
  Trigger();
  EXPECT_THAT(dxe_.screen(), ElementsAre("CMOS Checksum error", "CMOS Date/Time Not set",
                                         "The default values has been loaded", "Press F1 to Continue"));
  EXPECT_EQ(dxe_.enter_setup_flag(), 0xFF);
  EXPECT_EQ(dxe_.con_in_resets(), 0u);
}

struct SetupCase {
  const char *name;
  std::vector<std::size_t> sizes;  // the variable's size at each read
  unsigned reads;
};

using SetupVariable = test::OnEngine<PromptTest, SetupCase>;

TEST_P(SetupVariable, ReadIntoABufferThatIsNeverOverrun) {
  CmosFlag(0x00);
  dxe_.grow_on_reads(u"Setup", Param().sizes);
  Load();
  Trigger();
  EXPECT_EQ(dxe_.get_variable_calls(), Param().reads);
  EXPECT_EQ(dxe_.enter_setup_flag(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SetupVariable,
                         test::OnEngines<SetupCase>({SetupCase{"fixed", {100}, 2}, SetupCase{"one_byte", {1}, 2},
                                           SetupCase{"grows_once", {100, 200}, 3},
                                           SetupCase{"grows_at_every_read", {100, 200, 300, 400, 500, 600}, 4}}),
    test::EngineNames());


// Read after read, the buffer is kept while the variable fits it and replaced (never overrun)
// when it does not; a buffer that cannot be had is size 0.
TEST_F(PromptOnHost, AVariableBufferIsKeptWhileTheVariableFitsIt) {
  Load();
  auto *name = const_cast<CHAR16 *>(reinterpret_cast<const CHAR16 *>(u"Setup"));
  EFI_GUID guid = gSetupVariableGuid;
  VOID *data = nullptr;
  UINTN size = 0, buffer = 0;
  const auto read = [&] { return cmos_prompt::GetVariableWithBuffer(name, &guid, nullptr, &size, &data, &buffer); };
  const auto allocations = [&] { return dxe_.calls(sim::DxeService::AllocatePool); };

  ASSERT_EQ(read(), EFI_SUCCESS);
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(buffer, 64u);
  unsigned before = allocations();
  ASSERT_EQ(read(), EFI_SUCCESS);  // the same size: the same buffer
  EXPECT_EQ(allocations(), before);

  dxe_.set_variable(u"Setup", gSetupVariableGuid, std::vector<std::uint8_t>(100, 1));
  ASSERT_EQ(read(), EFI_SUCCESS);  // too small: replaced by one of the new size
  EXPECT_EQ(size, 100u);
  EXPECT_EQ(buffer, 100u);
  before = allocations();
  ASSERT_EQ(read(), EFI_SUCCESS);
  EXPECT_EQ(allocations(), before);

  // A caller that asks for more than the buffer holds (the size a too-small answer gave) gets
  // a buffer of that size before the read.
  dxe_.set_variable(u"Setup", gSetupVariableGuid, std::vector<std::uint8_t>(150, 2));
  size = 150;
  ASSERT_EQ(read(), EFI_SUCCESS);
  EXPECT_EQ(buffer, 150u);
  before = allocations();
  ASSERT_EQ(read(), EFI_SUCCESS);
  EXPECT_EQ(allocations(), before);

  // No buffer to be had, on either path: no buffer and a size of 0.
  size = 200;
  dxe_.fail_call(sim::DxeService::AllocatePool, allocations() + 1, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(read(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(buffer, 0u);
  dxe_.fail_call(sim::DxeService::AllocatePool, allocations() + 1, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(read(), EFI_OUT_OF_RESOURCES);  // no buffer: sized by a first read, then not had
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(buffer, 0u);
  dxe_.remove_variable(u"Setup");
  EXPECT_EQ(read(), EFI_NOT_FOUND);
  EXPECT_EQ(buffer, 0u);
}

// Only the entries the table counts are searched.
TEST(ConfigurationTable, OnlyTheCountedEntriesAreSearched) {
  int first = 0, second = 0;
  EFI_CONFIGURATION_TABLE entries[2] = {{gSetupVariableGuid, &first}, {gEfiHobListGuid, &second}};
  EFI_SYSTEM_TABLE st{};
  st.ConfigurationTable = entries;
  st.NumberOfTableEntries = 1;
  EXPECT_EQ(cmos_prompt::GetConfigurationTableEntry(&st, gEfiHobListGuid), nullptr);
  EXPECT_EQ(cmos_prompt::GetConfigurationTableEntry(&st, gSetupVariableGuid), &first);
  st.NumberOfTableEntries = 2;
  EXPECT_EQ(cmos_prompt::GetConfigurationTableEntry(&st, gEfiHobListGuid), &second);
}

TEST_P(Prompt, AbsentSetupIsNoProblem) {
  dxe_.remove_variable(u"Setup");
  CmosFlag(0x00);
  Load();
  Trigger();
  EXPECT_EQ(dxe_.enter_setup_flag(), 0);
}

// "Setup" grew between the two reads, and the larger buffer for the second cannot be had.
TEST_P(Prompt, SetupThatGrewAndCannotBeReallocatedStillRunsTheHooks) {
  CmosFlag(0x01);
  Type("Del");
  dxe_.grow_on_reads(u"Setup", {100, 200, 300});
  dxe_.fail_call(sim::DxeService::AllocatePool, 2, EFI_OUT_OF_RESOURCES);
  Load();
  Trigger();
  EXPECT_EQ(dxe_.screen().size(), 5u);
  EXPECT_EQ(dxe_.enter_setup_flag(), 1);
  EXPECT_EQ(dxe_.live_pool_buffers(), 0u);
}

TEST_P(Prompt, SetupAllocationFailureStillRunsTheHooks) {
  CmosFlag(0x01);
  Type("Del");
  dxe_.fail_call(sim::DxeService::AllocatePool, 1, EFI_OUT_OF_RESOURCES);
  Load();
  Trigger();
  EXPECT_EQ(dxe_.screen().size(), 5u);
  EXPECT_EQ(dxe_.enter_setup_flag(), 1);
}

TEST_P(Prompt, WithoutThePostMessageProtocolNothingRunsAndTheFlagStaysForLater) {
  CmosFlag(0x01);
  dxe_.remove_post_message_protocol();
  Load();
  Trigger();
  EXPECT_TRUE(trace().empty());
  EXPECT_EQ(hw_.southbridge.rtc.get(0x46), 0x01);
  EXPECT_EQ(dxe_.enter_setup_flag(), 0xFF);
  EXPECT_EQ(dxe_.get_variable_calls(), 0u);
}

TEST_P(Prompt, WithoutKeyInputOnTheConsoleItEndsSilently) {
  CmosFlag(0x01);
  dxe_.remove_key_input();
  Load();
  Trigger();
  EXPECT_TRUE(trace().empty());
  EXPECT_TRUE(dxe_.screen().empty());
  EXPECT_EQ(dxe_.enter_setup_flag(), 0xFF);
}

TEST_P(Prompt, WithoutConInThePromptIsShownButNoKeyIsAwaited) {
  CmosFlag(0x01);
  dxe_.remove_con_in();
  Load();
  Trigger();
  EXPECT_EQ(dxe_.screen().size(), 5u);
  EXPECT_EQ(dxe_.key_reads(), 0u);
}

TEST_P(Prompt, EachTriggerRunsTheSequenceAgain) {
  CmosFlag(0x01);
  Type("Del");
  Load();
  Trigger();
  EXPECT_EQ(dxe_.enter_setup_flag(), 1);
  Trigger();  // the flag was cleared by the first run: nothing to report now
  EXPECT_EQ(dxe_.enter_setup_flag(), 0);
  EXPECT_EQ(dxe_.screen().size(), 5u);
}

TEST_F(PromptOnHost, ASecondInitialisationKeepsTheFirstTables) {
  Load();
  EFI_SYSTEM_TABLE *first = cmos_prompt::gST;
  EFI_SYSTEM_TABLE other = *first;
  EXPECT_EQ(CmosErrorPromptEntry(nullptr, &other), EFI_SUCCESS);
  EXPECT_EQ(cmos_prompt::gST, first);
}

struct EntryFailureCase {
  const char *name;
  sim::DxeService service;
};

using EntryFailure = test::OnEngine<PromptTest, EntryFailureCase>;

TEST_P(EntryFailure, ReturnsTheErrorAndNeverRuns) {
  CmosFlag(0x01);
  dxe_.fail_call(Param().service, 1, EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Start(), EFI_OUT_OF_RESOURCES);
  Trigger();
  EXPECT_TRUE(trace().empty());
}

INSTANTIATE_TEST_SUITE_P(Injected, EntryFailure,
                         test::OnEngines<EntryFailureCase>({EntryFailureCase{"create_event", sim::DxeService::CreateEvent},
                                           EntryFailureCase{"register_notify", sim::DxeService::RegisterProtocolNotify}}),
    test::EngineNames());

TEST_P(Prompt, WithoutAFlagLocationNothingIsWritten) {
  dxe_.withdraw_enter_setup_flag();
  CmosFlag(0x01);
  Type("Del");
  Load();
  Trigger();
  EXPECT_EQ(dxe_.enter_setup_flag(), std::nullopt);
  EXPECT_EQ(dxe_.con_in_resets(), 1u);
}

using CmosBits = PromptOnHost;

TEST_F(CmosBits, TokensSelectRegisterBitAndWidth) {
  hw_.southbridge.rtc.set(0x46, 0xB7);
  hw_.southbridge.rtc.set(0x47, 0x5A);
  sim::Machine::Scope scope(hw_.machine);
  EXPECT_EQ(cmos_prompt::ReadCmosBits(0x8230), 0xB7);  // width 8, position 0: the whole register, bit 0 too
  EXPECT_EQ(cmos_prompt::ReadCmosBits(0x3232), 0x05);  // bits 2-4 of 0x46 (0b101)
  EXPECT_EQ(cmos_prompt::ReadCmosBits(0x8238), 0x5A);  // an odd register: 0x47, not 0x46
  cmos_prompt::WriteCmosBits(0x3232, 0x02);
  EXPECT_EQ(hw_.southbridge.rtc.get(0x46), 0xAB);  // bits 2-4 := 010, the rest kept
  // Odd bit positions: bit 3 of 0x46 read, bit 5 of 0x47 set.
  EXPECT_EQ(cmos_prompt::ReadCmosBits(0x1233), 0x01);
  cmos_prompt::WriteCmosBits(0x123D, 0x01);
  EXPECT_EQ(hw_.southbridge.rtc.get(0x47), 0x7A);
  EXPECT_TRUE(TraceIs(trace(), {Out(0x70, 8, 0xC6), In(0x71, 8, 0xB7), Out(0x70, 8, 0xC6), In(0x71, 8, 0xB7),
                                Out(0x70, 8, 0xC7), In(0x71, 8, 0x5A), Out(0x70, 8, 0xC6), In(0x71, 8, 0xB7),
                                Out(0x71, 8, 0xAB), Out(0x70, 8, 0xC6), In(0x71, 8, 0xAB), Out(0x70, 8, 0xC7),
                                In(0x71, 8, 0x5A), Out(0x71, 8, 0x7A)}));
  EXPECT_TRUE(hw_.southbridge.rtc.nmi_disabled());
}

}  // namespace
