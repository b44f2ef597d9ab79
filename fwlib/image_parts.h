// The parts of the image file FWLSetBinFile left open, one by one from their
// headers: what an update of it would write, for a report that writes
// nothing.
#pragma once

#include <cstdint>

enum class ImagePartKind : uint8_t { Record, Stream, Cpld };

struct ImagePart {
  ImagePartKind kind;
  // Record: the address the file gives and the flash offset it lands on.
  // Stream: the region base and length the header names (0xFFFFFFFF or a
  // length of 0: the module's own File System region). Cpld: both 0.
  uint32_t address;
  uint32_t flashOffset;
  uint32_t length;    // data bytes (stream: the region length, see above)
  uint32_t dataBytes;
  uint32_t checksum;  // record: byte sum; stream: header sum; cpld: data sum
  uint32_t mode;      // cpld only
};

using ImagePartFn = void (*)(const ImagePart& part, void* context);

// Calls `onPart` for each record of the BIN part, the file-system stream and
// the CPLD section, in file order, then puts the file back at offset 0. Reads
// headers only: FWLSetBinFile checked the data. 3 when no image file is open,
// 6 when a header cannot be read again.
uint32_t FWLListImageParts(ImagePartFn onPart, void* context);
