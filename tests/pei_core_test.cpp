// The PEI core stand-in: the PPI database, HOBs, pool and the CPU I/O PPI behave as PI
// defines them, so that module tests can rely on them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim/services/pei_core.h"
#include "sim/devices/plain_devices.h"
#include "trace_expect.h"

using namespace test;

namespace {

constexpr EFI_GUID kA = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
constexpr EFI_GUID kB = {2, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};

class PeiCoreTest : public ::testing::Test {
 protected:
  const EFI_PEI_SERVICES **ps() const { return core_.services(); }
  sim::Machine machine_;
  sim::PeiCore core_{machine_};
};

TEST_F(PeiCoreTest, InstallWalksTheListToTheTerminateFlag) {
  int a1 = 0, b1 = 0, a2 = 0;
  EFI_PEI_PPI_DESCRIPTOR list[] = {
      {EFI_PEI_PPI_DESCRIPTOR_PPI, const_cast<EFI_GUID *>(&kA), &a1},
      {EFI_PEI_PPI_DESCRIPTOR_PPI, const_cast<EFI_GUID *>(&kB), &b1},
      {EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, const_cast<EFI_GUID *>(&kA), &a2},
      {EFI_PEI_PPI_DESCRIPTOR_PPI, const_cast<EFI_GUID *>(&kB), nullptr},  // past the end: not installed
  };
  ASSERT_EQ((*ps())->InstallPpi(ps(), list), EFI_SUCCESS);
  EXPECT_EQ(core_.ppis().size(), 3u);
  VOID *p = nullptr;
  EFI_PEI_PPI_DESCRIPTOR *d = nullptr;
  EXPECT_EQ((*ps())->LocatePpi(ps(), &kA, 0, &d, &p), EFI_SUCCESS);
  EXPECT_EQ(p, &a1);
  EXPECT_EQ(d, &list[0]);
  EXPECT_EQ((*ps())->LocatePpi(ps(), &kA, 1, nullptr, &p), EFI_SUCCESS);
  EXPECT_EQ(p, &a2);
  EXPECT_EQ((*ps())->LocatePpi(ps(), &kA, 2, nullptr, &p), EFI_NOT_FOUND);
  EXPECT_EQ((*ps())->LocatePpi(ps(), &kB, 1, nullptr, &p), EFI_NOT_FOUND);
}

TEST_F(PeiCoreTest, ADescriptorWithoutThePpiFlagInstallsNothing) {
  int x = 0;
  EFI_PEI_PPI_DESCRIPTOR list[] = {
      {EFI_PEI_PPI_DESCRIPTOR_PPI, const_cast<EFI_GUID *>(&kA), &x},
      {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, const_cast<EFI_GUID *>(&kB), &x},
  };
  EXPECT_EQ((*ps())->InstallPpi(ps(), list), EFI_INVALID_PARAMETER);
  EXPECT_EQ((*ps())->InstallPpi(ps(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_TRUE(core_.ppis().empty());
}

TEST_F(PeiCoreTest, HobsFollowTheHandoffTableAndEndTheList) {
  VOID *hob = nullptr;
  ASSERT_EQ((*ps())->CreateHob(ps(), EFI_HOB_TYPE_GUID_EXTENSION, 30, &hob), EFI_SUCCESS);
  auto *phit = core_.hob_list();
  EXPECT_EQ(phit->Header.HobType, EFI_HOB_TYPE_HANDOFF);
  EXPECT_EQ(reinterpret_cast<UINT8 *>(hob), reinterpret_cast<UINT8 *>(phit) + sizeof(*phit));
  auto *h = static_cast<EFI_HOB_GENERIC_HEADER *>(hob);
  EXPECT_EQ(h->HobLength, 32);  // lengths are kept 8-byte multiples
  auto *end = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(reinterpret_cast<UINT8 *>(hob) + 32);
  EXPECT_EQ(end->HobType, EFI_HOB_TYPE_END_OF_HOB_LIST);
  EXPECT_EQ(phit->EfiEndOfHobList, reinterpret_cast<UINTN>(end));
}

TEST_F(PeiCoreTest, PoolIsAMemoryPoolHobAndRunsOut) {
  VOID *a = nullptr, *b = nullptr;
  ASSERT_EQ((*ps())->AllocatePool(ps(), 20, &a), EFI_SUCCESS);
  // The header, a poisoned zone of 8 bytes, the buffer, poison up to the next HOB.
  auto *h = reinterpret_cast<EFI_HOB_GENERIC_HEADER *>(static_cast<std::uint8_t *>(a) - 8) - 1;
  EXPECT_EQ(h->HobType, EFI_HOB_TYPE_MEMORY_POOL);
  EXPECT_EQ(h->HobLength, 48);
  EXPECT_EQ((*ps())->AllocatePool(ps(), 0x10000, &b), EFI_OUT_OF_RESOURCES);
  for (int i = 0; i < 8; ++i) (*ps())->AllocatePool(ps(), 0x2000, &b);
  EXPECT_EQ((*ps())->AllocatePool(ps(), 0x2000, &b), EFI_OUT_OF_RESOURCES);
}

TEST_F(PeiCoreTest, InjectedFailureHitsOnlyTheNthCall) {
  core_.fail_call(sim::PeiService::AllocatePool, 2, EFI_OUT_OF_RESOURCES);
  VOID *p = nullptr;
  EXPECT_EQ((*ps())->AllocatePool(ps(), 8, &p), EFI_SUCCESS);
  p = nullptr;
  EXPECT_EQ((*ps())->AllocatePool(ps(), 8, &p), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ((*ps())->AllocatePool(ps(), 8, &p), EFI_SUCCESS);
}

TEST_F(PeiCoreTest, BootModeLivesInTheHandoffTable) {
  EXPECT_EQ((*ps())->SetBootMode(ps(), BOOT_ON_S3_RESUME), EFI_SUCCESS);
  EXPECT_EQ(core_.hob_list()->BootMode, BOOT_ON_S3_RESUME);
  EFI_BOOT_MODE m = 0;
  EXPECT_EQ((*ps())->GetBootMode(ps(), &m), EFI_SUCCESS);
  EXPECT_EQ(m, BOOT_ON_S3_RESUME);
}

TEST_F(PeiCoreTest, CpuIoAccessesAreTracedAsMadeThroughThePpi) {
  sim::PortRegisters ports(0x70, 2, "RTC");
  ports.attach(machine_);
  ports.set(0x71, 8, 0x5A);
  const EFI_PEI_CPU_IO_PPI *io = (*ps())->CpuIo;
  io->IoWrite8(ps(), io, 0x70, 0x8A);
  EXPECT_EQ(io->IoRead8(ps(), io, 0x71), 0x5A);
  EXPECT_EQ(io->IoRead16(ps(), io, 0x70), 0x5A8A);
  EXPECT_TRUE(TraceIs(machine_.trace().entries(), {Out(0x70, 8, 0x8A), In(0x71, 8, 0x5A), In(0x70, 16, 0x5A8A)}));
  for (const sim::Access &a : machine_.trace().entries()) EXPECT_STREQ(a.via, "CpuIo");
  EXPECT_EQ(machine_.now_ns(), 3 * machine_.costs().io_ns);
}

TEST_F(PeiCoreTest, UnmodelledServicesAreRefusedAndRecorded) {
  EXPECT_EQ((*ps())->ReInstallPpi(ps(), nullptr, nullptr), EFI_UNSUPPORTED);
  EXPECT_THAT(core_.unexpected_calls(), ::testing::ElementsAre("ReInstallPpi"));
}

// A notification fires for a PPI installed later and at once for one that is there; a list
// the core cannot take enters nothing.
std::vector<VOID *> g_notified;
EFI_STATUS EFIAPI RecordNotify(EFI_PEI_SERVICES **, EFI_PEI_NOTIFY_DESCRIPTOR *, VOID *ppi) {
  g_notified.push_back(ppi);
  return EFI_SUCCESS;
}

TEST_F(PeiCoreTest, NotificationsFireForPresentAndLaterPpis) {
  std::vector<VOID *> &seen = g_notified;
  seen.clear();
  static constexpr EFI_GUID kWatched = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 4}};
  const EFI_PEIM_NOTIFY_ENTRY_POINT record = RecordNotify;
  int first = 1, second = 2;
  core_.install_ppi(kWatched, &first);
  const EFI_PEI_NOTIFY_DESCRIPTOR notify = {EFI_PEI_PPI_DESCRIPTOR_NOTIFY_CALLBACK | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST,
                                            const_cast<EFI_GUID *>(&kWatched), record};
  EXPECT_EQ((*ps())->NotifyPpi(ps(), &notify), EFI_SUCCESS);
  core_.install_ppi(kWatched, &second);
  static constexpr EFI_GUID kOther = {0x11111111, 0x2222, 0x3333, {4, 4, 4, 4, 4, 4, 4, 5}};
  core_.install_ppi(kOther, &second);  // another GUID: nothing fires
  EXPECT_THAT(seen, ::testing::ElementsAre(&first, &second));

  const EFI_PEI_NOTIFY_DESCRIPTOR not_a_notify[] = {
      {EFI_PEI_PPI_DESCRIPTOR_PPI | EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST, const_cast<EFI_GUID *>(&kWatched), record}};
  EXPECT_EQ((*ps())->NotifyPpi(ps(), nullptr), EFI_INVALID_PARAMETER);
  EXPECT_EQ((*ps())->NotifyPpi(ps(), not_a_notify), EFI_INVALID_PARAMETER);
  core_.install_ppi(kWatched, &first);
  EXPECT_EQ(seen.size(), 3u);  // only the first notification is entered
  EXPECT_TRUE(core_.unexpected_calls().empty());
}

TEST(TraceFormat, OneJsonObjectPerLine) {
  sim::Access a{1500, sim::Op::Out, 0xCF8, 32, 0x8000A36C, "PCI_CONFIG_ADDRESS", "CpuIo"};
  EXPECT_EQ(sim::to_json_line(a),
            R"({"t":1500,"op":"out","addr":3320,"width":32,"value":2147525484,"reg":"PCI_CONFIG_ADDRESS","via":"CpuIo"})");
  sim::Access b{0, sim::Op::Rd, 0xFED80364, 16, 0x808, {}, nullptr};
  EXPECT_EQ(sim::to_json_line(b), R"({"t":0,"op":"rd","addr":4275569508,"width":16,"value":2056})");
}

}  // namespace
