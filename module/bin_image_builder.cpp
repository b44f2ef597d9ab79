#include "module/bin_image_builder.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "module/module_dir.h"

namespace {

constexpr uint32_t kWordBytes = 4;
constexpr uint32_t kFletcherStart = 0xFFFF;
constexpr uint32_t kFletcherBlockBytes = 360;
constexpr uint32_t kLowHalf = 0xFFFF;
constexpr uint32_t kHalfBits = 16;

// Stream header fields, by byte offset.
constexpr uint32_t kStreamVersionAt = 4;
constexpr uint32_t kStreamHeaderSizeAt = 8;
constexpr uint32_t kStreamTypeAt = 12;
constexpr uint32_t kStreamMemBaseAt = 16;
constexpr uint32_t kStreamMemLenAt = 20;
constexpr uint32_t kStreamDataLengthAt = 24;
constexpr uint32_t kStreamSectorSizeAt = 28;
constexpr uint32_t kStreamBlockSizeAt = 32;
constexpr uint32_t kStreamFlagsAt = 36;
constexpr uint32_t kStreamStoreInfoAt = 104;
constexpr uint32_t kStreamFolderAt = 40, kStreamFolderChars = 32;
constexpr uint32_t kStoreInfoBytes = 240;
constexpr uint32_t kStoreInfoSectorBytesAt = 184;
constexpr uint32_t kStoreInfoSectorsAt = 176;
constexpr uint32_t kStoreInfoPartitionsAt = 228;
// Records of a file-level stream.
constexpr uint32_t kPartitionRecordBytes = 296;
constexpr uint32_t kPartitionNameChars = 32, kPartitionNameAt = 4;
constexpr uint32_t kVolumeNameChars = 64, kVolumeNameAt = 132;
constexpr uint32_t kPartitionSectorsAt = 264, kPartitionAttributesAt = 288, kPartitionTypeAt = 292;
constexpr uint32_t kFileRecordBytes = 560;
constexpr uint32_t kFilePathChars = 260, kFilePathAt = 40, kFileSizeLowAt = 32;

// CPLD section header fields.
constexpr uint32_t kCpldModeAt = 4;
constexpr uint32_t kCpldHeaderSizeAt = 8;
constexpr uint32_t kCpldDataLengthAt = 12;
constexpr uint32_t kCpldRecordedLengthAt = 16;
constexpr uint32_t kCpldChecksumAt = 20;

void Put32(std::vector<uint8_t>* out, uint32_t value) {
  for (uint32_t i = 0; i < kWordBytes; i++) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void Set32(std::span<uint8_t> bytes, uint64_t at, uint32_t value) {
  for (uint32_t i = 0; i < kWordBytes; i++) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

// Reads a word when it lies inside `bytes`.
bool Get32(std::span<const uint8_t> bytes, uint64_t at, uint32_t* value) {
  if (at > bytes.size() || bytes.size() - at < kWordBytes) return false;
  const uint8_t* p = bytes.data() + at;
  *value = uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
  return true;
}

uint32_t Fold(uint32_t s) { return (s & kLowHalf) + (s >> kHalfBits); }

bool BuildBinPart(const BinPartSpec& bin, std::vector<uint8_t>* out, std::string* error) {
  uint64_t highest = bin.imageStart;
  for (const BinRecord& r : bin.records) highest = std::max(highest, uint64_t{r.address} + r.data.size());
  uint64_t length = bin.imageLength != 0 ? bin.imageLength : highest - bin.imageStart;
  if (length > UINT32_MAX) {
    *error = "the records reach past 4 GB from the image start";
    return false;
  }
  for (size_t i = 0; i < bin.records.size(); i++) {
    const BinRecord& r = bin.records[i];
    if (r.data.size() > UINT32_MAX) {
      *error = "record " + std::to_string(i + 1) + " is longer than 4 GB";
      return false;
    }
    bool inside = r.address >= bin.imageStart && uint64_t{r.address} + r.data.size() <= bin.imageStart + length;
    if (!inside && !bin.allowRecordsOutside) {
      *error = "record " + std::to_string(i + 1) + " lies outside the image range";
      return false;
    }
    // The program ends the BIN part at a record with address and checksum 0.
    if (r.address == 0 && BinByteSum(r.data) + r.checksumDelta == 0 && !r.data.empty()) {
      *error = "record " + std::to_string(i + 1) + " at address 0 sums to 0 and would read as the end record";
      return false;
    }
  }
  out->insert(out->end(), kBinSignature, kBinSignature + kBinSignatureBytes);
  Put32(out, bin.imageStart);
  Put32(out, static_cast<uint32_t>(length));
  for (const BinRecord& r : bin.records) {
    Put32(out, r.address);
    Put32(out, static_cast<uint32_t>(r.data.size()));
    Put32(out, BinByteSum(r.data) + r.checksumDelta);
    out->insert(out->end(), r.data.begin(), r.data.end());
  }
  Put32(out, 0);
  Put32(out, bin.entryPoint);
  Put32(out, 0);
  return true;
}

// A header size below 24 (damage) still gets the 24 bytes, with the size
// field as asked.
void BuildCpldSection(const CpldSectionSpec& cpld, std::vector<uint8_t>* out) {
  uint32_t headerBytes = std::max(cpld.headerBytes, kCpldSectionHeaderBytes);
  std::vector<uint8_t> data = cpld.data;
  if (!cpld.unpadded) data.resize((data.size() + kWordBytes - 1) / kWordBytes * kWordBytes, 0);
  uint32_t sum = 0;
  BinFletcherSum(data, &sum);
  if (cpld.checksumOff) sum += 1;
  size_t at = out->size();
  out->resize(at + headerBytes, 0);
  std::span<uint8_t> header(out->data() + at, headerBytes);
  Set32(header, 0, kCpldSectionMagic);
  Set32(header, kCpldModeAt, cpld.mode);
  Set32(header, kCpldHeaderSizeAt, cpld.headerBytes);
  Set32(header, kCpldDataLengthAt, static_cast<uint32_t>(data.size()));
  Set32(header, kCpldRecordedLengthAt, cpld.recordedLength.value_or(static_cast<uint32_t>(cpld.data.size())));
  Set32(header, headerBytes == kCpldSectionHeaderBytes ? kCpldChecksumAt : headerBytes - kWordBytes, sum);
  out->insert(out->end(), data.begin(), data.end());
}

}  // namespace

bool BinAddressShiftFor(uint32_t imageStart, uint32_t osBase, uint32_t* shift) {
  if (imageStart < kBinFlashOffsetLimit) {
    *shift = 0;
  } else if (imageStart >= kBinBootWindowFirst && imageStart <= kBinBootWindowLast) {
    *shift = 0u - imageStart;
  } else if ((imageStart >= kBinCachedWindowFirst && imageStart <= kBinCachedWindowLast) ||
             (imageStart >= kBinUncachedWindowFirst && imageStart <= kBinUncachedWindowLast)) {
    *shift = osBase - imageStart;
  } else {
    return false;
  }
  return true;
}

uint32_t BinByteSum(std::span<const uint8_t> data) {
  uint32_t sum = 0;
  for (uint8_t b : data) sum += b;
  return sum;
}

bool BinFletcherSum(std::span<const uint8_t> data, uint32_t* sum) {
  if (data.size() % kWordBytes != 0) return false;
  uint32_t s1 = kFletcherStart, s2 = kFletcherStart;
  for (size_t block = 0; block < data.size(); block += kFletcherBlockBytes) {
    size_t end = std::min(data.size(), block + kFletcherBlockBytes);
    for (size_t i = block; i < end; i += 2) {
      s1 += uint32_t{data[i]} | uint32_t{data[i + 1]} << 8;
      s2 += s1;
    }
    // Every block, the last one even when partly filled, is folded once.
    s1 = Fold(s1);
    s2 = Fold(s2);
  }
  *sum = Fold(s1) | Fold(s2) << kHalfBits;
  return true;
}

namespace {

// A text field of `chars` units, zero-filled; false when the text and its
// terminator do not fit.
bool SetText(std::span<uint8_t> bytes, uint32_t at, uint32_t chars, const std::u16string& text) {
  if (text.size() >= chars) return false;
  for (size_t i = 0; i < text.size(); i++) {
    bytes[at + 2 * i] = static_cast<uint8_t>(text[i]);
    bytes[at + 2 * i + 1] = static_cast<uint8_t>(text[i] >> 8);
  }
  return true;
}

}  // namespace

bool FsStreamBuild(const FsStreamSpec& spec, std::vector<uint8_t>* stream, std::string* error) {
  // A header size below 348 or off whole words (damage) still gets the
  // fixed header, with its checksum where a 348-byte header keeps it.
  bool sound = spec.headerBytes >= kFsStreamHeaderBytes && spec.headerBytes % kWordBytes == 0;
  uint32_t headerBytes = std::max(spec.headerBytes, kFsStreamHeaderBytes);
  uint32_t sumAt = sound ? headerBytes - kWordBytes : kFsStreamHeaderBytes - kWordBytes;
  std::vector<uint8_t> data;
  for (size_t i = 0; i < spec.chunks.size(); i++) {
    const FsStreamChunk& c = spec.chunks[i];
    uint32_t sum = 0;
    if (!BinFletcherSum(c.data, &sum)) {
      *error = "chunk " + std::to_string(i + 1) + " is not in whole 32-bit words";
      return false;
    }
    Put32(&data, c.tag);
    Put32(&data, static_cast<uint32_t>(c.data.size()));
    Put32(&data, sum + (static_cast<int>(i) == spec.chunkChecksumOff ? 1 : 0));
    data.insert(data.end(), c.data.begin(), c.data.end());
  }
  std::vector<uint8_t> header(headerBytes, 0);
  Set32(header, 0, spec.magic);
  Set32(header, kStreamVersionAt, spec.version);
  Set32(header, kStreamHeaderSizeAt, spec.headerBytes);
  Set32(header, kStreamTypeAt, spec.type);
  Set32(header, kStreamMemBaseAt, spec.memBase);
  Set32(header, kStreamMemLenAt, spec.memLen);
  Set32(header, kStreamDataLengthAt, static_cast<uint32_t>(static_cast<int64_t>(data.size()) + spec.dataLengthDelta));
  Set32(header, kStreamSectorSizeAt, spec.sectorSize);
  Set32(header, kStreamBlockSizeAt, spec.blockSize);
  Set32(header, kStreamFlagsAt, spec.flags);
  if (!SetText(header, kStreamFolderAt, kStreamFolderChars, spec.folder)) {
    *error = "the folder does not fit the stream header";
    return false;
  }
  Set32(header, kStreamStoreInfoAt, kStoreInfoBytes);
  Set32(header, kStreamStoreInfoAt + kStoreInfoSectorBytesAt, spec.sectorSize);
  Set32(header, kStreamStoreInfoAt + kStoreInfoSectorsAt, static_cast<uint32_t>(spec.storeSectors));
  Set32(header, kStreamStoreInfoAt + kStoreInfoSectorsAt + kWordBytes, static_cast<uint32_t>(spec.storeSectors >> 32));
  Set32(header, kStreamStoreInfoAt + kStoreInfoPartitionsAt, spec.storePartitions);
  uint32_t sum = 0;
  BinFletcherSum(std::span<const uint8_t>(header).first(sumAt), &sum);
  Set32(header, sumAt, sum + (spec.headerChecksumOff ? 1 : 0));
  *stream = std::move(header);
  stream->insert(stream->end(), data.begin(), data.end());
  return true;
}

namespace {

void Set64(std::span<uint8_t> bytes, uint64_t at, uint64_t value) {
  Set32(bytes, at, static_cast<uint32_t>(value));
  Set32(bytes, at + kWordBytes, static_cast<uint32_t>(value >> 32));
}

}  // namespace

bool FsFilesChunkBuild(const std::vector<FsPartitionEntry>& partitions, std::vector<uint8_t>* chunk,
                       std::string* error) {
  std::vector<uint8_t> out;
  for (const FsPartitionEntry& p : partitions) {
    std::vector<uint8_t> record(kPartitionRecordBytes, 0);
    Set32(record, 0, p.usedBytes);
    Set64(record, kPartitionSectorsAt, p.sectors);
    Set32(record, kPartitionAttributesAt, p.attributes);
    record[kPartitionTypeAt] = p.type;
    if (!SetText(record, kPartitionNameAt, kPartitionNameChars, p.name) ||
        !SetText(record, kVolumeNameAt, kVolumeNameChars, p.volume)) {
      *error = "a partition's name or volume does not fit its record";
      return false;
    }
    out.insert(out.end(), record.begin(), record.end());
    for (const FsFileEntry& f : p.files) {
      std::vector<uint8_t> file(kFileRecordBytes, 0);
      Set32(file, 0, f.attributes);
      Set64(file, 4, f.created);
      Set64(file, 12, f.accessed);
      Set64(file, 20, f.written);
      Set32(file, kFileSizeLowAt, static_cast<uint32_t>(f.data.size()));
      if (!SetText(file, kFilePathAt, kFilePathChars, f.path)) {
        *error = "a path does not fit its record";
        return false;
      }
      out.insert(out.end(), file.begin(), file.end());
      out.insert(out.end(), f.data.begin(), f.data.end());
    }
  }
  out.resize((out.size() + kWordBytes - 1) / kWordBytes * kWordBytes, 0);
  *chunk = std::move(out);
  return true;
}

bool BinImageBuild(const BinImageSpec& spec, std::vector<uint8_t>* file, std::string* error) {
  std::vector<uint8_t> out;
  if (spec.hasBinPart && !BuildBinPart(spec.bin, &out, error)) return false;
  for (const std::vector<uint8_t>& stream : spec.streams) out.insert(out.end(), stream.begin(), stream.end());
  if (spec.hasCpld) BuildCpldSection(spec.cpld, &out);
  out.resize(out.size() - std::min<size_t>(spec.truncateBytes, out.size()));
  *file = std::move(out);
  return true;
}

BinImageSpec BinSingleRecordImage(uint32_t start, std::vector<uint8_t> data) {
  BinImageSpec spec;
  spec.bin.imageStart = start;
  spec.bin.records.push_back({start, std::move(data)});
  return spec;
}

std::vector<BinRecord> BinRecordsFromBlob(uint32_t address, std::span<const uint8_t> blob, uint32_t recordBytes) {
  std::vector<BinRecord> records;
  if (recordBytes == 0) recordBytes = static_cast<uint32_t>(std::max<size_t>(blob.size(), 1));
  for (size_t at = 0; at < blob.size(); at += recordBytes) {
    size_t n = std::min<size_t>(recordBytes, blob.size() - at);
    BinRecord r;
    r.address = address + static_cast<uint32_t>(at);
    r.data.assign(blob.begin() + at, blob.begin() + at + n);
    records.push_back(std::move(r));
  }
  return records;
}

// --- Inspection.

namespace {

bool InspectBinPart(std::span<const uint8_t> file, BinImageSeen* seen, uint64_t* at) {
  if (file.size() < kBinHeaderBytes || std::memcmp(file.data(), kBinSignature, kBinSignatureBytes) != 0) return false;
  seen->hasBinPart = true;
  Get32(file, kBinSignatureBytes, &seen->imageStart);
  Get32(file, kBinSignatureBytes + kWordBytes, &seen->imageLength);
  uint64_t p = kBinHeaderBytes;
  for (;;) {
    BinRecordSeen r;
    r.fileOffset = p;
    if (!Get32(file, p, &r.address) || !Get32(file, p + 4, &r.length) || !Get32(file, p + 8, &r.checksum)) {
      *at = file.size();
      return true;
    }
    p += kBinRecordHeaderBytes;
    if (r.address == 0 && r.checksum == 0) {
      seen->endRecord = true;
      seen->entryPoint = r.length;
      *at = p;
      return true;
    }
    r.complete = file.size() - p >= r.length;
    uint64_t available = std::min<uint64_t>(r.length, file.size() - p);
    r.checksumOk = r.complete && BinByteSum(file.subspan(p, available)) == r.checksum;
    seen->records.push_back(r);
    p += available;
    if (!r.complete) {
      *at = p;
      return true;
    }
  }
}

bool InspectStream(std::span<const uint8_t> file, uint64_t at, FsStreamSeen* s) {
  s->fileOffset = at;
  if (!Get32(file, at, &s->magic) || (s->magic != kFsStreamMagic && s->magic != kFsStreamOldMagic)) return false;
  if (file.size() - at < kFsStreamHeaderBytes) return false;
  Get32(file, at + kStreamVersionAt, &s->version);
  Get32(file, at + kStreamHeaderSizeAt, &s->headerBytes);
  Get32(file, at + kStreamTypeAt, &s->type);
  Get32(file, at + kStreamMemBaseAt, &s->memBase);
  Get32(file, at + kStreamMemLenAt, &s->memLen);
  Get32(file, at + kStreamDataLengthAt, &s->dataLength);
  uint32_t stored = 0, sum = 0;
  if (s->headerBytes >= kFsStreamHeaderBytes && file.size() - at >= s->headerBytes &&
      Get32(file, at + s->headerBytes - kWordBytes, &stored)) {
    s->headerChecksumOk = BinFletcherSum(file.subspan(at, s->headerBytes - kWordBytes), &sum) && sum == stored;
  }
  if (s->headerBytes < kFsStreamHeaderBytes || file.size() - at < s->headerBytes) return true;
  uint64_t p = at + s->headerBytes;
  uint64_t end = p + s->dataLength;
  s->chunksFit = end <= file.size();
  while (s->chunksFit && p < end) {
    uint32_t length = 0, chunkSum = 0;
    if (end - p < kFsChunkHeaderBytes || !Get32(file, p + 4, &length) || !Get32(file, p + 8, &chunkSum) ||
        end - p - kFsChunkHeaderBytes < length) {
      s->chunksFit = false;
      break;
    }
    p += kFsChunkHeaderBytes;
    s->chunks++;
    if (!BinFletcherSum(file.subspan(p, length), &sum) || sum != chunkSum) s->badChunks++;
    p += length;
  }
  return true;
}

uint64_t StreamEnd(const FsStreamSeen& s) { return s.fileOffset + s.headerBytes + s.dataLength; }

bool InspectCpld(std::span<const uint8_t> file, uint64_t at, CpldSectionSeen* c) {
  uint32_t magic = 0;
  if (file.size() - at < kCpldSectionHeaderBytes || !Get32(file, at, &magic) || magic != kCpldSectionMagic) {
    return false;
  }
  c->fileOffset = at;
  Get32(file, at + kCpldModeAt, &c->mode);
  Get32(file, at + kCpldHeaderSizeAt, &c->headerBytes);
  Get32(file, at + kCpldDataLengthAt, &c->dataLength);
  Get32(file, at + kCpldRecordedLengthAt, &c->recordedLength);
  uint32_t stored = 0, sum = 0;
  uint64_t sumAt = c->headerBytes == kCpldSectionHeaderBytes ? kCpldChecksumAt : uint64_t{c->headerBytes} - kWordBytes;
  if (c->headerBytes < kCpldSectionHeaderBytes || !Get32(file, at + sumAt, &stored)) return true;
  uint64_t data = at + c->headerBytes;
  c->complete = data <= file.size() && file.size() - data >= c->dataLength;
  c->checksumOk = c->complete && BinFletcherSum(file.subspan(data, c->dataLength), &sum) && sum == stored;
  return true;
}

}  // namespace

BinImageSeen BinImageInspect(std::span<const uint8_t> file) {
  BinImageSeen seen;
  seen.fileBytes = file.size();
  uint64_t at = 0;
  InspectBinPart(file, &seen, &at);
  if (seen.hasBinPart && !seen.endRecord) return seen;
  for (;;) {
    FsStreamSeen stream;
    if (at >= file.size() || !InspectStream(file, at, &stream)) break;
    seen.streams.push_back(stream);
    if (!stream.chunksFit) return seen;
    at = StreamEnd(stream);
  }
  if (at < file.size() && InspectCpld(file, at, &seen.cpld)) {
    seen.hasCpld = true;
    if (!seen.cpld.complete) return seen;
    at = seen.cpld.fileOffset + seen.cpld.headerBytes + seen.cpld.dataLength;
  }
  seen.trailingBytes = file.size() - std::min<uint64_t>(at, file.size());
  return seen;
}

bool BinImageWriteFile(const std::string& path, std::span<const uint8_t> bytes, std::string* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == bytes.size();
  if (!ok) *error = "cannot write " + path + ": " + std::strerror(errno);
  if (::close(fd) != 0 && ok) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    ok = false;
  }
  return ok;
}

bool BinImageReadFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  bytes->clear();
  uint8_t chunk[1 << 16];
  for (;;) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0) {
      *error = "cannot read " + path + ": " + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    bytes->insert(bytes->end(), chunk, chunk + n);
  }
  ::close(fd);
  return true;
}

bool BinImageStore(const std::string& moduleDir, const std::string& fileName, std::span<const uint8_t> bytes,
                   std::string* error) {
  return BinImageWriteFile(ModuleRootPath(moduleDir) + "/" + kModuleImagesFolder + "/" + fileName, bytes, error);
}

std::vector<uint8_t> BinFillerBytes(size_t bytes, uint32_t seed) {
  constexpr uint32_t kSeedSpread = 2654435761u;  // spreads neighbouring seeds apart
  constexpr uint32_t kLcgMultiplier = 1103515245u;
  constexpr uint32_t kLcgIncrement = 12345u;
  constexpr uint32_t kLcgOutputShift = 16;
  std::vector<uint8_t> out(bytes);
  uint32_t x = seed * kSeedSpread + 1;
  for (size_t i = 0; i < bytes; i++) {
    x = x * kLcgMultiplier + kLcgIncrement;
    out[i] = static_cast<uint8_t>(x >> kLcgOutputShift);
  }
  return out;
}
