#include "flash/nor.h"

#include <algorithm>
#include <cstring>

#include "flash/hardware.h"
#include "platform/memory.h"
#include "platform/clock.h"

namespace {

// Command words carry the command byte for both chips of the pair.
constexpr uint32_t NOR_CMD_READ_ARRAY = 0x00FF00FF;
constexpr uint32_t NOR_CMD_READ_ID = 0x00900090;
constexpr uint32_t NOR_CMD_QUERY = 0x00980098;
constexpr uint32_t NOR_CMD_CLEAR_STATUS = 0x00500050;
constexpr uint32_t NOR_CMD_LOCK_SETUP = 0x00600060;
constexpr uint32_t NOR_CMD_CONFIRM = 0x00D000D0;
constexpr uint32_t NOR_CMD_ERASE_SETUP = 0x00200020;
constexpr uint32_t NOR_CMD_WORD_PROGRAM = 0x00400040;
constexpr uint32_t NOR_CMD_WRITE_BUFFER = 0x00E800E8;

constexpr uint32_t NOR_MANUFACTURER_INTEL = 0x00890089;  // in both halves
constexpr uint32_t NOR_ID_DEVICE_OFFSET = 4;
constexpr uint32_t NOR_ID_LOCK_OFFSET = 8;             // within a block, in identifier mode
constexpr uint32_t NOR_QUERY_SIZE_OFFSET = 0x27 * 4;   // query address 0x27 of each chip

constexpr uint32_t NOR_STATUS_READY = 0x00800080;  // bit 7 of both chips
// Bits 1, 3, 4 and 5 of either chip: locked, VPP low, program error, erase
// error. Without bit 4 a failed word program would pass.
constexpr uint32_t NOR_STATUS_ERROR = 0x003A003A;
constexpr uint32_t NOR_STATUS_LOCKED = 0x00010001;

constexpr uint32_t NOR_MAX_SIZE = 0x4000000;
constexpr uint32_t NOR_LOCKED_AREA = 0x40000;  // boot blocks stay locked until erased
constexpr uint32_t NOR_BIG_BLOCK = 0x40000;    // 0x20000 in each chip
constexpr uint32_t NOR_SMALL_BLOCK = 0x10000;  // parameter blocks, 0x8000 in each chip
constexpr uint32_t NOR_PARAM_AREA = 0x40000;   // four of them: at the bottom on classes 3 and 5, the top on 4 and 6
constexpr uint32_t NOR_BUFFER_BYTES = 64;      // one buffered program never crosses this

constexpr uint32_t NOR_ERASE_TIMEOUT_MS = 10000;
constexpr uint32_t NOR_ERASE_POLL_MS = 100;
constexpr uint32_t NOR_WORD_TIMEOUT_MS = 1000;
constexpr uint32_t NOR_BUFFER_TIMEOUT_MS = 2000;

struct ChipClass {
  uint16_t deviceCodes[3];
  uint32_t chipClass;
};

constexpr ChipClass kChipClasses[] = {
    {{0x0017, 0x0018, 0x0019}, 1}, {{0x8801, 0x8802, 0x8803}, 2}, {{0x881A, 0x881B, 0x891C}, 3},
    {{0x8817, 0x8818, 0x8919}, 4}, {{0x8820, 0x8821, 0x8922}, 5}, {{0x881D, 0x881E, 0x891F}, 6},
};

struct NorState {
  uint8_t* window = nullptr;  // the whole flash, mapped at physical 0
  uint32_t chipClass = 0;
};

NorState g_nor;

volatile ULONG* At(uint8_t* window, uint32_t offset) {
  return reinterpret_cast<volatile ULONG*>(window + offset);
}

void Put(uint32_t offset, uint32_t value) { WRITE_REGISTER_ULONG(At(g_nor.window, offset), value); }
uint32_t Get(uint32_t offset) { return READ_REGISTER_ULONG(At(g_nor.window, offset)); }

bool Ready(uint32_t status) { return (status & NOR_STATUS_READY) == NOR_STATUS_READY; }
bool Failed(uint32_t status) { return (status & NOR_STATUS_ERROR) != 0; }

uint32_t ClassOf(uint32_t deviceCode) {
  for (const ChipClass& c : kChipClasses) {
    for (uint16_t code : c.deviceCodes) {
      if (code == deviceCode) return c.chipClass;
    }
  }
  return 0;
}

// True when the range lies inside the flash; computed wide so that it cannot wrap.
bool InFlash(uint32_t offset, uint32_t length) {
  return offset < FlashSize && uint64_t{offset} + length <= FlashSize;
}

uint32_t NorBlockSize(uint32_t offset) {
  uint32_t c = g_nor.chipClass;
  bool bottom = (c == 3 || c == 5) && offset < NOR_PARAM_AREA;
  bool top = (c == 4 || c == 6) && FlashSize >= NOR_PARAM_AREA && offset >= FlashSize - NOR_PARAM_AREA &&
             offset < FlashSize;
  return bottom || top ? NOR_SMALL_BLOCK : NOR_BIG_BLOCK;
}

bool BlockIsBlank(uint32_t offset) {
  uint32_t words[1024];
  uint32_t size = NorBlockSize(offset);
  for (uint32_t done = 0; done < size; done += sizeof words) {
    uint32_t chunk = std::min<uint32_t>(sizeof words, size - done);
    READ_REGISTER_BUFFER_ULONG(At(g_nor.window, offset + done), words, chunk / 4);
    for (uint32_t i = 0; i < chunk / 4; i++) {
      if (words[i] != 0xFFFFFFFF) return false;
    }
  }
  return true;
}

uint32_t NorErase(uint32_t offset, uint32_t length) {
  uint32_t b = NorBlockSize(offset);
  uint64_t widened = uint64_t{length} + offset % b;
  uint32_t start = offset - offset % b;
  uint32_t e = NorBlockSize(static_cast<uint32_t>(start + widened - 1));
  uint64_t total = (widened + e - 1) / e * e;
  if (start + total > FlashSize) return 0;
  if (total == 0) return 1;
  FlashEraseProgress progress = FlashEraseProgressStart(static_cast<uint32_t>(total));
  for (uint64_t left = total; left > 0;) {
    if (!FlashEraseProgressBeforeBlock(&progress)) return 0;
    uint32_t s = NorBlockSize(start);
    if (!NorEraseBlock(start)) return 0;
    left -= std::min<uint64_t>(s, left);
    start += s;
    progress.done += s;
  }
  return 1;
}

// Waits for the command just given at `offset` to finish and puts the chips
// back into read-array mode: 1 when it ended without error bits, 0 on error
// bits or after `limitMs`. Sleeps `pollSleepMs` between status reads.
uint32_t FinishCommand(uint32_t offset, uint32_t limitMs, uint32_t pollSleepMs) {
  uint32_t started = GetTickCount();
  for (;;) {
    uint32_t status = Get(offset);
    if (Ready(status)) {
      Put(offset, NOR_CMD_READ_ARRAY);
      return Failed(status) ? 0 : 1;
    }
    if (pollSleepMs != 0) Sleep(pollSleepMs);
    if (GetTickCount() - started >= limitMs) {
      Put(offset, NOR_CMD_READ_ARRAY);
      return 0;
    }
  }
}

uint32_t NorWriteWord(uint32_t offset, uint32_t value) {
  if (offset >= FlashSize || offset % 4 != 0) return 0;
  Put(offset, NOR_CMD_CLEAR_STATUS);  // an earlier failure's bits are not this program's
  Put(offset, NOR_CMD_WORD_PROGRAM);
  Put(offset, value);
  return FinishCommand(offset, NOR_WORD_TIMEOUT_MS, 0);
}

// Polls the status at `offset` until both chips are ready; false after `limitMs`
// counted from `started`.
bool WaitReady(uint32_t offset, uint32_t started, uint32_t limitMs) {
  while (!Ready(Get(offset))) {
    if (GetTickCount() - started >= limitMs) return false;
  }
  return true;
}

// Buffered program. A timed-out run ends the write "successfully": the library
// reads every write back, which is where a failed program shows.
uint32_t NorWrite(const uint32_t* source, uint32_t offset, uint32_t length) {
  // An unaligned start would make a run of no words, which never advances.
  if (!InFlash(offset, length) || offset % 4 != 0) return 0;
  uint32_t left = (length + 3) & ~3u;
  uint32_t n = std::min(left, NOR_BUFFER_BYTES) / 4;
  if (offset % NOR_BUFFER_BYTES != 0) n = std::min(n, (NOR_BUFFER_BYTES - offset % NOR_BUFFER_BYTES) / 4);
  if (left == 0) {
    Put(offset, NOR_CMD_READ_ARRAY);
    return 1;
  }
  for (;;) {
    Put(offset, NOR_CMD_WRITE_BUFFER);
    uint32_t started = GetTickCount();
    if (!WaitReady(offset, started, NOR_BUFFER_TIMEOUT_MS)) {
      Put(offset, NOR_CMD_READ_ARRAY);
      return 1;
    }
    Put(offset, (n - 1) | (n - 1) << 16);
    WRITE_REGISTER_BUFFER_ULONG(At(g_nor.window, offset), source, n);
    uint32_t last = offset + 4 * (n - 1);
    offset += 4 * n;
    source += n;
    left -= 4 * n;
    Put(last, NOR_CMD_CONFIRM);
    if (!WaitReady(last, started, NOR_BUFFER_TIMEOUT_MS)) {
      Put(last, NOR_CMD_READ_ARRAY);
      return 1;
    }
    n = std::min(left, NOR_BUFFER_BYTES) / 4;
    if (left == 0) {
      Put(last, NOR_CMD_READ_ARRAY);
      return 1;
    }
  }
}

uint32_t NorRead(uint32_t* destination, uint32_t offset, uint32_t length) {
  if (!InFlash(offset, length)) return 0;
  auto* out = reinterpret_cast<uint8_t*>(destination);
  // Whole aligned words go straight into the caller's buffer; a ragged start
  // or end goes through one word.
  uint32_t lead = std::min<uint32_t>(length, (4 - offset % 4) % 4);
  if (lead != 0) {
    uint32_t word = Get(offset & ~3u);
    std::memcpy(out, reinterpret_cast<uint8_t*>(&word) + offset % 4, lead);
    out += lead;
    offset += lead;
    length -= lead;
  }
  uint32_t words = length / 4;
  if (words != 0) {
    if (reinterpret_cast<uintptr_t>(out) % alignof(uint32_t) == 0) {
      READ_REGISTER_BUFFER_ULONG(At(g_nor.window, offset), reinterpret_cast<uint32_t*>(out), words);
    } else {
      for (uint32_t i = 0; i < words; i++) {
        uint32_t word = Get(offset + 4 * i);
        std::memcpy(out + 4 * i, &word, 4);
      }
    }
  }
  if (length % 4 != 0) {
    uint32_t word = Get(offset + 4 * words);
    std::memcpy(out + 4 * words, &word, length % 4);
  }
  return 1;
}

uint32_t NorReadWord(uint32_t offset) {
  if (offset >= FlashSize) return 0;
  return Get(offset & ~3u);
}

int NorSetEcc(int) { return 0; }

}  // namespace

