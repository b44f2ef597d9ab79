#include "cpld/gpio.h"

#include "flash/hardware.h"
#include "platform/memory.h"

namespace {

constexpr uint32_t GPIO_PHYS = 0x40E00000;
// The multi-function block begins at the first pin's register, which is not
// the same on the two PXA3xx families.
constexpr uint32_t MFP_PHYS_PART2 = 0x40E10124;
constexpr uint32_t MFP_PHYS_PART89 = 0x40E100B4;
constexpr uint32_t MFP_OFFSET_BASE_PART89 = 0xB4;  // the offset table counts from the block's physical page

// GPIO block registers, bank 0.
constexpr uint32_t GPLR0 = 0x00;  // level
constexpr uint32_t GPDR0 = 0x0C;  // direction (PXA27x layout), bit set = output
constexpr uint32_t GPSR0 = 0x18;  // set level
constexpr uint32_t GPCR0 = 0x24;  // clear level
constexpr uint32_t GAFR0_L = 0x54;  // alternate function (PXA27x layout), 16 pins per register
constexpr uint32_t GSDR0 = 0x400;   // set direction (PXA3xx layout)
constexpr uint32_t GCDR0 = 0x420;   // clear direction (PXA3xx layout)

// Banks 0-2 follow each other; bank 3 was added later, far above them.
constexpr uint32_t GPIO_BANK_STRIDE = 4;
constexpr uint32_t GPIO_BANK3 = 3;
constexpr uint32_t GPIO_BANK3_OFFSET = 0x100;
constexpr uint32_t GPIO_PINS_PER_BANK = 32;
constexpr uint32_t GPIO_PIN_WRAP = 128;  // pins from 128 on share the level and direction bits of pin - 128

constexpr uint32_t GAFR_PINS_PER_REGISTER = 16;
constexpr uint32_t GAFR_FIELD_BITS = 2;
constexpr uint32_t GAFR_FIELD_MASK = 3;

constexpr uint32_t MFPR_AF_SEL = 7;  // low three bits: the alternate function
constexpr uint32_t WORD_BYTES = 4;

constexpr uint32_t PIN_COUNT_PXA27X = 121;
constexpr uint32_t PIN_COUNT_PART2 = 146;
constexpr uint32_t PIN_COUNT_PART8 = 135;
constexpr uint32_t PIN_COUNT_PART9 = 139;
constexpr uint32_t PIN_TABLE_ENTRIES = 146;

constexpr uint32_t PART_CODE_2 = 2;
constexpr uint32_t PART_CODE_8 = 8;
constexpr uint32_t PART_CODE_9 = 9;

// Part code 9 moved the registers of pins 30-98 up by three words.
constexpr uint32_t PART9_SHIFTED_FIRST = 30;
constexpr uint32_t PART9_SHIFTED_LAST = 98;
constexpr uint32_t PART9_SHIFT_WORDS = 3;

// Pins whose GPIO function is not function 0 (part codes 8 and 9), and the
// part code 2 pins whose direction the multi-function setting must not touch.
struct PinFunction {
  uint32_t pin;
  uint32_t gpioFunction;
};
constexpr PinFunction kPart89GpioFunctions[] = {{46, 1}, {49, 3}, {50, 2}, {51, 3}, {52, 3}};
constexpr uint32_t kPart2NoDirection[] = {56, 59, 60, 61, 62};

// Runs of pins whose registers follow each other: {first pin, last pin,
// first value}. Part code 2 gives word indices, 8 and 9 byte offsets.
struct PinRun {
  uint32_t firstPin;
  uint32_t lastPin;
  uint32_t first;
};
constexpr PinRun kPart2Indices[] = {{0, 4, 0},       {5, 9, 90},      {10, 10, 205},   {11, 26, 95},
                                    {27, 48, 183},   {49, 62, 206},   {63, 73, 228},   {74, 98, 243},
                                    {99, 133, 311},  {134, 141, 220}, {142, 145, 239}};
constexpr PinRun kPart89Offsets[] = {{0, 2, 0x0B4},     {3, 26, 0x27C},    {27, 98, 0x400},
                                     {99, 129, 0x600},  {130, 134, 0x2DC}, {135, 138, 0x52C}};

struct GpioState {
  bool initialised = false;
  uint32_t partCode = 0;
  volatile ULONG* gpio = nullptr;
  volatile ULONG* mfp = nullptr;  // PXA3xx layout only
  uint16_t index[PIN_TABLE_ENTRIES] = {};  // word index into the multi-function block
  uint32_t pinCount = 0;
};

GpioState g_gpio;

bool IsPxa3xx(uint32_t partCode) {
  return partCode == PART_CODE_2 || partCode == PART_CODE_8 || partCode == PART_CODE_9;
}

void FillIndices(const PinRun* runs, size_t count, uint32_t step, uint32_t base) {
  for (size_t r = 0; r < count; r++) {
    for (uint32_t pin = runs[r].firstPin; pin <= runs[r].lastPin; pin++) {
      uint32_t value = runs[r].first + (pin - runs[r].firstPin) * step;
      g_gpio.index[pin] = static_cast<uint16_t>((value - base) / step);
    }
  }
}

template <size_t N>
void FillIndices(const PinRun (&runs)[N], uint32_t step, uint32_t base) {
  FillIndices(runs, N, step, base);
}

bool Init() {
  if (g_gpio.initialised) return true;
  GpioState fresh;
  fresh.partCode = CpuPartCode();
  fresh.pinCount = PIN_COUNT_PXA27X;
  fresh.gpio = PhysMap(GPIO_PHYS);
  if (fresh.gpio == nullptr) return false;
  if (IsPxa3xx(fresh.partCode)) {
    fresh.mfp = PhysMap(fresh.partCode == PART_CODE_2 ? MFP_PHYS_PART2 : MFP_PHYS_PART89);
    if (fresh.mfp == nullptr) {
      PhysUnmap(fresh.gpio);
      return false;
    }
  }
  g_gpio = fresh;
  if (g_gpio.partCode == PART_CODE_2) {
    FillIndices(kPart2Indices, 1, 0);
    g_gpio.pinCount = PIN_COUNT_PART2;
  } else if (IsPxa3xx(g_gpio.partCode)) {
    FillIndices(kPart89Offsets, WORD_BYTES, MFP_OFFSET_BASE_PART89);
    g_gpio.pinCount = g_gpio.partCode == PART_CODE_8 ? PIN_COUNT_PART8 : PIN_COUNT_PART9;
  }
  g_gpio.initialised = true;
  return true;
}

bool Usable(uint32_t pin) { return Init() && pin < g_gpio.pinCount; }

volatile ULONG* At(volatile ULONG* block, uint32_t offset) {
  return reinterpret_cast<volatile ULONG*>(reinterpret_cast<uintptr_t>(block) + offset);
}

uint32_t BitOf(uint32_t pin) { return 1u << (pin % GPIO_PINS_PER_BANK); }
uint32_t BankOf(uint32_t pin) { return (pin % GPIO_PIN_WRAP) / GPIO_PINS_PER_BANK; }

// Level, set, clear and PXA27x direction registers of the pin's bank.
volatile ULONG* BankRegister(uint32_t group, uint32_t pin) {
  uint32_t bank = BankOf(pin);
  return At(g_gpio.gpio, group + (bank == GPIO_BANK3 ? GPIO_BANK3_OFFSET : bank * GPIO_BANK_STRIDE));
}

// The PXA3xx set- and clear-direction groups have no gap before bank 3.
volatile ULONG* DirectionRegister(uint32_t group, uint32_t pin) {
  return At(g_gpio.gpio, group + BankOf(pin) * GPIO_BANK_STRIDE);
}

void SetFunctionPxa3xx(uint32_t pin, uint32_t function, uint32_t output) {
  uint32_t index = g_gpio.index[pin];
  if (g_gpio.partCode == PART_CODE_9 && pin >= PART9_SHIFTED_FIRST && pin <= PART9_SHIFTED_LAST) {
    index += PART9_SHIFT_WORDS;
  }
  volatile ULONG* mfpr = At(g_gpio.mfp, index * WORD_BYTES);
  WRITE_REGISTER_ULONG(mfpr, (READ_REGISTER_ULONG(mfpr) & ~MFPR_AF_SEL) | (function & MFPR_AF_SEL));

  uint32_t p = pin % GPIO_PIN_WRAP;
  uint32_t gpioFunction = GPIO_FUNCTION_GPIO;
  if (g_gpio.partCode == PART_CODE_2) {
    for (uint32_t fixed : kPart2NoDirection) {
      if (p == fixed) return;
    }
  } else {
    for (const PinFunction& f : kPart89GpioFunctions) {
      if (p == f.pin) gpioFunction = f.gpioFunction;
    }
  }
  if (function == gpioFunction) GpioSetDirection(p, output);
}

void SetFunctionPxa27x(uint32_t pin, uint32_t function, uint32_t output) {
  volatile ULONG* gafr = At(g_gpio.gpio, GAFR0_L + (pin / GAFR_PINS_PER_REGISTER) * WORD_BYTES);
  uint32_t shift = (pin % GAFR_PINS_PER_REGISTER) * GAFR_FIELD_BITS;
  uint32_t value = READ_REGISTER_ULONG(gafr) & ~(GAFR_FIELD_MASK << shift);
  WRITE_REGISTER_ULONG(gafr, value | (function & GAFR_FIELD_MASK) << shift);
  GpioSetDirection(pin, output);
}

}  // namespace

