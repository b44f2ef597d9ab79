// The parts of an image file after the BIN records, read at a file position
// into the work buffer: the file-system stream header and the CPLD section.
// Validation and update read them the same way.
#pragma once

#include <cstdint>

// Record header of the BIN part.
struct BinRecordHeader {
  uint32_t address;
  uint32_t length;
  uint32_t checksum;
};
// False when fewer than 12 bytes arrived.
bool ReadBinRecordHeader(BinRecordHeader* record);
inline bool IsBinEndRecord(const BinRecordHeader& r) { return r.address == 0 && r.checksum == 0; }

// Chunk header of a file-system stream's data area; false when cut short.
struct StreamChunkHeader {
  uint32_t tag;
  uint32_t length;
  uint32_t checksum;
};
bool ReadStreamChunkHeader(StreamChunkHeader* chunk);

struct StreamHeaderInfo {
  uint32_t headerSize;
  uint32_t memBase;
  uint32_t memLen;
  uint32_t dataLength;
  uint32_t checksum;  // the header's last word
};

// Reads a file-system stream header at `position` (the current position)
// whole into the work buffer, which it allocates when needed. FWL_OK with
// *found false and the position back at `position` when no stream starts
// there; FWL_OK with *found set and the position after the header; 7 for a
// stream of the older format or another version; 6 for a header size below
// the fixed header, past the work buffer or not in whole words, or a header
// cut short; 9 without a work buffer large enough for the fixed header.
uint32_t ReadStreamHeader(uint64_t position, StreamHeaderInfo* info, bool* found);
// The header's Fletcher sum matches its last word (header still in the
// work buffer).
bool StreamHeaderChecksumMatches(const StreamHeaderInfo& info);

struct CpldSectionInfo {
  uint32_t mode;
  uint32_t headerSize;
  uint32_t dataLength;
  uint32_t streamLength;  // as recorded, to be judged against the data (fwlib/cpld_stream.h)
  uint32_t checksum;
};

// Reads a CPLD section header at `position` (the current position). FWL_OK
// with *found false and the position back at `position` when none starts
// there; FWL_OK with *found set and the position at the data; 7 for a mode
// above 3; 6 for a header size below 24 or past the work buffer, data not in
// whole words or longer than the largest work buffer (2 MB), or a header cut
// short; 9 when a longer header needs a work buffer that cannot be had.
uint32_t ReadCpldHeader(uint64_t position, CpldSectionInfo* info, bool* found);
// Reads the section's data into the start of the work buffer: 9 when it
// does not fit the buffer (or none can be had), 6 when cut short.
uint32_t ReadCpldData(const CpldSectionInfo& info);
// The data in the work buffer matches the section's Fletcher sum (data not
// in whole words cannot).
bool CpldDataChecksumMatches(const CpldSectionInfo& info);