uint32_t NorUnlockBlock(uint32_t offset) {
  Put(offset, NOR_CMD_READ_ID);
  if ((Get(offset + NOR_ID_LOCK_OFFSET) & NOR_STATUS_LOCKED) == 0) {
    Put(offset, NOR_CMD_READ_ARRAY);
    return 1;
  }
  Put(offset, NOR_CMD_LOCK_SETUP);
  Put(offset, NOR_CMD_CONFIRM);
  Put(offset, NOR_CMD_READ_ID);
  uint32_t lock = Get(offset + NOR_ID_LOCK_OFFSET);
  Put(offset, NOR_CMD_READ_ARRAY);
  return (lock & NOR_STATUS_LOCKED) == 0 ? 1 : 0;
}

uint32_t NorEraseBlock(uint32_t offset) {
  if (!NorUnlockBlock(offset)) return 0;
  if (BlockIsBlank(offset)) return 1;
  // Error bits stay until cleared: without this, one failed erase or program
  // would fail every later one until the program restarts.
  Put(offset, NOR_CMD_CLEAR_STATUS);
  Put(offset, NOR_CMD_ERASE_SETUP);
  Put(offset, NOR_CMD_CONFIRM);
  return FinishCommand(offset, NOR_ERASE_TIMEOUT_MS, NOR_ERASE_POLL_MS);
}

