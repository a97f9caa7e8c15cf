#include "sim/devices/pit_speaker.h"

#include <cmath>
#include <cstdio>
#include <fstream>

namespace sim {

std::uint32_t PitSpeaker::io_read(std::uint16_t port, unsigned) {
  if (port == 0x61) {
    refresh_ = !refresh_;
    return control_ | (refresh_ ? 0x10 : 0);
  }
  return 0xFF;  // reading the counter back is not modelled
}

void PitSpeaker::io_write(std::uint16_t port, unsigned, std::uint32_t value) {
  const auto v = static_cast<std::uint8_t>(value);
  if (port == 0x43) {
    if ((v >> 6) == 2) {  // a control word for channel 2 restarts the low/high byte order
      high_next_ = false;
      programmed_ = false;
    }
  } else if (port == 0x42) {
    if (!high_next_) {
      divisor_ = static_cast<std::uint16_t>((divisor_ & 0xFF00) | v);
    } else {
      divisor_ = static_cast<std::uint16_t>((divisor_ & 0x00FF) | v << 8);
      programmed_ = true;
    }
    high_next_ = !high_next_;
  } else if (port == 0x61) {
    control_ = v & 0x0F;
  }
  update();
}

void PitSpeaker::update() {
  const bool on = programmed_ && (control_ & 0x03) == 0x03;
  const std::uint64_t now = machine_ != nullptr ? machine_->now_ns() : 0;
  if (on && !sounding_) tones_.push_back({now, now, hz()});
  if (!on && sounding_) tones_.back().end_ns = now;
  sounding_ = on;
}

std::string PitSpeaker::io_name(std::uint16_t port) const {
  switch (port) {
    case 0x42: return "PIT_CH2";
    case 0x43: return "PIT_CONTROL";
    default: return "SPEAKER";
  }
}

std::vector<Tone> PitSpeaker::tones() const {
  std::vector<Tone> t = tones_;
  if (sounding_ && !t.empty() && machine_ != nullptr) t.back().end_ns = machine_->now_ns();
  return t;
}

std::string PitSpeaker::wav(unsigned rate) const {
  const std::vector<Tone> t = tones();
  const std::uint64_t end_ns = t.empty() ? 0 : t.back().end_ns;
  const std::size_t samples = static_cast<std::size_t>(end_ns * rate / 1'000'000'000ull);
  std::vector<std::int16_t> pcm(samples, 0);
  for (const Tone &tone : t) {
    const std::size_t a = static_cast<std::size_t>(tone.start_ns * rate / 1'000'000'000ull);
    const std::size_t b = std::min(samples, static_cast<std::size_t>(tone.end_ns * rate / 1'000'000'000ull));
    for (std::size_t i = a; i < b; ++i) {
      const double phase = std::fmod((i - a) * tone.hz / rate, 1.0);
      pcm[i] = phase < 0.5 ? 8000 : -8000;  // a square wave, as the speaker makes it
    }
  }
  std::string out;
  auto u32 = [&](std::uint32_t v) { out.append(reinterpret_cast<const char *>(&v), 4); };
  auto u16 = [&](std::uint16_t v) { out.append(reinterpret_cast<const char *>(&v), 2); };
  const std::uint32_t data_bytes = static_cast<std::uint32_t>(pcm.size() * 2);
  out += "RIFF";
  u32(36 + data_bytes);
  out += "WAVEfmt ";
  u32(16);
  u16(1);  // PCM
  u16(1);  // mono
  u32(rate);
  u32(rate * 2);
  u16(2);
  u16(16);
  out += "data";
  u32(data_bytes);
  out.append(reinterpret_cast<const char *>(pcm.data()), data_bytes);
  return out;
}

bool PitSpeaker::write_wav(const std::string &path, unsigned rate) const {
  std::ofstream out(path, std::ios::binary);
  const std::string bytes = wav(rate);
  if (out) out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace sim
