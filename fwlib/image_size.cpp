#include "fwlib/image_size.h"

#include "flash/flash_layer.h"
#include "fwlib/flash_reads.h"

namespace {

// The image's pointer to its ROM header sits at a fixed place after the
// signature "ECEC".
constexpr uint32_t ROM_SIGNATURE_OFFSET = 0x40;
constexpr uint32_t ROM_SIGNATURE = 0x43454345;  // "ECEC"
enum RomPointerWord : uint32_t { ROM_PTR_SIGNATURE, ROM_PTR_HEADER_ADDRESS, ROM_PTR_HEADER_OFFSET, ROM_PTR_WORDS };

constexpr uint32_t ROM_HEADER_BYTES = 84;
enum RomHeaderWord : uint32_t {
  ROMHDR_PHYS_FIRST = 2,
  ROMHDR_PHYS_LAST = 3,
  ROMHDR_RAM_START = 5,
  ROMHDR_RAM_FREE = 6,
  ROMHDR_RAM_END = 7,
};
// The cached physical window every image of the module is linked into.
constexpr uint32_t ROM_PHYS_LOW = 0x80000000;
constexpr uint32_t ROM_PHYS_HIGH = 0x90000000;

constexpr uint32_t COMP_SIGNATURE = 0x504D4F43;  // "COMP"
constexpr uint32_t COMP_HEADER_BYTES = 20;
constexpr uint32_t COMP_LENGTH_WORD = 2;

bool InRomWindow(uint32_t address) { return address >= ROM_PHYS_LOW && address < ROM_PHYS_HIGH; }

// Valid when the header's own address lines up with the image's first
// physical address, or, failing that, when the header is at least sane.
bool RomImageAt(uint32_t offset, RomImage* image) {
  uint32_t pointer[ROM_PTR_WORDS];
  if (!FlashReadAt(pointer, uint64_t{offset} + ROM_SIGNATURE_OFFSET, sizeof pointer)) return false;
  if (pointer[ROM_PTR_SIGNATURE] != ROM_SIGNATURE) return false;
  uint64_t headerAt = uint64_t{offset} + pointer[ROM_PTR_HEADER_OFFSET];
  uint32_t header[ROM_HEADER_BYTES / 4];
  if (!FlashReadAt(header, headerAt, ROM_HEADER_BYTES)) return false;
  uint32_t first = header[ROMHDR_PHYS_FIRST];
  uint32_t last = header[ROMHDR_PHYS_LAST];
  if (!InRomWindow(first) || !InRomWindow(last)) return false;
  bool aligned = pointer[ROM_PTR_HEADER_ADDRESS] - pointer[ROM_PTR_HEADER_OFFSET] == first;
  bool sane = first < last && header[ROMHDR_RAM_START] < header[ROMHDR_RAM_FREE] &&
              header[ROMHDR_RAM_FREE] < header[ROMHDR_RAM_END];
  if (!aligned && !sane) return false;
  *image = RomImage{offset, static_cast<uint32_t>(headerAt), first, last};
  return true;
}

}  // namespace

bool RomImageLocate(uint32_t offset, RomImage* image) {
  if (!FlashLockForReads()) return false;
  bool found = RomImageAt(offset, image) ||
               (uint64_t{offset} + ROM_IMAGE_SHIFTED_OFFSET <= UINT32_MAX &&
                RomImageAt(offset + ROM_IMAGE_SHIFTED_OFFSET, image));
  FlashUnlock();
  return found;
}

uint32_t FWLGetImageSize(uint32_t offset) {
  RomImage rom;
  if (RomImageLocate(offset, &rom)) return rom.physLast - rom.physFirst + (rom.imageAt - offset);
  if (!FlashLockForReads()) return 0;
  uint32_t comp[COMP_HEADER_BYTES / 4];
  bool read = FlashReadAt(comp, offset, sizeof comp);
  FlashUnlock();
  if (!read || comp[0] != COMP_SIGNATURE) return 0;
  return comp[COMP_LENGTH_WORD] + COMP_HEADER_BYTES;
}