uint32_t NorInit() {
  volatile ULONG* probe = PhysMap(0);
  if (probe == nullptr) return 0;
  WRITE_REGISTER_ULONG(probe, NOR_CMD_READ_ID);
  if (READ_REGISTER_ULONG(probe) != NOR_MANUFACTURER_INTEL) {
    WRITE_REGISTER_ULONG(probe, NOR_CMD_READ_ARRAY);
    PhysUnmap(probe);
    return 0;
  }
  auto* probeBytes = reinterpret_cast<uint8_t*>(const_cast<uint32_t*>(probe));
  g_nor.chipClass = ClassOf(READ_REGISTER_ULONG(At(probeBytes, NOR_ID_DEVICE_OFFSET)) & 0xFFFF);
  WRITE_REGISTER_ULONG(probe, NOR_CMD_QUERY);
  uint32_t sizeShift = READ_REGISTER_ULONG(At(probeBytes, NOR_QUERY_SIZE_OFFSET)) & 0xFF;
  // Twice the chip's 2^n bytes, limited to what the window can address.
  uint64_t pairBytes = sizeShift >= 26 ? uint64_t{NOR_MAX_SIZE} : uint64_t{2} << sizeShift;
  FlashSize = static_cast<uint32_t>(std::min<uint64_t>(pairBytes, NOR_MAX_SIZE));

  // Map the whole flash before giving up the probe, so that a failed mapping
  // can still put the chips back into read-array mode.
  g_nor.window = reinterpret_cast<uint8_t*>(const_cast<uint32_t*>(PhysMapRange(0, FlashSize)));
  if (g_nor.window == nullptr) {
    WRITE_REGISTER_ULONG(probe, NOR_CMD_READ_ARRAY);
    PhysUnmap(probe);
    return 0;
  }
  PhysUnmap(probe);

  for (uint32_t offset = 0; offset < FlashSize; offset += NorBlockSize(offset)) {
    if (offset >= NOR_LOCKED_AREA) NorUnlockBlock(offset);
  }
  Put(0, NOR_CMD_CLEAR_STATUS);
  Put(0, NOR_CMD_READ_ARRAY);
  return 1;
}

void NorFillOps(FlashOpsTable* ops) {
  *ops = FlashOpsTable{NorErase, NorWrite, NorWriteWord, NorRead, NorReadWord, NorBlockSize, nullptr, NorSetEcc};
}

uint32_t NorChipClass() { return g_nor.chipClass; }

void NorResetForTests() {
  if (g_nor.window != nullptr) PhysUnmap(g_nor.window);
  g_nor = NorState{};
}
