#include "fwlib/unit_writer.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "flash/flash_layer.h"
#include "fwlib/results.h"

namespace {

constexpr uint8_t ERASED_BYTE = 0xFF;
constexpr uint32_t WORD_BYTES = 4;
constexpr uint32_t ERASED_WORD = 0xFFFFFFFF;
// Read-back and realignment go through fixed blocks of this many bytes, so
// the heap holds nothing but the work buffer and one page.
constexpr uint32_t STAGING_BYTES = 0x4000;

struct UnitWriterState {
  uint32_t* unit = nullptr;  // one page, 0xFF wherever nothing is pending
  uint32_t unitBytes = 0;
  uint32_t pending = UNIT_NONE;
  uint32_t next = UNIT_NONE;
  uint32_t readBack[STAGING_BYTES / WORD_BYTES];
  uint32_t staging[STAGING_BYTES / WORD_BYTES];
};

UnitWriterState g_units;

uint8_t* UnitBytes() { return reinterpret_cast<uint8_t*>(g_units.unit); }

bool WordAligned(const uint8_t* p) { return reinterpret_cast<uintptr_t>(p) % alignof(uint32_t) == 0; }

uint32_t Keep(uint32_t result, uint32_t next) { return result != FWL_OK ? result : next; }

// Flash [offset, offset + length) must hold `expected`.
uint32_t Verify(const uint8_t* expected, uint32_t offset, uint32_t length) {
  while (length != 0) {
    uint32_t piece = std::min(length, STAGING_BYTES);
    if (FlashOps.Read(g_units.readBack, offset, piece) == 0) return FWL_ERR_FLASH_READ;
    if (std::memcmp(g_units.readBack, expected, piece) != 0) return FWL_ERR_VERIFY;
    expected += piece;
    offset += piece;
    length -= piece;
  }
  return FWL_OK;
}

// Writes whole words from an aligned source and reads them back.
uint32_t WriteAligned(const uint32_t* source, uint32_t offset, uint32_t length) {
  if (FlashOps.Write(source, offset, length) == 0) return FWL_ERR_FLASH_WRITE;
  return Verify(reinterpret_cast<const uint8_t*>(source), offset, length);
}

// As WriteAligned for a source of any alignment (NOR: any run of words).
uint32_t WriteAnySource(const uint8_t* source, uint32_t offset, uint32_t length) {
  if (WordAligned(source)) return WriteAligned(reinterpret_cast<const uint32_t*>(source), offset, length);
  while (length != 0) {
    uint32_t piece = std::min(length, STAGING_BYTES);
    std::memcpy(g_units.staging, source, piece);
    uint32_t result = WriteAligned(g_units.staging, offset, piece);
    if (result != FWL_OK) return result;
    source += piece;
    offset += piece;
    length -= piece;
  }
  return FWL_OK;
}

// The bytes [offset, offset + n) of one word, the rest of the word 0xFF;
// only the bytes given are compared afterwards, the others may hold a
// neighbour's data.
uint32_t WritePartialWord(const uint8_t* source, uint32_t offset, uint32_t n) {
  uint32_t word = ERASED_WORD;
  uint32_t inWord = offset % WORD_BYTES;
  std::memcpy(reinterpret_cast<uint8_t*>(&word) + inWord, source, n);
  if (FlashOps.Write(&word, offset - inWord, WORD_BYTES) == 0) return FWL_ERR_FLASH_WRITE;
  return Verify(source, offset, n);
}

uint32_t NorWrite(const uint8_t* source, uint32_t offset, uint32_t n) {
  if (n == 0) return FWL_OK;
  uint32_t result = FWL_OK;
  if (offset % WORD_BYTES != 0) {
    uint32_t head = std::min(n, WORD_BYTES - offset % WORD_BYTES);
    result = WritePartialWord(source, offset, head);
    source += head;
    offset += head;
    n -= head;
  }
  uint32_t whole = n & ~(WORD_BYTES - 1);
  if (result == FWL_OK && whole != 0) result = WriteAnySource(source, offset, whole);
  if (result == FWL_OK && n > whole) result = WritePartialWord(source + whole, offset + whole, n - whole);
  return result;
}

// Writes the unit buffer at `at` and empties it again.
uint32_t WriteUnit(uint32_t at) {
  uint32_t result = WriteAligned(g_units.unit, at, g_units.unitBytes);
  std::memset(g_units.unit, ERASED_BYTE, g_units.unitBytes);
  return result;
}

// Whole pages straight from the source; a source off word alignment goes
// page by page through the unit buffer (empty while nothing is pending).
uint32_t WriteWholeUnits(const uint8_t* source, uint32_t offset, uint32_t length) {
  if (WordAligned(source)) return WriteAligned(reinterpret_cast<const uint32_t*>(source), offset, length);
  uint32_t result = FWL_OK;
  for (uint32_t done = 0; done < length; done += g_units.unitBytes) {
    std::memcpy(g_units.unit, source + done, g_units.unitBytes);
    result = Keep(result, WriteUnit(offset + done));
  }
  return result;
}

bool UnitSizeUsable(uint32_t u) { return u >= WORD_BYTES && (u & (u - 1)) == 0; }

uint32_t NandWrite(const uint8_t* source, uint32_t offset, uint32_t n) {
  if (n == 0) return FWL_OK;
  if (g_units.unit == nullptr) {
    uint32_t u = FlashOps.PageSize != nullptr ? FlashOps.PageSize() : 0;
    // Pages are a power of two in size; anything else could not be addressed by masking.
    if (!UnitSizeUsable(u)) return FWL_ERR_FLASH_WRITE;
    g_units.unit = new (std::nothrow) uint32_t[u / WORD_BYTES];
    if (g_units.unit == nullptr) return FWL_ERR_NO_MEMORY;
    g_units.unitBytes = u;
    std::memset(g_units.unit, ERASED_BYTE, u);
  }
  const uint32_t u = g_units.unitBytes;
  const uint32_t mask = u - 1;
  uint32_t result = FWL_OK;
  while (n != 0) {
    uint32_t unit = offset & ~mask;
    if (g_units.pending != UNIT_NONE && g_units.pending != unit) {
      result = Keep(result, WriteUnit(g_units.pending));
      g_units.next = g_units.pending + u;
      g_units.pending = UNIT_NONE;
    }
    // Pages between two writes get 0xFF: every page of the range is programmed once.
    while (g_units.next < unit) {
      result = Keep(result, WriteUnit(g_units.next));
      g_units.next += u;
    }
    uint32_t h = offset & mask;
    uint32_t taken;
    if (h == 0 && g_units.pending == UNIT_NONE && n >= u) {
      taken = n & ~mask;
      result = Keep(result, WriteWholeUnits(source, offset, taken));
    } else {
      // A write that starts inside a page, or ends before its end, gathers
      // in the buffer; the page goes out once another page comes up or at
      // the flush.
      taken = std::min(n, u - h);
      std::memcpy(UnitBytes() + h, source, taken);
      g_units.pending = unit;
    }
    source += taken;
    n -= taken;
    uint64_t after = uint64_t{offset} + taken;
    offset = static_cast<uint32_t>(after);
    // Past the end of the address space there is no next page to fill up to.
    g_units.next = after > UINT32_MAX ? UNIT_NONE : offset & ~mask;
  }
  return result;
}

}  // namespace

uint32_t UnitWrite(const uint8_t* source, uint32_t offset, uint32_t n) {
  return FlashType == FLASH_TYPE_NAND ? NandWrite(source, offset, n) : NorWrite(source, offset, n);
}

uint32_t UnitFlush() {
  uint32_t result = FWL_OK;
  if (g_units.pending != UNIT_NONE && g_units.unit != nullptr) result = WriteUnit(g_units.pending);
  g_units.pending = UNIT_NONE;
  g_units.next = UNIT_NONE;
  delete[] g_units.unit;
  g_units.unit = nullptr;
  g_units.unitBytes = 0;
  return result;
}

uint32_t UnitPending() { return g_units.pending; }
uint32_t UnitNext() { return g_units.next; }

void UnitWriterResetForTests() {
  delete[] g_units.unit;
  g_units.unit = nullptr;
  g_units.unitBytes = 0;
  g_units.pending = UNIT_NONE;
  g_units.next = UNIT_NONE;
}
