#include "flash/nand_controller.h"

#include <algorithm>
#include <bit>

#include "flash/flash_layer.h"
#include "flash/hardware.h"
#include "platform/clock.h"
#include "platform/debug.h"
#include "platform/format.h"

namespace {

constexpr uint32_t NAND_CONTROLLER_PHYS = 0x43100000;

// Controller registers, offsets in its window.
constexpr uint32_t NDCR = 0x00;      // control
constexpr uint32_t NDTR0CS0 = 0x04;  // timing 0
constexpr uint32_t NDTR1CS0 = 0x0C;  // timing 1
constexpr uint32_t NDSR = 0x14;      // status, bits cleared by writing ones
constexpr uint32_t NDDB = 0x40;      // data buffer: one word per access
constexpr uint32_t NDCB0 = 0x48;     // command buffer: command word, then two address words

// Control register.
constexpr uint32_t NDCR_SPARE_EN = 0x80000000;
constexpr uint32_t NDCR_ECC_EN = 0x40000000;
constexpr uint32_t NDCR_ND_RUN = 0x10000000;     // starts the command that follows
constexpr uint32_t NDCR_PAGE_SZ = 0x01000000;    // set: 2048-byte pages, else 512
constexpr uint32_t NDCR_PG_PER_BLK = 0x00004000; // set: 64 pages per block, else 32
constexpr uint32_t NDCR_INT_MASKS = 0x00000FFF;  // every interrupt masked: the driver polls
// On part code 9 the identification goes out as a read of a small page, with
// neither error correction nor spare transfer.
constexpr uint32_t NDCR_READ_ID_KEEP = 0x0087DFFF;

// Status register.
constexpr uint32_t NDSR_WRCMDREQ = 0x001;  // ready for a command
constexpr uint32_t NDSR_RDDREQ = 0x002;    // read data waiting
constexpr uint32_t NDSR_WRDREQ = 0x004;    // write data wanted
constexpr uint32_t NDSR_SBERR = 0x008;     // a bit error was corrected
constexpr uint32_t NDSR_DBERR = 0x010;     // an uncorrectable bit error
constexpr uint32_t NDSR_CS1_BBD = 0x020;   // the chip reported a program or erase failure
constexpr uint32_t NDSR_CS0_BBD = 0x040;
constexpr uint32_t NDSR_CS1_CMDD = 0x080;  // command done
constexpr uint32_t NDSR_CS0_CMDD = 0x100;
constexpr uint32_t NDSR_COMMAND_END = NDSR_DBERR | NDSR_CS1_BBD | NDSR_CS0_BBD | NDSR_CS1_CMDD | NDSR_CS0_CMDD;
constexpr uint32_t NDSR_RDY = 0x800;       // the chip is ready
constexpr uint32_t NDSR_CLEAR_ALL = 0xFFF;

// Command word.
constexpr uint32_t NDCB0_SECOND_COMMAND = 0xFF00;
constexpr uint32_t NDCB0_ADDR_CYC_SHIFT = 16;
constexpr uint32_t NDCB0_DBC = 1u << 19;  // two command bytes
constexpr uint32_t NDCB0_CMD_TYPE_SHIFT = 21;
constexpr uint32_t NDCB0_CSEL = 1u << 24;     // second chip select
constexpr uint32_t NDCB0_AUTO_RS = 1u << 25;  // the chip's status is read back after program and erase
constexpr uint32_t CMD_TYPE_READ = 0;
constexpr uint32_t CMD_TYPE_PROGRAM = 1;
constexpr uint32_t CMD_TYPE_ERASE = 2;
constexpr uint32_t CMD_TYPE_READ_ID = 3;
constexpr uint32_t CMD_TYPE_RESET = 5;
constexpr uint32_t READ_ID_ADDRESS_CYCLES = 1;
constexpr uint32_t PAGE_ADDRESS_SHIFT = 16;  // read and program: column 0 in bits 0-15

// Chip command bytes, first command in bits 0-7, second in bits 8-15.
constexpr uint32_t NAND_CMD_READ = 0x3000;
constexpr uint32_t NAND_CMD_PROGRAM = 0x1080;
constexpr uint32_t NAND_CMD_ERASE = 0xD060;
constexpr uint32_t NAND_CMD_READ_ID = 0x90;
constexpr uint32_t NAND_CMD_RESET = 0xFF;

// Status waits are bounded by time, not by reads (their count depends on
// the host). Each step has the chip's worst case with a wide margin: the
// controller takes a command at once, a read needs tR (at most 50 us), a
// program tPROG (700 us), an erase tBERS (10 ms), a reset tRST (500 us).
constexpr DWORD NAND_WAIT_COMMAND_MS = 100;
constexpr DWORD NAND_WAIT_READ_MS = 100;
constexpr DWORD NAND_WAIT_PROGRAM_MS = 200;
constexpr DWORD NAND_WAIT_ERASE_MS = 500;
constexpr DWORD NAND_WAIT_RESET_MS = 100;
// A wait spins this long before it sleeps between reads.
constexpr DWORD NAND_WAIT_SPIN_MS = 1;
constexpr DWORD NAND_WAIT_SLEEP_MS = 1;
constexpr size_t NAND_NO_ANSWER_CHARS = 96;

// What a wait waits for: its name for the logs and its time-out.
struct NandWaitStep {
  const WCHAR* name;
  uint32_t mask;
  DWORD timeoutMs;
};
constexpr NandWaitStep WAIT_COMMAND = {u"the controller to take a command", NDSR_WRCMDREQ, NAND_WAIT_COMMAND_MS};
constexpr NandWaitStep WAIT_READ_DATA = {u"a page read", NDSR_RDDREQ, NAND_WAIT_READ_MS};
constexpr NandWaitStep WAIT_ID_DATA = {u"the identification", NDSR_RDDREQ, NAND_WAIT_READ_MS};
constexpr NandWaitStep WAIT_ID_DONE = {u"the identification's end", NDSR_CS0_CMDD, NAND_WAIT_READ_MS};
constexpr NandWaitStep WAIT_WRITE_DATA = {u"a program's data request", NDSR_WRDREQ, NAND_WAIT_COMMAND_MS};
constexpr NandWaitStep WAIT_RESET = {u"the chip's reset", NDSR_RDY, NAND_WAIT_RESET_MS};

constexpr uint32_t NAND_ID_MASK = 0xFFFF;
// The two faster PXA3xx parts run the controller at 156 MHz; part code 9
// also reads the identification as a page.
constexpr uint32_t NAND_PART_CODE_FAST = 8;
constexpr uint32_t NAND_PART_CODE_ID_AS_READ = 9;
constexpr uint32_t NAND_ID_EXTRA_BYTES = 4;
constexpr uint32_t NAND_ID_EXTRA_BYTES_AS_READ = 508;  // the rest of a 512-byte page
constexpr uint32_t NAND_CLOCK_MHZ = 104;
constexpr uint32_t NAND_CLOCK_FAST_MHZ = 156;

constexpr uint32_t NAND_LARGE_PAGE = 2048;
constexpr uint32_t NAND_SMALL_PAGE = 512;
constexpr uint32_t NAND_LARGE_PAGE_SHIFT = 11;
constexpr uint32_t NAND_SMALL_PAGE_SHIFT = 9;
constexpr uint32_t NAND_LARGE_BLOCK_PAGES = 64;
constexpr uint32_t NAND_SMALL_BLOCK_PAGES = 32;
constexpr uint32_t NAND_LARGE_BLOCK_SHIFT = 6;
constexpr uint32_t NAND_SMALL_BLOCK_SHIFT = 5;
constexpr uint32_t NAND_SPARE_WITH_ECC = 40;  // the controller keeps the rest for its code
constexpr uint32_t NAND_ERASED_WORD = 0xFFFFFFFF;
constexpr uint8_t ERASED_BYTE = 0xFF;
// The controller's code: 3 bytes over each 256-byte half of a 512-byte step,
// one bit repaired per step, the four steps' codes in spare bytes 40-63. The
// top two bits of a half's code are set in every genuine code; the module's
// OS driver clears all of a step's code bytes when it programs the step a
// second time.
constexpr uint32_t NAND_ECC_STEP_BYTES = 512;
constexpr uint32_t NAND_ECC_STEPS = 4;
constexpr uint32_t NAND_ECC_STEP_CODE_BYTES = 6;
constexpr uint32_t NAND_ECC_HALF_CODE_BYTES = 3;
constexpr uint32_t NAND_ECC_TOP_CODE_BYTE = 2;
constexpr uint8_t NAND_ECC_UNUSED_BITS = 0xC0;
constexpr uint32_t NAND_ECC_STEP_BITS_REPAIRED = 1;
constexpr uint32_t WORD_BYTES = 4;

// Timing register fields: the count each time gives and its largest value.
constexpr uint32_t NDTR0_TRP_SHIFT = 0;
constexpr uint32_t NDTR0_TRH_SHIFT = 3;
constexpr uint32_t NDTR0_TWP_SHIFT = 8;
constexpr uint32_t NDTR0_TWH_SHIFT = 11;
constexpr uint32_t NDTR0_TCS_SHIFT = 16;
constexpr uint32_t NDTR0_TCH_SHIFT = 19;
constexpr uint32_t NDTR0_FIELD_MAX = 7;
constexpr uint32_t NDTR1_TAR_SHIFT = 0;
constexpr uint32_t NDTR1_TWHR_SHIFT = 4;
constexpr uint32_t NDTR1_TR_SHIFT = 16;
constexpr uint32_t NDTR1_SHORT_MAX = 15;
constexpr uint32_t NDTR1_TR_MAX = 0xFFFF;
// Margin of the rule that derives the hold count from the second time.
constexpr uint32_t NAND_HOLD_MARGIN_NS = 26;
constexpr uint32_t NS_PER_US = 1000;

// Times in nanoseconds, in the order of the chip table.
enum NandTime { T1, T2, T3, T4, T5, T6, T7, T8, T9, T10, NAND_TIME_COUNT };

struct NandChipEntry {
  uint32_t id;
  uint32_t timesNs[NAND_TIME_COUNT];
  uint32_t controlBits;  // page size and pages per block follow from these
  uint32_t blockCount;
  uint32_t pageCycles;   // address cycles of read and program
  uint32_t eraseCycles;
  uint32_t readCommand;
  uint32_t programCommand;
  uint32_t eraseCommand;
  uint32_t idCommand;
  uint32_t resetCommand;
  uint32_t secondSelectPage;  // pages from here on answer on the second chip select; 0: none
  uint32_t chipClass;
};

// Entry 0 serves before the chip is known: slow enough for any chip.
constexpr NandChipEntry kChips[] = {
    {0x0000, {100, 100, 100, 100, 100, 100, 100, 65535, 100, 100}, 0x08021000, 2048, 0, 0, 0, 0, 0,
     NAND_CMD_READ_ID, NAND_CMD_RESET, 0, 0},
    {0xD3EC, {5, 70, 20, 10, 12, 10, 22, 25120, 60, 10}, 0x0185D000, 8192, 5, 3, NAND_CMD_READ, NAND_CMD_PROGRAM,
     NAND_CMD_ERASE, NAND_CMD_READ_ID, NAND_CMD_RESET, 0, 2},
    {0xF1EC, {5, 100, 20, 10, 15, 10, 25, 35120, 60, 10}, 0x0105D000, 1024, 4, 2, NAND_CMD_READ, NAND_CMD_PROGRAM,
     NAND_CMD_ERASE, NAND_CMD_READ_ID, NAND_CMD_RESET, 0, 1},
    {0xDAEC, {5, 100, 20, 10, 12, 10, 22, 25120, 60, 10}, 0x0105D000, 2048, 5, 3, NAND_CMD_READ, NAND_CMD_PROGRAM,
     NAND_CMD_ERASE, NAND_CMD_READ_ID, NAND_CMD_RESET, 0, 1},
    {0xDCEC, {5, 70, 20, 10, 12, 10, 22, 25120, 60, 10}, 0x0105D000, 4096, 5, 3, NAND_CMD_READ, NAND_CMD_PROGRAM,
     NAND_CMD_ERASE, NAND_CMD_READ_ID, NAND_CMD_RESET, 0, 1},
    {0xDCAD, {5, 100, 25, 10, 15, 10, 25, 25120, 60, 15}, 0x0104D000, 8192, 5, 3, NAND_CMD_READ, NAND_CMD_PROGRAM,
     NAND_CMD_ERASE, NAND_CMD_READ_ID, NAND_CMD_RESET, 0x40000, 3},
};
constexpr uint32_t NAND_CHIP_ENTRIES = sizeof kChips / sizeof kChips[0];

struct NandCommand {
  uint32_t word;
  uint32_t address1;
  uint32_t address2;
};

struct NandControllerState {
  volatile ULONG* window = nullptr;  // kept for the life of the process
  uint32_t entry = 0;                // chip table entry in use
  uint32_t working = 0;              // what each command writes, with NDCR_ND_RUN
  uint32_t saved = 0;                // what NandRestoreControl puts back
  uint32_t partCode = 0;
  uint32_t clockMhz = NAND_CLOCK_MHZ;
  NandGeometry geometry = {};
  bool ecc = false;
  bool spare = false;
  WCHAR noAnswer[NAND_NO_ANSWER_CHARS] = {};  // the last wait that timed out
};

NandControllerState g_ctl;

volatile ULONG* Reg(uint32_t offset) {
  return reinterpret_cast<volatile ULONG*>(reinterpret_cast<uintptr_t>(g_ctl.window) + offset);
}
void Put(uint32_t offset, uint32_t value) { WRITE_REGISTER_ULONG(Reg(offset), value); }
uint32_t Get(uint32_t offset) { return READ_REGISTER_ULONG(Reg(offset)); }

const NandChipEntry& Entry() { return kChips[g_ctl.entry]; }

uint32_t EntryOf(uint32_t id) {
  for (uint32_t i = 1; i < NAND_CHIP_ENTRIES; i++) {
    if (kChips[i].id == id) return i;
  }
  return 0;
}

// Controller clock cycles for `ns`: the registers hold one less than the
// count that covers it.
uint32_t CycleCount(uint32_t ns, uint32_t mhz) { return ns < 2 ? 0 : (ns * mhz + NS_PER_US - 1) / NS_PER_US - 1; }
uint32_t CycleCountAtMost(uint32_t ns, uint32_t mhz, uint32_t limit) {
  return std::min(CycleCount(ns, mhz), limit);
}

struct NandTimingWords {
  uint32_t timing0;
  uint32_t timing1;
};

// Timing register values for a chip table entry at a controller clock in MHz.
NandTimingWords NandTimingsFor(uint32_t entry, uint32_t mhz) {
  const uint32_t* t = kChips[entry < NAND_CHIP_ENTRIES ? entry : 0].timesNs;
  uint32_t n1 = CycleCount(t[T1], mhz);
  uint32_t n3 = CycleCountAtMost(t[T3], mhz, NDTR0_FIELD_MAX);
  uint32_t n4 = CycleCountAtMost(t[T4], mhz, NDTR0_FIELD_MAX);
  uint32_t n5 = CycleCountAtMost(t[T5], mhz, NDTR0_FIELD_MAX);
  uint32_t n6 = CycleCountAtMost(t[T6], mhz, NDTR0_FIELD_MAX);
  uint32_t n7 = CycleCountAtMost(t[T7], mhz, NDTR0_FIELD_MAX);
  uint32_t n2 = t[T2] <= t[T1] + t[T5] + NAND_HOLD_MARGIN_NS
                    ? std::min(n1, NDTR0_FIELD_MAX)
                    : CycleCountAtMost(t[T2] - t[T5] - NAND_HOLD_MARGIN_NS, mhz, NDTR0_FIELD_MAX);
  NandTimingWords words;
  words.timing0 = n7 << NDTR0_TRP_SHIFT | n6 << NDTR0_TRH_SHIFT | n5 << NDTR0_TWP_SHIFT | n4 << NDTR0_TWH_SHIFT |
                  n3 << NDTR0_TCS_SHIFT | n2 << NDTR0_TCH_SHIFT;
  words.timing1 = CycleCountAtMost(t[T10], mhz, NDTR1_SHORT_MAX) << NDTR1_TAR_SHIFT |
                  CycleCountAtMost(t[T9], mhz, NDTR1_SHORT_MAX) << NDTR1_TWHR_SHIFT |
                  CycleCountAtMost(t[T8], mhz, NDTR1_TR_MAX) << NDTR1_TR_SHIFT;
  return words;
}

void NandSetTimings() {
  NandTimingWords words = NandTimingsFor(g_ctl.entry, g_ctl.clockMhz);
  Put(NDTR0CS0, words.timing0);
  Put(NDTR1CS0, words.timing1);
}

void NandSetControl() {
  g_ctl.working = g_ctl.saved = Entry().controlBits | NDCR_INT_MASKS;
  g_ctl.ecc = g_ctl.spare = false;
  Put(NDCR, g_ctl.working);
}

// Reads the status until one of the step's bits is set or its time is up.
// The clock is read before the status, so a wait the host kept from running
// past its time still looks once more.
uint32_t NandWaitStatus(const NandWaitStep& step) {
  DWORD start = GetTickCount();
  for (;;) {
    DWORD elapsed = GetTickCount() - start;
    uint32_t status = Get(NDSR);
    if ((status & step.mask) != 0) return NAND_STATUS_OK;
    if (elapsed >= step.timeoutMs) {
      StringCchPrintfW(g_ctl.noAnswer, NAND_NO_ANSWER_CHARS, u"%s, status 0x%03X after %u ms", step.name, status,
                       elapsed);
      if (DebugTraceOn()) {
        WCHAR line[NAND_NO_ANSWER_CHARS + 32];
        StringCchPrintfW(line, NAND_NO_ANSWER_CHARS + 32, u"nand: no answer waiting for %s\n", g_ctl.noAnswer);
        OutputDebugStringW(line);
      }
      return NAND_STATUS_TIMEOUT;
    }
    if (elapsed >= NAND_WAIT_SPIN_MS) Sleep(NAND_WAIT_SLEEP_MS);
  }
}

uint32_t IssueCommand(uint32_t control, const NandCommand& command) {
  Put(NDSR, NDSR_CLEAR_ALL);
  Put(NDCR, control | NDCR_ND_RUN);
  if (NandWaitStatus(WAIT_COMMAND) != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  Put(NDCB0, command.word);
  Put(NDCB0, command.address1);
  Put(NDCB0, command.address2);
  return NAND_STATUS_OK;
}

// `timeoutMs` covers the chip's busy time of the command. Either chip
// select's done bit ends it (0x1F0 holds both).
uint32_t NandFinish(const WCHAR* name, DWORD timeoutMs) {
  if (NandWaitStatus(NandWaitStep{name, NDSR_RDY, timeoutMs}) != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  if (NandWaitStatus(NandWaitStep{name, NDSR_COMMAND_END, timeoutMs}) != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  uint32_t status = Get(NDSR);
  if ((status & (NDSR_CS0_BBD | NDSR_CS1_BBD)) != 0) return NAND_STATUS_BAD_BLOCK;
  if ((status & NDSR_DBERR) != 0) return NAND_STATUS_UNCORRECTABLE;
  if ((status & NDSR_SBERR) != 0) return NAND_STATUS_CORRECTED;
  return NAND_STATUS_OK;
}

// The command word and addresses of a page or block command. A chip with a
// second chip select sees its upper pages as pages of the second die.
NandCommand PageCommand(uint32_t commandBytes, uint32_t type, uint32_t cycles, uint32_t page) {
  uint32_t word = commandBytes | cycles << NDCB0_ADDR_CYC_SHIFT | type << NDCB0_CMD_TYPE_SHIFT;
  if ((commandBytes & NDCB0_SECOND_COMMAND) != 0) word |= NDCB0_DBC;
  if (type == CMD_TYPE_PROGRAM || type == CMD_TYPE_ERASE) word |= NDCB0_AUTO_RS;
  uint32_t second = Entry().secondSelectPage;
  if (second != 0 && page >= second) {
    word |= NDCB0_CSEL;
    page -= second;
  }
  if (type == CMD_TYPE_ERASE) return NandCommand{word, page, 0};
  return NandCommand{word, page << PAGE_ADDRESS_SHIFT, page >> PAGE_ADDRESS_SHIFT};
}

// Words out of the data buffer; a null destination drops them.
void ReadWords(uint32_t* into, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) {
    uint32_t word = Get(NDDB);
    if (into != nullptr) into[i] = word;
  }
}

// Words into the data buffer; a null source sends erased words.
void WriteWords(const uint32_t* from, uint32_t count) {
  for (uint32_t i = 0; i < count; i++) Put(NDDB, from != nullptr ? from[i] : NAND_ERASED_WORD);
}

// Spare words a transfer of `spareLength` bytes moves: never more than the
// controller transfers, so the rest of a transfer can never be negative.
uint32_t SpareWords(const uint32_t* spare, uint32_t spareLength, uint32_t spareBytes) {
  return spare != nullptr ? std::min(spareLength, spareBytes) / WORD_BYTES : 0;
}

uint32_t ReadTransfer(const NandCommand& command, uint32_t* data, uint32_t* spare, uint32_t spareWords,
                      uint32_t spareBytes) {
  if (IssueCommand(g_ctl.working, command) != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  if (NandWaitStatus(WAIT_READ_DATA) != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  ReadWords(data, g_ctl.geometry.pageSize / WORD_BYTES);
  ReadWords(spare, spareWords);
  ReadWords(nullptr, spareBytes / WORD_BYTES - spareWords);
  return NandFinish(WAIT_READ_DATA.name, NAND_WAIT_READ_MS);
}

void SetGeometry(const NandChipEntry& entry) {
  bool largePage = (entry.controlBits & NDCR_PAGE_SZ) != 0;
  bool largeBlock = (entry.controlBits & NDCR_PG_PER_BLK) != 0;
  NandGeometry& g = g_ctl.geometry;
  g.pageSize = largePage ? NAND_LARGE_PAGE : NAND_SMALL_PAGE;
  g.pageShift = largePage ? NAND_LARGE_PAGE_SHIFT : NAND_SMALL_PAGE_SHIFT;
  g.pagesPerBlock = largeBlock ? NAND_LARGE_BLOCK_PAGES : NAND_SMALL_BLOCK_PAGES;
  g.blockShift = largeBlock ? NAND_LARGE_BLOCK_SHIFT : NAND_SMALL_BLOCK_SHIFT;
  g.blockBytes = g.pageSize * g.pagesPerBlock;
  g.blockCount = entry.blockCount;
}

// A flag and its bit in the working control value change together.
int SetControlFlag(bool* flag, uint32_t bit, int on) {
  bool previous = *flag;
  *flag = on != 0;
  g_ctl.working = *flag ? g_ctl.working | bit : g_ctl.working & ~bit;
  return previous ? 1 : 0;
}

}  // namespace

uint32_t NandReadId(uint32_t* id) {
  uint32_t control = g_ctl.working;
  uint32_t type = CMD_TYPE_READ_ID;
  uint32_t extra = NAND_ID_EXTRA_BYTES;
  if (g_ctl.partCode == NAND_PART_CODE_ID_AS_READ) {
    control &= NDCR_READ_ID_KEEP;
    type = CMD_TYPE_READ;
    extra = NAND_ID_EXTRA_BYTES_AS_READ;
  }
  NandCommand command{Entry().idCommand | type << NDCB0_CMD_TYPE_SHIFT | READ_ID_ADDRESS_CYCLES << NDCB0_ADDR_CYC_SHIFT,
                      0, 0};
  if (IssueCommand(control, command) != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  if (NandWaitStatus(WAIT_ID_DATA) != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  *id = Get(NDDB);
  ReadWords(nullptr, extra / WORD_BYTES);
  return NandWaitStatus(WAIT_ID_DONE);
}

uint32_t NandReset() {
  NandCommand command{Entry().resetCommand | CMD_TYPE_RESET << NDCB0_CMD_TYPE_SHIFT, 0, 0};
  if (IssueCommand(g_ctl.working, command) != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  return NandWaitStatus(WAIT_RESET);
}

uint32_t NandReadPage(uint32_t* data, uint32_t* spare, uint32_t spareLength, uint32_t page) {
  if (data == nullptr && spare == nullptr) return NAND_STATUS_TIMEOUT;
  uint32_t spareBytes = NandSpareBytes();
  const NandChipEntry& entry = Entry();
  NandCommand command = PageCommand(entry.readCommand, CMD_TYPE_READ, entry.pageCycles, page);
  uint32_t status = ReadTransfer(command, data, spare, SpareWords(spare, spareLength, spareBytes), spareBytes);
  if (status == NAND_STATUS_CORRECTED || status == NAND_STATUS_UNCORRECTABLE) {
    // After a bit error a clean read of page 0 on the first chip select
    // leaves the controller's correction state behind before anything else runs.
    NandCommand clean{command.word & ~NDCB0_CSEL, 0, 0};
    if (ReadTransfer(clean, nullptr, nullptr, 0, spareBytes) == NAND_STATUS_TIMEOUT) return NAND_STATUS_TIMEOUT;
  }
  return status;
}

uint32_t NandProgramPage(const uint32_t* data, const uint32_t* spare, uint32_t spareLength, uint32_t page) {
  if (data == nullptr && spare == nullptr) return NAND_STATUS_TIMEOUT;
  uint32_t spareBytes = NandSpareBytes();
  uint32_t spareWords = SpareWords(spare, spareLength, spareBytes);
  const NandChipEntry& entry = Entry();
  NandCommand command = PageCommand(entry.programCommand, CMD_TYPE_PROGRAM, entry.pageCycles, page);
  if (IssueCommand(g_ctl.working, command) != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  if (NandWaitStatus(WAIT_WRITE_DATA) != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  WriteWords(data, g_ctl.geometry.pageSize / WORD_BYTES);
  WriteWords(spare, spareWords);
  WriteWords(nullptr, spareBytes / WORD_BYTES - spareWords);
  return NandFinish(u"a page program", NAND_WAIT_PROGRAM_MS);
}

uint32_t NandEraseBlock(uint32_t page) {
  const NandChipEntry& entry = Entry();
  NandCommand command = PageCommand(entry.eraseCommand, CMD_TYPE_ERASE, entry.eraseCycles, page);
  if (IssueCommand(g_ctl.working, command) != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  return NandFinish(u"a block erase", NAND_WAIT_ERASE_MS);
}

uint32_t NandControllerInit(bool full) {
  // Mapped once: a failed initialisation is retried by every later flash
  // lock, and a new window each time would never be given back.
  if (g_ctl.window == nullptr) g_ctl.window = PhysMap(NAND_CONTROLLER_PHYS);
  if (g_ctl.window == nullptr) return NAND_STATUS_TIMEOUT;
  if (full) {
    g_ctl.entry = 0;
    NandSetTimings();
    NandSetControl();
    NandReset();  // a chip that does not answer shows in the identification
  } else {
    g_ctl.working = g_ctl.saved = Get(NDCR);
  }
  g_ctl.partCode = CpuPartCode();
  bool fast = g_ctl.partCode == NAND_PART_CODE_FAST || g_ctl.partCode == NAND_PART_CODE_ID_AS_READ;
  g_ctl.clockMhz = fast ? NAND_CLOCK_FAST_MHZ : NAND_CLOCK_MHZ;
  uint32_t id = 0;
  if (NandReadId(&id) != NAND_STATUS_OK) return NAND_STATUS_TIMEOUT;
  uint32_t entry = EntryOf(id & NAND_ID_MASK);
  if (entry == 0) return NAND_STATUS_UNKNOWN_CHIP;
  g_ctl.entry = entry;
  if (full) {
    NandSetTimings();
    NandSetControl();
  }
  SetGeometry(kChips[entry]);
  g_ctl.ecc = g_ctl.spare = false;
  return NAND_STATUS_OK;
}

int NandSetEcc(int on) { return SetControlFlag(&g_ctl.ecc, NDCR_ECC_EN, on); }

bool NandEccEnabled() { return g_ctl.ecc; }

int NandSetSpare(int on) { return SetControlFlag(&g_ctl.spare, NDCR_SPARE_EN, on); }

uint32_t NandSpareBytes() {
  if (!g_ctl.spare) return 0;
  return g_ctl.ecc ? NAND_SPARE_WITH_ECC : NAND_MAX_SPARE_BYTES;
}

void NandRestoreControl() {
  if (g_ctl.window != nullptr) Put(NDCR, g_ctl.saved);
}

const WCHAR* NandNoAnswer() { return g_ctl.noAnswer; }

bool NandDataBlank(const uint32_t* words, uint32_t bytes, uint32_t* flips) {
  const auto* data = reinterpret_cast<const uint8_t*>(words);
  *flips = 0;
  for (uint32_t at = 0; at < bytes; at += NAND_ECC_STEP_BYTES) {
    uint32_t cleared = 0;
    for (uint32_t i = at; i < std::min(bytes, at + NAND_ECC_STEP_BYTES); i++) {
      cleared += static_cast<uint32_t>(std::popcount(static_cast<uint8_t>(~data[i])));
    }
    if (cleared > NAND_ECC_STEP_BITS_REPAIRED) return false;
    *flips += cleared;
  }
  return true;
}

bool NandCodesAbsent(const uint32_t* spare) {
  const auto* codes = reinterpret_cast<const uint8_t*>(spare) + NAND_SPARE_WITH_ECC;
  bool erased = true;
  bool voided = false;
  for (uint32_t s = 0; s < NAND_ECC_STEPS; s++) {
    const uint8_t* code = codes + s * NAND_ECC_STEP_CODE_BYTES;
    for (uint32_t i = 0; i < NAND_ECC_STEP_CODE_BYTES; i++) erased = erased && code[i] == ERASED_BYTE;
    voided = voided || ((code[NAND_ECC_TOP_CODE_BYTE] & NAND_ECC_UNUSED_BITS) == 0 &&
                        (code[NAND_ECC_HALF_CODE_BYTES + NAND_ECC_TOP_CODE_BYTE] & NAND_ECC_UNUSED_BITS) == 0);
  }
  return erased || voided;
}

bool NandReadSucceeded(uint32_t status) { return status == NAND_STATUS_OK || status == NAND_STATUS_CORRECTED; }

uint32_t NandStatusResult(uint32_t status) {
  switch (status) {
    case NAND_STATUS_OK:
      FlashError = FLASH_ERR_NONE;
      return 1;
    case NAND_STATUS_CORRECTED:
      FlashError = FLASH_ERR_ECC_CORRECTED;
      return 1;
    case NAND_STATUS_UNCORRECTABLE:
      FlashError = FLASH_ERR_ECC_UNCORRECTABLE;
      return 0;
    case NAND_STATUS_BAD_BLOCK:
      FlashError = FLASH_ERR_FAILED;
      return 0;
    case NAND_STATUS_UNKNOWN_CHIP:
      FlashError = FLASH_ERR_UNKNOWN_CHIP;
      return 0;
    default:
      FlashError = FLASH_ERR_TIMEOUT;
      return 0;
  }
}

const NandGeometry& NandChipGeometry() { return g_ctl.geometry; }

uint32_t NandChipClassOf(uint32_t id) { return kChips[EntryOf(id & NAND_ID_MASK)].chipClass; }

void NandControllerResetForTests() {
  if (g_ctl.window != nullptr) PhysUnmap(g_ctl.window);
  g_ctl = NandControllerState{};
}
