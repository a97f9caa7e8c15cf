// The prompt sequence with fuzzed key streams, boot modes, CMOS contents, "Setup" sizes that
// change between reads (growing or shrinking) and platform pieces present or not.
// Invariants: every pool buffer freed, none overrun (the DXE stand-in's guards), the only way
// to stay is waiting at the keyboard for a key that is never typed.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz_support.h"


#include "cmos_error_prompt/cmos_error_prompt.h"
#include "sim/devices/pit_speaker.h"
#include "sim/devices/rtc_cmos.h"
#include "sim/machine/faults.h"
#include "sim/machine/post_port.h"
#include "sim/services/dxe_core.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  // The hardware the driver touches, and nothing else: the CMOS, the POST code port, the
  // speaker and its timer.
  sim::Machine machine;
  machine.trace().set_enabled(false);
  sim::RtcCmos rtc;
  sim::PostCodePort post;
  sim::PitSpeaker speaker;
  rtc.attach(machine);
  post.attach(machine);
  speaker.attach(machine);
  rtc.set(0x46, in.ConsumeIntegral<std::uint8_t>());
  const EFI_BOOT_MODE modes[] = {BOOT_WITH_FULL_CONFIGURATION, BOOT_ON_S4_RESUME, BOOT_ON_S3_RESUME,
                                 in.ConsumeIntegral<std::uint8_t>()};
  sim::DxeCore dxe(machine, modes[in.ConsumeIntegralInRange<int>(0, 3)]);
  // With no key left to come the driver can only poll on; a few empty polls show that as well
  // as the stand-in's default second of them (10,000 polls, most of an input's time).
  dxe.set_idle_polls_before_giving_up(16);
  if (in.ConsumeBool()) {
    dxe.set_variable(u"Setup", gSetupVariableGuid, {});
    std::vector<std::size_t> sizes;
    const unsigned reads = in.ConsumeIntegralInRange<unsigned>(1, 6);
    for (unsigned i = 0; i < reads; ++i) sizes.push_back(in.ConsumeIntegralInRange<std::size_t>(0, 400));
    dxe.grow_on_reads(u"Setup", sizes);
  }
  if (fuzz::one_in(in, 8)) dxe.remove_post_message_protocol();
  if (fuzz::one_in(in, 8)) dxe.remove_key_input();
  if (fuzz::one_in(in, 8)) dxe.remove_con_in();
  if (in.ConsumeBool()) dxe.publish_enter_setup_flag(in.ConsumeIntegral<std::uint8_t>());
  if (fuzz::one_in(in, 8))
    dxe.fail_call(sim::DxeService::AllocatePool, in.ConsumeIntegralInRange<unsigned>(1, 3), EFI_OUT_OF_RESOURCES);
  const unsigned keys = in.ConsumeIntegralInRange<unsigned>(0, 12);
  std::uint64_t at = 0;
  for (unsigned i = 0; i < keys; ++i) {
    sim::Key k;
    k.scan = in.ConsumeIntegralInRange<std::uint16_t>(0, 0x20);
    k.unicode = in.ConsumeBool() ? 0 : in.ConsumeIntegral<char16_t>();
    k.raw = in.ConsumeIntegral<std::uint8_t>();
    at += in.ConsumeIntegralInRange<std::uint64_t>(0, 3'000'000'000ull);
    k.at_ns = at;
    dxe.type(k);
  }
  cmos_prompt::gST = nullptr;
  if (!EFI_ERROR(dxe.start_image(CmosErrorPromptEntry))) {
    static int trigger = 0;
    try {
      dxe.install_protocol(gPromptTriggerProtocolGuid, &trigger);
    } catch (const sim::Hang &) {
      // Waiting at the prompt for a key that is never typed: allowed.
    }
  }
  if (!dxe.pool_errors().empty()) fuzz::violated(dxe.pool_errors().front().c_str());
  if (dxe.live_pool_buffers() != 0) fuzz::violated("a pool buffer was never freed");
  return 0;
}
