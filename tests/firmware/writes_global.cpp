// A deliberately bad execute-in-place module: it keeps a writable global and uses the x87
// unit. The image check must reject it for both reasons.
extern "C" {
int _fltused = 0;
int Counter;

int BadEntry(void *, void *) {
  ++Counter;
  long double Scaled = Counter;
  return static_cast<int>(Scaled * 1.5L);
}
}
