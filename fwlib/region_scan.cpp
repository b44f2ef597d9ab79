#include "fwlib/region_scan.h"

#include <algorithm>
#include <iterator>

#include "flash/bsp.h"
#include "flash/flash_layer.h"
#include "fwlib/flash_reads.h"
#include "fwlib/fs_region.h"
#include "fwlib/image_size.h"
#include "fwlib/library_state.h"
#include "fwlib/regions.h"
#include "fwlib/results.h"

namespace {

// Word 4 of the bootloader: the boot stage it belongs to.
constexpr uint32_t BOOT_STAGE_OFFSET = 16;
constexpr uint32_t BOOT_STAGE_FIRST_OF_TWO = 2;

// The config block starts with this marker; its data ends at the first
// erased word.
constexpr uint32_t CONFIG_BLOCK_MARKER = 0xCF014000;
constexpr uint32_t CONFIG_SCAN_PAGE = 4096;
constexpr uint32_t ERASED_WORD = 0xFFFFFFFF;

// A record the OS image may carry right behind itself, counted as its own.
constexpr uint32_t SSCR_SIGNATURE = 0x52435353;  // "SSCR"
enum SscrWord : uint32_t { SSCR_WORD_SIGNATURE = 0, SSCR_WORD_LENGTH = 2, SSCR_WORDS = 4 };
constexpr uint32_t SSCR_HEADER_BYTES = 4 * SSCR_WORDS;
constexpr uint32_t IMAGE_ALIGNMENT = 4;

// Each registry half starts with {marker, length of the saved data}.
constexpr uint32_t REGISTRY_HALF_MARKER = 0x01234567;
enum RegistryHeaderWord : uint32_t { REG_HDR_MARKER, REG_HDR_LENGTH, REG_HDR_WORDS };
constexpr uint32_t REGISTRY_HEADER_BYTES = 4 * REG_HDR_WORDS;

bool ReadLayout(BspFlashLayout* layout) {
  return BspGetInfo(BSP_INFO_FLASH_LAYOUT, layout, sizeof *layout) != 0;
}

void MarkPresent(FlashRegion* entry) { entry->id &= ~REGION_ABSENT; }

void ScanBootloader(FlashRegion* entry) {
  uint32_t size = FWLGetImageSize(entry->base);
  if (size == 0) return;
  entry->used = size;
  // A single word: read without the lock, as the boot stage never changes
  // under a running OS.
  if (FlashOps.ReadWord != nullptr && FlashOps.ReadWord(BOOT_STAGE_OFFSET) == BOOT_STAGE_FIRST_OF_TWO) {
    entry->id |= REGION_FIRST_BOOTLOADER;
  }
  MarkPresent(entry);
}

// Bytes of the config block up to its first erased word; `length` when the
// block is full, 0 without the marker.
uint32_t ConfigBlockUsed(const FlashRegion& entry) {
  uint32_t page[CONFIG_SCAN_PAGE / 4];
  if (!FlashReadAt(page, entry.base, sizeof page) || page[0] != CONFIG_BLOCK_MARKER) return 0;
  uint32_t scanned = 0;
  while (scanned < entry.length) {
    uint32_t bytes = std::min(CONFIG_SCAN_PAGE, entry.length - scanned);
    if (!FlashReadAt(page, uint64_t{entry.base} + scanned, bytes)) break;
    for (uint32_t i = 0; i < bytes / 4; i++) {
      if (page[i] == ERASED_WORD) return scanned + 4 * i;
    }
    scanned += bytes;
  }
  return scanned;
}

void ScanConfigBlock(FlashRegion* entry) {
  if (FlashLockForReads()) {
    entry->used = ConfigBlockUsed(*entry);
    FlashUnlock();
  }
  MarkPresent(entry);
}

void ScanOsImage(FlashRegion* entry) {
  BspFlashLayout layout;
  if (ReadLayout(&layout)) entry->base = layout.osImageBase;
  uint32_t used = FWLGetImageSize(entry->base);
  if (used == 0) return;
  used = (used + IMAGE_ALIGNMENT - 1) & ~(IMAGE_ALIGNMENT - 1);
  uint32_t sscr[SSCR_WORDS];
  if (FlashLockForReads()) {
    if (FlashReadAt(sscr, uint64_t{entry->base} + used, sizeof sscr) && sscr[SSCR_WORD_SIGNATURE] == SSCR_SIGNATURE) {
      used += sscr[SSCR_WORD_LENGTH] + SSCR_HEADER_BYTES;
    }
    FlashUnlock();
  }
  entry->used = used;
  MarkPresent(entry);
}

// Bytes saved in a registry half, or 0 when the half carries no marker.
uint32_t RegistryHalfUsed(uint64_t offset) {
  uint32_t header[REG_HDR_WORDS];
  if (!FlashReadAt(header, offset, sizeof header) || header[REG_HDR_MARKER] != REGISTRY_HALF_MARKER) return 0;
  return header[REG_HDR_LENGTH] + REGISTRY_HEADER_BYTES;
}

void ScanRegistry(FlashRegion* entry) {
  BspFlashLayout layout;
  if (ReadLayout(&layout)) {
    entry->base = layout.registryBase;
    entry->length = 2 * layout.registryHalf;
  }
  if (FlashLockForReads()) {
    entry->used = RegistryHalfUsed(entry->base);
    if (entry->used == 0) entry->used = RegistryHalfUsed(uint64_t{entry->base} + entry->length / 2);
    FlashUnlock();
  }
  MarkPresent(entry);
}

void ScanSecondBootloader(FlashRegion* entry) {
  BspFlashLayout layout;
  if (ReadLayout(&layout)) entry->base = layout.secondBootloaderBase;
  // Its default base of 0 is the first bootloader's: without the layout
  // there is no second one.
  if (entry->base == 0) return;
  uint32_t size = FWLGetImageSize(entry->base);
  if (size == 0) return;
  entry->used = size;
  MarkPresent(entry);
}

struct RegionRule {
  uint32_t id;
  void (*scan)(FlashRegion* entry);
};

constexpr RegionRule kRules[] = {
    {REGION_BOOTLOADER, ScanBootloader}, {REGION_CONFIG_BLOCK, ScanConfigBlock},
    {REGION_OS_IMAGE, ScanOsImage},      {REGION_REGISTRY, ScanRegistry},
    {REGION_FILE_SYSTEM, ScanFileSystemRegion}, {REGION_SECOND_BOOTLOADER, ScanSecondBootloader},
};

void Rediscover(FlashRegion* entry) {
  const FlashRegion* defaults = RegionDefaults(entry->id);
  if (defaults == nullptr) return;
  *entry = *defaults;
  for (const RegionRule& rule : kRules) {
    if ((entry->id & rule.id) != 0) {
      rule.scan(entry);
      return;
    }
  }
}

// These regions have no length of their own: they reach up to whatever
// follows them.
constexpr uint32_t OPEN_ENDED_REGIONS = REGION_OS_IMAGE | REGION_FILE_SYSTEM | REGION_SECOND_BOOTLOADER;

void SortAndMeasure(FlashRegion* table) {
  // Stable: entries at the same base keep their order.
  std::stable_sort(table, table + REGION_COUNT,
                   [](const FlashRegion& a, const FlashRegion& b) { return a.base < b.base; });
  for (size_t i = 0; i < REGION_COUNT; i++) {
    FlashRegion& entry = table[i];
    if ((entry.id & REGION_FILE_SYSTEM) != 0) RegionSetFileSystemIndex(i);
    if ((entry.id & OPEN_ENDED_REGIONS) != 0 && entry.length == 0) {
      uint32_t end = i + 1 < REGION_COUNT ? table[i + 1].base : FlashSize;
      entry.length = end > entry.base ? end - entry.base : 0;
    }
    // A header that claims more than the region holds must not carry a
    // backup into the next region.
    entry.used = std::min(entry.used, entry.length);
  }
}

}  // namespace

uint32_t FWLScanRegions(uint32_t mask) {
  uint32_t wanted = mask & REGION_SCAN_BITS;
  // Regions may have been written with or without error correction;
  // discovery looks at the bytes as they are.
  int previousEcc = FlashReady() && FlashOps.SetEcc != nullptr ? FlashOps.SetEcc(0) : 0;
  FlashRegion* table = RegionTable();
  uint32_t& unread = FwlState()->unreadRegions;
  for (size_t i = 0; i < REGION_COUNT; i++) {
    if ((table[i].id & wanted) == 0) continue;
    uint32_t before = FlashReadLockFailures();
    Rediscover(&table[i]);
    uint32_t id = table[i].id & REGION_ID_BITS;
    unread = FlashReadLockFailures() != before ? unread | id : unread & ~id;
  }
  if (FlashReady() && FlashOps.SetEcc != nullptr) FlashOps.SetEcc(previousEcc);
  SortAndMeasure(table);
  // A region the lock kept us from reading looks absent or empty; callers
  // that act on the table must not take it for that.
  return (FwlState()->unreadRegions & wanted) == 0 ? FWL_OK : FWL_ERR_FLASH_READ;
}
