// Board scenarios: every example board runs, values reach the hardware, and malformed boards
// are refused with the file, the line and the key.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/board/scenario.h"
#include "sim/board/summary.h"

namespace {

TEST(Scenario, EveryExampleBoardRunsCleanly) {
  std::size_t boards = 0;
  for (const auto &entry : std::filesystem::directory_iterator(SB_BOARDS_DIR)) {
    if (entry.path().extension() != ".toml") continue;
    ++boards;
    SCOPED_TRACE(entry.path().string());
    const sim::Board board = sim::load_board(entry.path().string());
    sim::BoardHardware hw(board);
    hw.machine.set_watchdog(60'000'000'000);
    const auto passes = sim::run_pei_passes(board, hw);
    ASSERT_FALSE(passes.back().reset.has_value());
    EXPECT_EQ(passes.back().status, EFI_SUCCESS);
    const sim::DxeResult dxe = sim::run_dxe(board, hw, passes.back().boot_mode);
    EXPECT_FALSE(dxe.stopped.has_value()) << *dxe.stopped;
    EXPECT_EQ(dxe.keys_left, 0u);
    EXPECT_EQ(dxe.pool_leaks, 0u);
    EXPECT_TRUE(dxe.pool_errors.empty());
  }
  EXPECT_GE(boards, 5u);
}

TEST(Scenario, TheBuiltInDefaultIsThePowerLossBoard) {
  std::ifstream in(std::string(SB_BOARDS_DIR) + "/power-loss.toml");
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), std::string(sim::embedded_default_board()));
}

TEST(Scenario, ValuesReachTheHardware) {
  const sim::Board b = sim::parse_board(R"(
[board]
name = "everything"
boot_mode = 0x20
sleep_type = 3
other_reset_ppi = true
[hook.before_init]
UsbResetMask = 0x2A
[registers]
pm = { 0x64 = 0x08, 0x65 = 0x08 }
pm_window_bank0 = { 0x3A = 0x10 }
pm_window_bank1 = { 0x1F = 0x70 }
misc = { 0x80 = 0x14 }
cmos = { 0x46 = 0x03 }
io_c00 = { 0x09 = 0xFF }
alink = { 0x80000088 = 0x12345678 }
alink_class2 = { 0xA4 = 0x1 }
[[pci]]
function = "0:14.3"
register = 0x6C
width = 32
value = 0xFFFFFFFF
[[memory_block]]
name = "BLOCK"
base = 0xFEB00000
bytes = { 0x0C = 0xAA }
[[usb_port]]
controller = 2
port = 4
value = 0x10C5
never_settles = true
[smbus.controller1]
collide_first = 2
[dxe]
keys = ["F1", "x"]
setup_variable_size = 0
)",
                                        "inline.toml");
  EXPECT_EQ(b.name, "everything");
  EXPECT_EQ(b.boot_mode_before, BOOT_IN_RECOVERY_MODE);
  EXPECT_TRUE(b.foreign_reset_ppi);
  EXPECT_EQ(b.hook_settings.at(SbHookBeforeInit).front().second, 0x2Au);
  EXPECT_FALSE(b.setup_variable_size.has_value());
  EXPECT_THAT(b.keys, ::testing::ElementsAre("F1", "x"));
  sim::BoardHardware hw(b);
  sim::Southbridge &sb = hw.southbridge;
  EXPECT_EQ(sb.pm.get(0x64, 16), 0x808u);
  EXPECT_EQ(sb.acpi.pm1_control() >> 10 & 7, 3);
  EXPECT_EQ(sb.pm.window(0, 0x3A), 0x10);
  EXPECT_EQ(sb.pm.window(1, 0x1F), 0x70);
  EXPECT_EQ(sb.misc.get(0x80, 8), 0x14u);
  EXPECT_EQ(sb.rtc.get(0x46), 0x03);
  EXPECT_EQ(sb.io_c00.get(0x09), 0xFF);
  EXPECT_EQ(sb.alink.reg(0x80000088), 0x12345678u);
  EXPECT_EQ(sb.alink.class2(0xA4), 1u);
  EXPECT_EQ(sb.dev14_3->get(0x6C, 32), 0xFFFFFFFFu);
  EXPECT_EQ(hw.memory_block("BLOCK")->get(0x0C, 8), 0xAAu);
  EXPECT_EQ(sb.usb[2]->port(4).value(), 0x10C5u);
}

