// The EDK2 package declaration (edk2/SbPkg/SbPkg.dec) against the GUID constants the modules are
// built with: EDK2 users take the values from the DEC, the modules use their own constants, so
// the two must never drift apart.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "pi/ppi/smbus.h"
#include "pi/protocol/post_screen.h"
#include "sb_pei/sb_pei.h"

namespace {

std::string Hex(unsigned long Value) {
  std::ostringstream S;
  S << std::hex << Value;
  return S.str();
}

std::string Format(const EFI_GUID &G) {
  std::string Text = Hex(G.Data1) + '-' + Hex(G.Data2) + '-' + Hex(G.Data3);
  for (UINT8 B : G.Data4) {
    Text += '-';
    Text += Hex(B);
  }
  return Text;
}

// Every "gName = { 0x..., 0x..., 0x..., { 0x.., ... } }" line of the DEC, as the same text.
std::map<std::string, std::string> DecGuids() {
  std::ifstream Dec(SB_SOURCE_DIR "/edk2/SbPkg/SbPkg.dec");
  EXPECT_TRUE(Dec.good());
  std::map<std::string, std::string> Guids;
  for (std::string Text; std::getline(Dec, Text);) {
    std::istringstream Line(Text);
    std::string Name, Equals;
    if (!(Line >> Name >> Equals) || Name.rfind("g", 0) != 0 || Equals != "=") continue;
    std::string Out;
    for (size_t At = Text.find("0x"); At != std::string::npos; At = Text.find("0x", At + 2)) {
      if (!Out.empty()) Out += '-';
      Out += Hex(std::stoul(Text.substr(At), nullptr, 16));
    }
    Guids[Name] = Out;
  }
  return Guids;
}

TEST(Edk2Package, DeclaresEveryGuidWithTheModulesValue) {
  const std::map<std::string, const EFI_GUID *> Ours = {
      {"gSbPrivatePpiGuid", &gSbPrivatePpiGuid},
      {"gSbOptionalPpiGuid", &gSbOptionalPpiGuid},
      {"gSbInitDonePpiGuid", &gSbInitDonePpiGuid},
      {"gSbPlatformHookPpiGuid", &gSbPlatformHookPpiGuid},
      {"gSbConfigHobGuid", &gSbConfigHobGuid},
      {"gEfiPeiSmbusPpiGuid", &gEfiPeiSmbusPpiGuid},
      {"gPromptTriggerProtocolGuid", &gPromptTriggerProtocolGuid},
      {"gPostMessageProtocolGuid", &gPostMessageProtocolGuid},
      {"gExtendedKeyInputProtocolGuid", &gExtendedKeyInputProtocolGuid},
      {"gSetupVariableGuid", &gSetupVariableGuid},
      {"gEnterSetupRequestTableGuid", &gEnterSetupRequestTableGuid},
  };
  const auto Dec = DecGuids();
  EXPECT_EQ(Dec.size(), Ours.size()) << "the DEC declares a GUID the modules do not have, or the other way round";
  for (const auto &[Name, Guid] : Ours) {
    const auto It = Dec.find(Name);
    ASSERT_NE(It, Dec.end()) << Name << " is not declared in SbPkg.dec";
    EXPECT_EQ(It->second, Format(*Guid)) << Name;
  }
}

}  // namespace