void GpioSetLevel(uint32_t pin, uint32_t level) {
  if (!Usable(pin)) return;
  WRITE_REGISTER_ULONG(BankRegister(level != 0 ? GPSR0 : GPCR0, pin), BitOf(pin));
}

uint32_t GpioGetLevel(uint32_t pin) {
  if (!Usable(pin)) return 0;
  return (READ_REGISTER_ULONG(BankRegister(GPLR0, pin)) & BitOf(pin)) != 0 ? 1 : 0;
}

void GpioSetDirection(uint32_t pin, uint32_t output) {
  if (!Usable(pin)) return;
  if (g_gpio.mfp != nullptr) {
    WRITE_REGISTER_ULONG(DirectionRegister(output != 0 ? GSDR0 : GCDR0, pin), BitOf(pin));
    return;
  }
  volatile ULONG* gpdr = BankRegister(GPDR0, pin);
  uint32_t value = READ_REGISTER_ULONG(gpdr);
  WRITE_REGISTER_ULONG(gpdr, output != 0 ? value | BitOf(pin) : value & ~BitOf(pin));
}

void GpioSetFunction(uint32_t pin, uint32_t function, uint32_t output) {
  if (!Usable(pin)) return;
  if (g_gpio.mfp != nullptr) {
    SetFunctionPxa3xx(pin, function, output);
  } else {
    SetFunctionPxa27x(pin, function, output);
  }
}

bool GpioPinRegistersOf(uint32_t pin, GpioPinRegisters* registers) {
  if (!Usable(pin)) return false;
  *registers = {BankRegister(GPSR0, pin), BankRegister(GPCR0, pin), BankRegister(GPLR0, pin), BitOf(pin)};
  return true;
}

bool GpioReady() { return Init(); }

uint32_t GpioPartCode() { return g_gpio.partCode; }

void GpioResetForTests() {
  PhysUnmap(g_gpio.gpio);
  PhysUnmap(g_gpio.mfp);
  g_gpio = GpioState{};
}