struct BadCase {
  const char *name;
  const char *toml;
  std::uint32_t line;
  const char *key;      // "" when the error names no key
  const char *message;  // a piece of the message
};

class Malformed : public ::testing::TestWithParam<BadCase> {};

TEST_P(Malformed, RefusedWithFileLineAndKey) {
  const BadCase c = GetParam();
  try {
    sim::parse_board(c.toml, "bad.toml");
    FAIL() << "accepted";
  } catch (const sim::ScenarioError &e) {
    EXPECT_EQ(e.file, "bad.toml");
    EXPECT_EQ(e.line, c.line) << e.what();
    EXPECT_EQ(e.key, c.key) << e.what();
    EXPECT_THAT(e.what(), ::testing::HasSubstr(c.message));
    EXPECT_THAT(e.what(), ::testing::StartsWith("bad.toml:" + std::to_string(c.line) + ":"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Boards, Malformed,
    ::testing::Values(
        BadCase{"unknown_section", "\n[bord]\nname = \"x\"\n", 2, "bord", "unknown key"},
        BadCase{"unknown_field", "[hook.after_defaults]\nSmbusBase0 = 1\nSmbusBase3 = 1\n", 3, "SmbusBase3",
                "not a field"},
        BadCase{"unknown_hook_point", "[hook.before_reset]\nSbFlags = 1\n", 1, "before_reset", "unknown key"},
        BadCase{"field_too_wide", "[hook.after_init]\nAcpiPm1CntBlk = 0x10000\n", 2, "AcpiPm1CntBlk", "out of range"},
        BadCase{"byte_too_wide", "[registers]\npm = { 0x62 = 0x100 }\n", 2, "0x62", "out of range"},
        BadCase{"register_out_of_space", "[registers]\ncmos = { 0x80 = 1 }\n", 2, "0x80", "not a register number"},
        BadCase{"negative", "[board]\nboot_mode = -1\n", 2, "boot_mode", "out of range"},
        BadCase{"wrong_type", "[board]\nsleep_type = \"three\"\n", 2, "sleep_type", "whole number"},
        BadCase{"sleep_type_8", "[board]\nsleep_type = 8\n", 2, "sleep_type", "out of range"},
        BadCase{"not_toml", "[board\nname = 1\n", 1, "", ""},
        BadCase{"bad_pci_function", "[[pci]]\nfunction = \"0:1G.3\"\nregister = 0\nvalue = 0\n", 2, "function",
                "bus:device.function"},
        BadCase{"pci_value_wider_than_width", "[[pci]]\nfunction = \"0:14.3\"\nregister = 0x40\nvalue = 0x100\n", 4,
                "value", "out of range"},
        BadCase{"unknown_key_typed", "[dxe]\nkeys = [\"F1\", \"F13\"]\n", 2, "keys", "unknown key F13"},
        BadCase{"unknown_smbus_operation",
                "[[smbus.transaction]]\naddress = 0x50\noperation = \"ReadNibble\"\n", 3, "operation",
                "unknown SMBus operation"},
        BadCase{"short_mmio_entry", "platform_mmio_table = [[0x03, 0xC4, 0xFB]]\n", 1, "platform_mmio_table",
                "4 bytes"},
        BadCase{"usb_port_missing_value", "[[usb_port]]\ncontroller = 0\nport = 1\n", 1, "value", "missing"},
        BadCase{"smbus_address_8_bits", "[[smbus.device]]\naddress = 0xA0\n", 2, "address", "out of range"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Scenario, JsonSummaryCarriesTheResults) {
  const sim::Board board = sim::default_board();
  sim::BoardHardware hw(board);
  const auto passes = sim::run_pei_passes(board, hw);
  const auto dxe = sim::run_dxe(board, hw, passes.back().boot_mode);
  const auto j = sim::summary_json(board, passes, dxe, hw.machine);
  EXPECT_EQ(j["pei_passes"][0]["status"], "EFI_SUCCESS");
  EXPECT_EQ(j["pei_passes"][0]["config"]["SmbusBase0"], 0x0B00);
  EXPECT_EQ(j["dxe"]["enter_setup_request"], 1);
  EXPECT_EQ(j["dxe"]["beeps"].size(), 2u);
  EXPECT_EQ(j["dxe"]["screen"][0], "CMOS Checksum error");
  EXPECT_EQ(j["accesses"], hw.machine.trace().size());
}

}  // namespace
