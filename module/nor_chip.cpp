#include "module/nor_chip.h"

#include <time.h>

#include <algorithm>

#include "module/nor_cfi.h"
#include "module/nor_timing.h"

namespace {

constexpr uint16_t kErasedWord = 0xFFFF;
constexpr uint64_t kNsPerUs = 1000;
constexpr uint32_t kBitsPerWord = 16;
// Chips whose lock bits persist leave the factory with what lies below
// 0x40000 on the bus (the bootloader) locked.
constexpr uint32_t kFactoryLockedWords = kNorMainBlockWords;

// The image is little-endian whatever the host is.
uint16_t Load(const NorChip* c, uint32_t word) {
  const uint8_t* p = c->base + size_t{word} * 4;
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

void Store(NorChip* c, uint32_t word, uint16_t value) {
  uint8_t* p = c->base + size_t{word} * 4;
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

// Every other one of the bits a weak cell should have cleared stays set.
uint16_t WeakBits(uint16_t toClear) {
  uint16_t stuck = 0;
  bool take = true;
  for (uint32_t bit = 0; bit < kBitsPerWord; bit++) {
    uint16_t mask = static_cast<uint16_t>(1u << bit);
    if ((toClear & mask) == 0) continue;
    if (take) stuck |= mask;
    take = !take;
  }
  return stuck;
}

uint8_t Status(const NorChip* c) {
  return static_cast<uint8_t>((c->pending.job == NorJob::None ? kNorStatusReady : 0) | c->errors);
}

bool Within(int64_t word, uint32_t first, uint32_t words) { return word >= first && word < int64_t{first} + words; }

void CountChange(NorChip* c) {
  if (c->changes != nullptr) CellChangesCount(c->changes);
}

// Programming only clears bits; the fault words misbehave as set up.
void Program(NorChip* c, uint32_t first, const uint16_t* data, uint32_t words) {
  CountChange(c);
  if (!Within(c->faultProgramWord, first, words) && !Within(c->faultWeakWord, first, words)) {
    for (uint32_t i = 0; i < words; i++) Store(c, first + i, Load(c, first + i) & data[i]);
    return;
  }
  for (uint32_t i = 0; i < words; i++) {
    uint32_t word = first + i;
    if (word == c->faultProgramWord) continue;
    uint16_t old = Load(c, word);
    uint16_t next = old & data[i];
    if (word == c->faultWeakWord) next |= WeakBits(old & static_cast<uint16_t>(~data[i]));
    Store(c, word, next);
  }
}

// Carries out the first `words` words of the pending job on the array.
void Apply(NorChip* c, uint32_t words) {
  const NorPending& p = c->pending;
  words = std::min(words, p.words);
  if (words == 0) return;
  if (p.job == NorJob::Erase) {
    CountChange(c);
    for (uint32_t i = 0; i < words; i++) Store(c, p.firstWord + i, kErasedWord);
    return;
  }
  Program(c, p.firstWord, p.data, words);
}

void Complete(NorChip* c) {
  Apply(c, c->pending.words);
  c->errors |= c->pending.errors;
  c->pending = NorPending{};
}

// Fast timing completes a job on the write that starts it, unless a fault
// keeps it running. Such a job needs no clock, and asking for it on every
// program is most of what fast timing would cost.
bool CompletesAtOnce(const NorChip* c) { return !c->realistic && !c->holdJobs && !c->neverReady; }

void Begin(NorChip* c, const NorPending& job, uint32_t durationUs) {
  c->pending = job;
  c->jobsStarted++;
  if (CompletesAtOnce(c)) {
    Complete(c);
    return;
  }
  c->pending.startNs = NorMonotonicNs();
  c->pending.endNs = c->pending.startNs + uint64_t{durationUs} * kNsPerUs;
  c->pending.forever = c->neverReady;
}

// Programs come a buffer at a time into the same block, so the block of the
// last look-up is tried first.
NorBlock BlockOf(NorChip* c, uint32_t word) {
  if (word - c->lastBlock.firstWord >= c->lastBlock.words) c->lastBlock = NorBlockAt(*c->geometry, word);
  return c->lastBlock;
}

bool Locked(const NorChip* c, const NorBlock& block) { return (c->locks[block.index] & kNorLockBit) != 0; }

void StartErase(NorChip* c, uint32_t word) {
  NorBlock block = BlockOf(c, word);
  if (Locked(c, block)) {
    c->errors |= kNorStatusLocked | kNorStatusEraseError;
    return;
  }
  NorPending job;
  job.job = NorJob::Erase;
  job.firstWord = block.firstWord;
  job.words = block.words;
  if (block.index == c->faultEraseBlock) {
    job.words /= 2;
    job.errors = kNorStatusEraseError;
  }
  Begin(c, job, block.words == kNorParamBlockWords ? kNorParamBlockEraseUs : kNorMainBlockEraseUs);
}

void StartProgram(NorChip* c, uint32_t first, const uint16_t* data, uint32_t words, uint32_t durationUs) {
  if (Locked(c, BlockOf(c, first))) {
    c->errors |= kNorStatusLocked | kNorStatusProgramError;
    return;
  }
  uint8_t errors = 0;
  if (Within(c->faultProgramWord, first, words)) errors = kNorStatusProgramError;
  if (CompletesAtOnce(c)) {
    // Straight from the caller's words: a job that ends here is never looked at again.
    c->jobsStarted++;
    Program(c, first, data, words);
    c->errors |= errors;
    return;
  }
  NorPending job;
  job.job = NorJob::Program;
  job.errors = errors;
  job.firstWord = first;
  job.words = words;
  std::copy(data, data + words, job.data);
  Begin(c, job, durationUs);
}

void SetLock(NorChip* c, uint32_t index, bool locked) {
  if (!locked && index == c->faultLockedBlock) return;
  uint8_t next = locked ? kNorLockBit : 0;
  if (c->locks[index] == next) return;
  c->locks[index] = next;
  c->locksChanged = true;
}

void LockConfirm(NorChip* c, uint32_t word, uint8_t cmd) {
  NorBlock block = NorBlockAt(*c->geometry, word);
  if (cmd == kNorCmdLockBlock || cmd == kNorCmdLockDown) {
    // Lock-down is taken as a plain lock: WP# is not modelled.
    SetLock(c, block.index, true);
  } else if (cmd == kNorCmdConfirm && c->geometry->nonVolatileLocks) {
    // Chips with non-volatile lock bits have one command that clears them all.
    for (uint32_t i = 0; i < c->geometry->blockCount; i++) SetLock(c, i, false);
  } else if (cmd == kNorCmdConfirm) {
    SetLock(c, block.index, false);
  } else {
    c->errors |= kNorStatusSequenceError;
  }
}

void BufferCount(NorChip* c, uint16_t value) {
  uint32_t count = uint32_t{value} + 1;
  if (count > c->geometry->bufferWords) {
    // The count is garbage, so there is no telling how many data words follow.
    c->errors |= kNorStatusSequenceError;
    c->mode = NorMode::ReadStatus;
    return;
  }
  c->bufferCount = count;
  c->bufferLoaded = 0;
  c->bufferAborted = false;
  std::fill(std::begin(c->buffer), std::end(c->buffer), kErasedWord);
  c->mode = NorMode::BufferData;
}

}  // namespace

uint32_t NorChipBufferRoom(const NorChip* c, uint32_t word, uint32_t n) {
  uint32_t size = c->geometry->bufferWords;
  uint32_t region = c->bufferLoaded == 0 ? word & ~(size - 1) : c->bufferRegion;
  if (word < region || word - region >= size) return 0;
  return std::min({n, c->bufferCount - c->bufferLoaded, region + size - word});
}

void NorChipBufferFill(NorChip* c, uint32_t word, const uint32_t* in, uint32_t n, uint32_t shift) {
  if (n == 0) return;
  if (c->bufferLoaded == 0) c->bufferRegion = word & ~(c->geometry->bufferWords - 1);
  uint16_t* to = c->buffer + (word - c->bufferRegion);
  for (uint32_t i = 0; i < n; i++) to[i] = static_cast<uint16_t>(in[i] >> shift);
  c->bufferLoaded += n;
  if (c->bufferLoaded == c->bufferCount) c->mode = NorMode::BufferConfirm;
}

void NorChipBufferWord(NorChip* c, uint32_t word, uint16_t value) {
  uint32_t size = c->geometry->bufferWords;
  // The first word chooses the buffer-aligned region the rest must stay in.
  if (c->bufferLoaded == 0) c->bufferRegion = word & ~(size - 1);
  if (word >= c->bufferRegion && word < c->bufferRegion + size) {
    c->buffer[word - c->bufferRegion] = value;
  } else {
    // The rest of the sequence is still taken in, so stray data words are
    // never read as commands; the confirm then fails.
    c->bufferAborted = true;
  }
  if (++c->bufferLoaded == c->bufferCount) c->mode = NorMode::BufferConfirm;
}

namespace {

void BufferConfirm(NorChip* c, uint8_t cmd) {
  c->mode = NorMode::ReadStatus;
  if (cmd != kNorCmdConfirm || c->bufferAborted) {
    c->errors |= kNorStatusSequenceError;
    return;
  }
  uint32_t first = 0;
  uint32_t last = c->geometry->bufferWords;
  while (first < last && c->buffer[first] == kErasedWord) first++;
  while (last > first && c->buffer[last - 1] == kErasedWord) last--;
  if (first == last) return;  // nothing to clear: done at once
  StartProgram(c, c->bufferRegion + first, c->buffer + first, last - first, kNorBufferProgramUs);
}

bool IsReadModeCommand(uint8_t cmd) {
  return cmd == kNorCmdReadArray || cmd == kNorCmdReadStatus || cmd == kNorCmdReadId || cmd == kNorCmdQuery;
}

void Command(NorChip* c, uint8_t cmd) {
  switch (cmd) {
    case kNorCmdReadArray: c->mode = NorMode::ReadArray; break;
    case kNorCmdReadId: c->mode = NorMode::ReadId; break;
    case kNorCmdQuery: c->mode = NorMode::Query; break;
    case kNorCmdReadStatus: c->mode = NorMode::ReadStatus; break;
    case kNorCmdClearStatus: c->errors = 0; break;
    case kNorCmdLockSetup: c->mode = NorMode::LockSetup; break;
    case kNorCmdEraseSetup: c->mode = NorMode::EraseSetup; break;
    case kNorCmdProgram:
    case kNorCmdProgramAlt: c->mode = NorMode::ProgramSetup; break;
    case kNorCmdWriteBuffer: c->mode = NorMode::BufferCount; break;
    default:
      // Back to a safe state; counted so tests see a driver's stray writes.
      c->unknownCommands++;
      c->mode = NorMode::ReadArray;
      break;
  }
}

uint16_t IdAnswer(const NorChip* c, uint32_t word) {
  NorBlock block = NorBlockAt(*c->geometry, word);
  switch (word - block.firstWord) {
    case kNorIdManufacturer: return kNorManufacturerIntel;
    case kNorIdDevice: return static_cast<uint16_t>(c->geometry->deviceCode);
    case kNorIdLockStatus: return c->locks[block.index];
    default: return 0;
  }
}

uint16_t QueryAnswer(const NorChip* c, uint32_t word) {
  uint32_t at = word - NorBlockAt(*c->geometry, word).firstWord;
  return at < kNorCfiWords ? c->cfi[at] : 0;
}

}  // namespace

uint64_t NorMonotonicNs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

void NorChipPowerUp(NorChip* c) {
  const NorGeometry& g = *c->geometry;
  c->mode = NorMode::ReadArray;
  c->errors = 0;
  c->pending = NorPending{};
  if (!g.nonVolatileLocks) {
    c->locks.assign(g.blockCount, kNorLockBit);
  } else if (c->locks.size() != g.blockCount) {
    c->locks.assign(g.blockCount, 0);
    for (uint32_t i = 0; i < g.blockCount; i++) {
      if (NorBlockByIndex(g, i).firstWord < kFactoryLockedWords) c->locks[i] = kNorLockBit;
    }
  }
  if (c->faultLockedBlock >= 0) c->locks[static_cast<size_t>(c->faultLockedBlock)] = kNorLockBit;
}

bool NorChipSettle(NorChip* c) {
  if (c->pending.job == NorJob::None) return true;
  if (c->pending.forever || NorMonotonicNs() < c->pending.endNs) return false;
  Complete(c);
  return true;
}

uint16_t NorChipRead(NorChip* c, uint32_t word) {
  // A busy chip answers with its status whatever the read mode.
  if (!NorChipSettle(c)) return Status(c);
  switch (c->mode) {
    case NorMode::ReadArray: return Load(c, word);
    case NorMode::ReadId: return IdAnswer(c, word);
    case NorMode::Query: return QueryAnswer(c, word);
    default: return Status(c);
  }
}

void NorChipWrite(NorChip* c, uint32_t word, uint16_t value) {
  // x16 chips take the command from the low byte only.
  uint8_t cmd = static_cast<uint8_t>(value);
  if (!NorChipSettle(c)) {
    // Only the read mode can change while the state machine works.
    if (IsReadModeCommand(cmd)) Command(c, cmd);
    else c->ignoredWhileBusy++;
    return;
  }
  switch (c->mode) {
    case NorMode::LockSetup:
      LockConfirm(c, word, cmd);
      c->mode = NorMode::ReadStatus;
      break;
    case NorMode::EraseSetup:
      if (cmd == kNorCmdConfirm) StartErase(c, word);
      else c->errors |= kNorStatusSequenceError;
      c->mode = NorMode::ReadStatus;
      break;
    case NorMode::ProgramSetup:
      StartProgram(c, word, &value, 1, kNorWordProgramUs);
      c->mode = NorMode::ReadStatus;
      break;
    case NorMode::BufferCount: BufferCount(c, value); break;
    case NorMode::BufferData: NorChipBufferWord(c, word, value); break;
    case NorMode::BufferConfirm: BufferConfirm(c, cmd); break;
    default: Command(c, cmd); break;
  }
}

void NorChipPowerCut(NorChip* c, uint64_t now) {
  NorPending& p = c->pending;
  if (p.job == NorJob::None || p.forever) return;
  if (now >= p.endNs) {
    Complete(c);
    return;
  }
  // Erase and program go through the block in address order, so a cut
  // leaves a prefix done and the rest as it was.
  uint64_t done = uint64_t{p.words} * (now - p.startNs) / (p.endNs - p.startNs);
  Apply(c, static_cast<uint32_t>(done));
  p = NorPending{};
}

void NorChipFinish(NorChip* c) {
  if (c->pending.job != NorJob::None && !c->pending.forever) Complete(c);
  c->pending = NorPending{};
}
