#include "sim/devices/smbus.h"

#include <fmt/format.h>

namespace sim {
namespace {

constexpr const char *kRegisterNames[SmbusController::kRegisters] = {"HSTS", "SSTS", "HCTL", "HCMD", "HADDR",
                                                                     "DATA0", "DATA1", "BLOCK", "SEMA"};

}  // namespace

void SmbusController::attach(Machine &m, PmRegisters &pm) {
  machine_ = &m;
  pm_ = &pm;
  follow_pm(pm_reg_);
}

void SmbusController::follow_pm(std::uint8_t reg) {
  if (pm_ == nullptr || (reg != pm_reg_ && reg != pm_reg_ + 1)) return;
  const std::uint16_t value = static_cast<std::uint16_t>(pm_->get(pm_reg_, 16));
  const std::uint16_t base = (value & 1) ? (value & 0xFFF0) : 0;
  if (base == base_) return;
  if (base_ != 0) machine_->unmap_io(base_, kRegisters, this);
  base_ = base;
  if (base_ != 0) machine_->map_io(base_, kRegisters, this);
}

std::uint32_t SmbusController::io_read(std::uint16_t port, unsigned) { return read_reg(port - base_); }
void SmbusController::io_write(std::uint16_t port, unsigned, std::uint32_t value) {
  write_reg(port - base_, static_cast<std::uint8_t>(value));
}

std::string SmbusController::io_name(std::uint16_t port) const {
  const unsigned reg = port - base_;
  return reg < kRegisters ? fmt::format("{} {}", name_, kRegisterNames[reg]) : name_;
}

std::uint8_t SmbusController::read_reg(unsigned reg) {
  switch (reg) {
    case 0: return host_status_ | (host_stuck_ ? kBusy : 0);
    case 1: return slave_status_ | (slave_stuck_ ? 0x01 : 0) | slave_events_;
    case 2: block_index_ = 0; return control_;
    case 3: return command_;
    case 4: return address_;
    case 5: return data0_;
    case 6: return data1_;
    case 7: return block_[block_index_++ % block_.size()];
    case 8: {
      const bool agent = agent_polls_ != 0;
      if (agent_polls_ > 0) --agent_polls_;
      return static_cast<std::uint8_t>(semaphore_reserved_ | (claim_ ? 0x10 : 0) | (agent ? 0x40 : 0));
    }
    default: return 0xFF;
  }
}

void SmbusController::write_reg(unsigned reg, std::uint8_t value) {
  switch (reg) {
    case 0: host_status_ &= static_cast<std::uint8_t>(~(value & 0x1F)); break;
    case 1: slave_status_ &= static_cast<std::uint8_t>(~(value & 0x3F)); break;
    case 2: start(value); break;
    case 3: command_ = value; break;
    case 4: address_ = value; break;
    case 5: data0_ = value; break;
    case 6: data1_ = value; break;
    case 7: block_[block_index_++ % block_.size()] = value; break;
    case 8:
      if (value & 0x20) claim_ = false;      // release
      else if (value & 0x10) claim_ = true;  // request
      break;
    default: break;
  }
}

void SmbusController::start(std::uint8_t control) {
  control_ = control & 0x1C;
  if (control == 0x02) {  // abort: whatever was in progress ends failed
    host_status_ = static_cast<std::uint8_t>((host_status_ & ~kBusy) | kFailed);
    return;
  }
  if ((control & 0x40) == 0) return;
  ++transactions_;
  if (!script_.empty()) {
    host_status_ |= script_.front();
    script_.erase(script_.begin());
    return;
  }
  if (never_completes_) {
    host_status_ |= kBusy;
    return;
  }
  if (collisions_ > 0) {
    --collisions_;
    host_status_ |= kCollision;
    return;
  }
  host_status_ |= run(control & 0x1C) ? kDone : kDeviceError;
}

bool SmbusController::run(std::uint8_t protocol) {
  auto it = devices_.find(address_ >> 1);
  if (it == devices_.end()) return false;  // nobody acknowledges the address
  SmbusDevice &d = *it->second;
  const bool read = (address_ & 1) != 0;
  switch (protocol) {
    case 0x00: return d.quick(read);
    case 0x04: return read ? d.receive_byte(data0_) : d.send_byte(command_);
    case 0x08: return read ? d.read_byte(command_, data0_) : d.write_byte(command_, data0_);
    case 0x0C: {
      if (!read) return d.write_word(command_, static_cast<std::uint16_t>(data0_ | data1_ << 8));
      std::uint16_t w = 0;
      if (!d.read_word(command_, w)) return false;
      data0_ = static_cast<std::uint8_t>(w);
      data1_ = static_cast<std::uint8_t>(w >> 8);
      return true;
    }
    case 0x14: {
      std::vector<std::uint8_t> bytes;
      if (!read) {
        bytes.assign(block_.begin(), block_.begin() + std::min<std::size_t>(data0_, block_.size()));
        return d.write_block(command_, bytes);
      }
      if (!d.read_block(command_, bytes)) return false;
      const std::size_t count = std::min(bytes.size(), block_.size());
      std::copy_n(bytes.begin(), count, block_.begin());
      data0_ = static_cast<std::uint8_t>(block_count_override_ >= 0 ? block_count_override_ : count);
      return true;
    }
    default: return false;
  }
}

}  // namespace sim
