#include "fwlib/image_parts.h"

#include "fwlib/bin_file_format.h"
#include "fwlib/bin_file_io.h"
#include "fwlib/bin_file_sections.h"
#include "fwlib/library_state.h"
#include "fwlib/results.h"
#include "platform/types.h"

namespace {

// The records from the first header to the end record; the position after it.
uint32_t ListRecords(const ImageDescription& image, ImagePartFn onPart, void* context, uint64_t* position) {
  *position = BIN_HEADER_BYTES;
  for (;;) {
    BinRecordHeader record;
    if (!ImageFileSeek(*position) || !ReadBinRecordHeader(&record)) return FWL_ERR_FILE_FORMAT;
    *position += BIN_RECORD_HEADER_BYTES;
    if (IsBinEndRecord(record)) return FWL_OK;
    onPart({ImagePartKind::Record, record.address, record.address + image.addressShift, record.length, record.length,
            record.checksum, 0},
           context);
    *position += record.length;
  }
}

}  // namespace

uint32_t FWLListImageParts(ImagePartFn onPart, void* context) {
  FwlLibraryState* state = FwlState();
  if (state->imageFile == INVALID_HANDLE_VALUE) return FWL_ERR_NOT_INITIALISED;
  const ImageDescription& image = state->image;
  uint64_t position = 0;
  uint32_t result = FWL_OK;
  if ((image.contents & IMAGE_CONTENT_BIN) != 0) result = ListRecords(image, onPart, context, &position);
  StreamHeaderInfo stream = {};
  bool found = false;
  if (result == FWL_OK && (image.contents & IMAGE_CONTENT_FS_STREAM) != 0) {
    result = ImageFileSeek(position) ? ReadStreamHeader(position, &stream, &found) : FWL_ERR_FILE_FORMAT;
    if (result == FWL_OK && found) {
      onPart({ImagePartKind::Stream, stream.memBase, stream.memBase, stream.memLen, stream.dataLength,
              stream.checksum, 0},
             context);
      position += uint64_t{stream.headerSize} + stream.dataLength;
    }
  }
  // A CPLD section on a board without a CPLD is checked but leaves no
  // content bit: look for it whatever the bits say.
  CpldSectionInfo cpld = {};
  found = false;
  uint64_t size = 0;
  if (result == FWL_OK && ImageFileSize(&size) && position < size) {
    result = ImageFileSeek(position) ? ReadCpldHeader(position, &cpld, &found) : FWL_ERR_FILE_FORMAT;
    if (result == FWL_OK && found) {
      onPart({ImagePartKind::Cpld, 0, 0, cpld.dataLength, cpld.dataLength, cpld.checksum, cpld.mode}, context);
    }
  }
  if (!ImageFileSeek(0) && result == FWL_OK) result = FWL_ERR_FILE_FORMAT;
  return result;
}
