// A small source for the mutant finder's tests (never compiled).
constexpr UINT8 kMask = 0x0C;
static_assert(sizeof(UINT32) == 4, "not mutated");
UINT8 Table[16] = {0};

UINT32 Step(UINT32 Value, bool On) {
  if (Value >= 2 && On) Value = (Value & kMask) | 0x10;
  Value += 1;
  WriteRegister(0x62, Value);
  return static_cast<UINT32>(Value << 1);
}
