// An SMBus host controller (registers 0x00-0x08 in I/O space at its base) with the devices on
// its bus and the other agent that shares it through the semaphore register. The base follows
// the PM register that the southbridge decodes it from (bit 0 enables, bits 4-15 the base).
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/machine/machine.h"
#include "sim/devices/sb_pm.h"

namespace sim {

// A device on the bus. Each returns false when it does not acknowledge.
class SmbusDevice {
 public:
  virtual ~SmbusDevice() = default;
  virtual bool quick(bool read) = 0;
  virtual bool receive_byte(std::uint8_t &value) = 0;
  virtual bool send_byte(std::uint8_t value) = 0;
  virtual bool read_byte(std::uint8_t command, std::uint8_t &value) = 0;
  virtual bool write_byte(std::uint8_t command, std::uint8_t value) = 0;
  virtual bool read_word(std::uint8_t command, std::uint16_t &value) = 0;
  virtual bool write_word(std::uint8_t command, std::uint16_t value) = 0;
  virtual bool read_block(std::uint8_t command, std::vector<std::uint8_t> &bytes) = 0;
  virtual bool write_block(std::uint8_t command, const std::vector<std::uint8_t> &bytes) = 0;
};

// An SPD-like EEPROM: 256 bytes and an internal address pointer.
class SpdEeprom : public SmbusDevice {
 public:
  explicit SpdEeprom(std::array<std::uint8_t, 256> contents = {}) : mem_(contents) {}
  bool quick(bool) override { return true; }
  bool receive_byte(std::uint8_t &v) override { v = mem_[ptr_++]; return true; }
  bool send_byte(std::uint8_t v) override { ptr_ = v; return true; }
  bool read_byte(std::uint8_t c, std::uint8_t &v) override { v = mem_[c]; ptr_ = static_cast<std::uint8_t>(c + 1); return true; }
  bool write_byte(std::uint8_t c, std::uint8_t v) override { mem_[c] = v; return true; }
  bool read_word(std::uint8_t c, std::uint16_t &v) override {
    v = static_cast<std::uint16_t>(mem_[c] | mem_[static_cast<std::uint8_t>(c + 1)] << 8);
    return true;
  }
  bool write_word(std::uint8_t c, std::uint16_t v) override {
    mem_[c] = static_cast<std::uint8_t>(v);
    mem_[static_cast<std::uint8_t>(c + 1)] = static_cast<std::uint8_t>(v >> 8);
    return true;
  }
  // A block read returns up to 32 bytes from `command` on.
  bool read_block(std::uint8_t c, std::vector<std::uint8_t> &bytes) override {
    bytes.clear();
    for (unsigned i = 0; i < 32; ++i) bytes.push_back(mem_[static_cast<std::uint8_t>(c + i)]);
    return true;
  }
  bool write_block(std::uint8_t c, const std::vector<std::uint8_t> &bytes) override {
    for (std::size_t i = 0; i < bytes.size(); ++i) mem_[static_cast<std::uint8_t>(c + i)] = bytes[i];
    return true;
  }
  std::uint8_t at(std::uint8_t a) const { return mem_[a]; }
  std::uint8_t pointer() const { return ptr_; }

 private:
  std::array<std::uint8_t, 256> mem_;
  std::uint8_t ptr_ = 0;
};

class SmbusController : public IoDevice {
 public:
  static constexpr unsigned kRegisters = 9;
  // Host status bits.
  static constexpr std::uint8_t kBusy = 0x01, kDone = 0x02, kDeviceError = 0x04, kCollision = 0x08, kFailed = 0x10;

  SmbusController(std::string name, std::uint8_t pm_base_register) : name_(std::move(name)), pm_reg_(pm_base_register) {}

  // Decodes at the base that the PM register holds, now and whenever it changes.
  void attach(Machine &m, PmRegisters &pm);
  void follow_pm(std::uint8_t reg);

  std::uint32_t io_read(std::uint16_t port, unsigned width) override;
  void io_write(std::uint16_t port, unsigned width, std::uint32_t value) override;
  std::string io_name(std::uint16_t port) const override;

  // Backend: the bus, and the faults a test can inject.
  void add_device(std::uint8_t address, std::shared_ptr<SmbusDevice> device) { devices_[address & 0x7F] = std::move(device); }
  void collide_first(unsigned attempts) { collisions_ = attempts; }
  void host_busy_forever(bool on = true) { host_stuck_ = on; }
  void slave_busy_forever(bool on = true) { slave_stuck_ = on; }
  // Slave status bits besides busy that an event source sets again as soon as they are cleared
  // (a slave-side event that keeps firing): they read as set, and the controller is not busy.
  void repeat_slave_events(std::uint8_t bits) { slave_events_ = bits & 0x3E; }
  void never_completes(bool on = true) { never_completes_ = on; }
  void report_block_count(int count) { block_count_override_ = count; }  // < 0: the device's own
  // The host status bits that the next transactions end with, one per start, before anything
  // else decides (for example 0x0C: a device error and a collision at once).
  void script_status(std::vector<std::uint8_t> bits) { script_ = std::move(bits); }
  // The firmware's claim already stands (left over from an earlier call).
  void set_claimed(bool claimed) { claim_ = claimed; }
  // The other agent holds the controller for the next `polls` reads of the semaphore register
  // (forever if negative).
  void hold_semaphore(int polls) { agent_polls_ = polls; }
  // Reserved bits of the semaphore register (0-3, 7) that this part reads as set.
  void set_semaphore_reserved_bits(std::uint8_t bits) { semaphore_reserved_ = bits & 0x8F; }

  std::uint16_t base() const { return base_; }
  bool firmware_holds() const { return claim_ && agent_polls_ == 0; }
  std::uint8_t host_status() const { return host_status_; }
  unsigned transactions() const { return transactions_; }

 private:
  std::uint8_t read_reg(unsigned reg);
  void write_reg(unsigned reg, std::uint8_t value);
  void start(std::uint8_t control);
  bool run(std::uint8_t protocol);

  std::string name_;
  std::uint8_t pm_reg_;
  Machine *machine_ = nullptr;
  PmRegisters *pm_ = nullptr;
  std::uint16_t base_ = 0;

  std::uint8_t host_status_ = 0, slave_status_ = 0, control_ = 0, command_ = 0, address_ = 0, data0_ = 0, data1_ = 0;
  std::array<std::uint8_t, 32> block_{};
  unsigned block_index_ = 0;
  bool claim_ = false;  // the firmware's request or hold
  int agent_polls_ = 0;
  std::uint8_t semaphore_reserved_ = 0;

  std::map<std::uint8_t, std::shared_ptr<SmbusDevice>> devices_;
  unsigned collisions_ = 0;
  bool host_stuck_ = false, slave_stuck_ = false, never_completes_ = false;
  std::uint8_t slave_events_ = 0;
  int block_count_override_ = -1;
  std::vector<std::uint8_t> script_;
  unsigned transactions_ = 0;
};

}  // namespace sim
