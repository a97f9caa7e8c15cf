// The 8254 timer's channel 2 (ports 0x42/0x43) and the speaker control port 0x61: the PC
// speaker. A tone sounds while both the gate (bit 0) and the speaker data (bit 1) are on, at
// 1.193182 MHz divided by the channel's count. Tones are recorded with their start, length and
// frequency, and can be written out as a WAV file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "sim/machine/machine.h"

namespace sim {

struct Tone {
  std::uint64_t start_ns, end_ns;
  double hz;
};

class PitSpeaker : public IoDevice {
 public:
  static constexpr double kPitHz = 1193182.0;

  void attach(Machine &m) {
    machine_ = &m;
    m.map_io(0x42, 2, this);
    m.map_io(0x61, 1, this);
  }

  std::uint32_t io_read(std::uint16_t port, unsigned width) override;
  void io_write(std::uint16_t port, unsigned width, std::uint32_t value) override;
  std::string io_name(std::uint16_t port) const override;

  // Tones so far; one still sounding ends at the machine's present time.
  std::vector<Tone> tones() const;
  std::uint16_t divisor() const { return divisor_; }
  std::uint8_t control() const { return control_; }
  bool write_wav(const std::string &path, unsigned sample_rate = 44100) const;
  // The same sound as the bytes of a WAV file (16-bit mono PCM).
  std::string wav(unsigned sample_rate = 44100) const;

 private:
  void update();
  double hz() const { return kPitHz / (divisor_ == 0 ? 65536.0 : divisor_); }

  Machine *machine_ = nullptr;
  std::uint8_t control_ = 0;     // port 0x61 bits 0-3
  std::uint16_t divisor_ = 0;
  bool high_next_ = false;       // low/high byte flip-flop
  bool programmed_ = false;
  bool refresh_ = false;         // port 0x61 bit 4 toggles on every read
  std::vector<Tone> tones_;
  bool sounding_ = false;
};

}  // namespace sim
