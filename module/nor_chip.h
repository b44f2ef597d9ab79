// One 16-bit chip of the NOR pair: command state machine, status register,
// block locks and the program or erase its state machine is working on.
#pragma once

#include <cstdint>
#include <vector>

#include "module/cell_changes.h"
#include "module/nor_geometry.h"

// Command codes (low byte of the word written).
constexpr uint8_t kNorCmdReadArray = 0xFF;
constexpr uint8_t kNorCmdReadId = 0x90;
constexpr uint8_t kNorCmdQuery = 0x98;
constexpr uint8_t kNorCmdReadStatus = 0x70;
constexpr uint8_t kNorCmdClearStatus = 0x50;
constexpr uint8_t kNorCmdLockSetup = 0x60;
constexpr uint8_t kNorCmdLockBlock = 0x01;
constexpr uint8_t kNorCmdLockDown = 0x2F;
constexpr uint8_t kNorCmdConfirm = 0xD0;
constexpr uint8_t kNorCmdEraseSetup = 0x20;
constexpr uint8_t kNorCmdProgram = 0x40;
constexpr uint8_t kNorCmdProgramAlt = 0x10;
constexpr uint8_t kNorCmdWriteBuffer = 0xE8;

// Status register bits.
constexpr uint8_t kNorStatusReady = 0x80;
constexpr uint8_t kNorStatusEraseError = 0x20;
constexpr uint8_t kNorStatusProgramError = 0x10;
constexpr uint8_t kNorStatusVppLow = 0x08;
constexpr uint8_t kNorStatusLocked = 0x02;
constexpr uint8_t kNorStatusSequenceError = kNorStatusEraseError | kNorStatusProgramError;

// Identifier answers, by word offset within a block.
constexpr uint16_t kNorManufacturerIntel = 0x0089;
constexpr uint32_t kNorIdManufacturer = 0;
constexpr uint32_t kNorIdDevice = 1;
constexpr uint32_t kNorIdLockStatus = 2;
constexpr uint8_t kNorLockBit = 0x01;

enum class NorMode : uint8_t {
  ReadArray,
  ReadId,
  Query,
  ReadStatus,
  LockSetup,
  EraseSetup,
  ProgramSetup,
  BufferCount,
  BufferData,
  BufferConfirm,
};

enum class NorJob : uint8_t { None, Erase, Program };

// A program or erase the chip is busy with. In fast timing it completes on
// the write that starts it; in realistic timing when its end time passes.
struct NorPending {
  NorJob job = NorJob::None;
  bool forever = false;   // never completes (the never-ready fault)
  uint8_t errors = 0;     // status bits reported on completion
  uint32_t firstWord = 0;
  uint32_t words = 0;     // words erased or programmed
  uint64_t startNs = 0;
  uint64_t endNs = 0;
  uint16_t data[kNorMaxBufferWords] = {};
};

constexpr int64_t kNorNoFault = -1;

struct NorChip {
  // Set when the pair is opened.
  const NorGeometry* geometry = nullptr;
  const uint16_t* cfi = nullptr;
  uint8_t* base = nullptr;  // this chip's first byte in the image; words are 4 bytes apart
  CellChanges* changes = nullptr;  // counted in before the cells change, where set
  bool realistic = false;
  bool neverReady = false;
  // Fast timing leaves a job pending until NorChipFinish or NorChipPowerCut,
  // so that the model can cut the power part of the way through it.
  bool holdJobs = false;
  int64_t faultLockedBlock = kNorNoFault;   // block indices / word addresses of this chip
  int64_t faultEraseBlock = kNorNoFault;
  int64_t faultProgramWord = kNorNoFault;
  int64_t faultWeakWord = kNorNoFault;

  NorMode mode = NorMode::ReadArray;
  uint8_t errors = 0;              // sticky status bits, cleared only by clear status
  std::vector<uint8_t> locks;      // per block, kNorLockBit when locked
  bool locksChanged = false;       // set on every lock or unlock; the owner clears it
  uint32_t bufferCount = 0;        // words announced for the write buffer
  uint32_t bufferLoaded = 0;       // words written into it so far
  uint32_t bufferRegion = 0;       // first word of the buffer-aligned region
  bool bufferAborted = false;      // a word fell outside the region
  uint16_t buffer[kNorMaxBufferWords] = {};
  NorPending pending;
  NorBlock lastBlock = {0, 0, 0};  // the block a program or erase last fell in

  uint64_t unknownCommands = 0;
  uint64_t ignoredWhileBusy = 0;
  uint64_t jobsStarted = 0;
};

// Power-up state: read array, nothing pending, and the lock bits: every block
// locked where they are volatile; where they are not, what `locks` holds from
// before, or when it holds nothing the state the module leaves the factory
// in (the blocks below the first 0x20000 chip bytes locked). The lock fault's
// block is locked either way.
void NorChipPowerUp(NorChip* chip);

uint16_t NorChipRead(NorChip* chip, uint32_t word);
void NorChipWrite(NorChip* chip, uint32_t word, uint16_t value);

// Taking the data words of a buffered program: a write then only fills the
// buffer, so a run of them can skip the rest of NorChipWrite.
inline bool NorChipLoadingBuffer(const NorChip* chip) { return chip->mode == NorMode::BufferData; }
// NorChipWrite of a data word while NorChipLoadingBuffer.
void NorChipBufferWord(NorChip* chip, uint32_t word, uint16_t value);
// How many of `n` data words from `word` on the buffer takes as they come:
// fewer when it fills first, none when `word` lies outside its region.
uint32_t NorChipBufferRoom(const NorChip* chip, uint32_t word, uint32_t n);
// Takes `n` words NorChipBufferRoom allowed, this chip's half of each bus
// word being the 16 bits at `shift`: as n NorChipBufferWord calls.
void NorChipBufferFill(NorChip* chip, uint32_t word, const uint32_t* in, uint32_t n, uint32_t shift);

// Completes a realistic-timing job whose time is up; false while busy.
bool NorChipSettle(NorChip* chip);
// Reads come straight from the array: read-array mode and nothing pending.
inline bool NorChipReadsArray(const NorChip* chip) {
  return chip->mode == NorMode::ReadArray && chip->pending.job == NorJob::None;
}
// The power goes at `nowNs`: a job still under way is left as far as it had
// got by then.
void NorChipPowerCut(NorChip* chip, uint64_t nowNs);
// The power stays on: a job under way runs to its end.
void NorChipFinish(NorChip* chip);

uint64_t NorMonotonicNs();
