// fwimage info: the parts of an image file with every checksum checked and,
// given a module, the program's own judgement of it there: what an update
// would write, or why it would refuse the file.
#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <optional>

#include "app/image_check.h"
#include "fwlib/cpld_stream.h"
#include "fwlib/refusal.h"
#include "fwlib/results.h"
#include "module/bin_image_builder.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "tools/fwimage/commands.h"
#include "tools/common/format.h"

namespace {

const char* Ok(bool ok) { return ok ? "ok" : "BAD"; }

// Prints the BIN part; the count of faults found.
int ShowBinPart(const BinImageSeen& seen) {
  int faults = 0;
  std::printf("bin part    image start 0x%08" PRIX32 ", length 0x%08" PRIX32 ", %zu records", seen.imageStart,
              seen.imageLength, seen.records.size());
  if (seen.endRecord) std::printf(", entry 0x%08" PRIX32 "\n", seen.entryPoint);
  else std::printf(", NO END RECORD (the file ends inside the BIN part)\n");
  faults += seen.endRecord ? 0 : 1;
  std::printf("            %-4s %-10s  %-10s  %-10s\n", "#", "address", "length", "checksum");
  uint64_t rangeEnd = uint64_t{seen.imageStart} + seen.imageLength;
  for (size_t i = 0; i < seen.records.size(); i++) {
    const BinRecordSeen& r = seen.records[i];
    bool inside = r.address >= seen.imageStart && uint64_t{r.address} + r.length <= rangeEnd;
    std::string state = !r.complete ? "CUT SHORT" : Ok(r.checksumOk);
    faults += (r.complete && r.checksumOk ? 0 : 1) + (inside ? 0 : 1);
    std::printf("            %-4zu 0x%08" PRIX32 "  0x%08" PRIX32 "  0x%08" PRIX32 " %-3s%s\n", i + 1, r.address,
                r.length, r.checksum, state.c_str(), inside ? "" : "  OUTSIDE THE IMAGE RANGE");
  }
  return faults;
}

int ShowStream(size_t index, const FsStreamSeen& s) {
  bool known = s.magic == kFsStreamMagic && s.version == kFsStreamVersion;
  std::printf("stream %-4zu at 0x%08" PRIX64 ": %s version %" PRIu32 ", header %" PRIu32 " bytes, type %" PRIu32
              ", data 0x%08" PRIX32 " bytes in %" PRIu32 " chunks\n",
              index, s.fileOffset, s.magic == kFsStreamMagic ? "HSXT" : "HSFF (older format)", s.version,
              s.headerBytes, s.type, s.dataLength, s.chunks);
  std::string base = s.memBase == kFsStreamUnknown ? "the module's own" : Format("0x%08" PRIX32, s.memBase);
  std::string length = s.memLen == 0 || s.memLen == kFsStreamUnknown ? "the module's own" : Format("0x%08" PRIX32, s.memLen);
  std::printf("            region base %s, length %s", base.c_str(), length.c_str());
  std::printf("\n            header checksum %s, chunk checksums %s%s\n", Ok(s.headerChecksumOk),
              s.badChunks == 0 ? "ok" : Format("%" PRIu32 " BAD", s.badChunks).c_str(),
              s.chunksFit ? "" : ", CHUNKS DO NOT FILL THE DATA AREA");
  return (known ? 0 : 1) + (s.headerChecksumOk ? 0 : 1) + (s.badChunks != 0 ? 1 : 0) + (s.chunksFit ? 0 : 1);
}

int ShowCpld(const CpldSectionSeen& c, const std::vector<uint8_t>& file) {
  std::string state = !c.complete ? "CUT SHORT" : Ok(c.checksumOk);
  std::printf("cpld        at 0x%08" PRIX64 ": mode %" PRIu32 "%s, header %" PRIu32 " bytes, data %" PRIu32
              " bytes, checksum %s\n",
              c.fileOffset, c.mode, c.mode > kCpldModeMax ? " (REFUSED)" : "", c.headerBytes, c.dataLength,
              state.c_str());
  int faults = (c.complete && c.checksumOk ? 0 : 1) + (c.mode > kCpldModeMax ? 1 : 0);
  if (!c.complete || !c.checksumOk) return faults;
  const uint8_t* data = file.data() + c.fileOffset + c.headerBytes;
  std::string fault = FwimageCpldStreamFault(data, c.dataLength, c.recordedLength);
  std::printf("            stream %s\n", fault.empty() ? "ok" : ("REFUSED: " + fault).c_str());
  return faults + (fault.empty() ? 0 : 1);
}

void PrintPlanLine(const WCHAR* line) {
  std::string text = Utf16ToUtf8(line);
  std::printf("%s\n", text.c_str());
}

// The module's own judgement, from the program's own code: what an update of
// this file would do on it, or why it would refuse it.
bool JudgeOnModule(const std::string& path, const std::string& moduleDir, std::string* error) {
  if (!PlatformAttachModule(moduleDir, false, error)) return false;
  std::printf("on module   %s, as its update would judge it:\n", moduleDir.c_str());
  int accepted = CheckHostImageFile(path.c_str(), PrintPlanLine);
  PlatformDetachModule();
  return accepted == 1;
}

}  // namespace

std::string FwimageCpldStreamFault(const uint8_t* data, uint32_t dataLength, uint32_t recordedLength) {
  RefusalClear();
  if (CpldStreamCheck(data, dataLength, recordedLength) == FWL_OK) return {};
  return Utf16ToUtf8(RefusalText());
}

int FwimageInfo(const std::vector<std::string>& args) {
  std::string path, moduleDir;
  for (size_t i = 0; i < args.size(); i++) {
    if (args[i] == "--module" && i + 1 < args.size()) moduleDir = args[++i];
    else if (path.empty() && args[i].rfind("--", 0) != 0) path = args[i];
    else return FwimageFail("info: name one image file and optionally --module DIR");
  }
  if (path.empty()) return FwimageFail("info: name one image file");
  std::vector<uint8_t> bytes;
  std::string error;
  if (!BinImageReadFile(path, &bytes, &error)) return FwimageFail(error);
  BinImageSeen seen = BinImageInspect(bytes);
  std::printf("file        %s (%zu bytes)\n", path.c_str(), bytes.size());
  int faults = 0;
  if (seen.hasBinPart) faults += ShowBinPart(seen);
  else std::printf("bin part    none\n");
  for (size_t i = 0; i < seen.streams.size(); i++) faults += ShowStream(i + 1, seen.streams[i]);
  if (seen.hasCpld) faults += ShowCpld(seen.cpld, bytes);
  if (seen.trailingBytes != 0) std::printf("trailing    %" PRIu64 " bytes belong to no part\n", seen.trailingBytes);
  if (!seen.hasBinPart && seen.streams.empty() && !seen.hasCpld) {
    std::printf("            no BIN part, file-system stream or CPLD section: not an image file\n");
    faults++;
  }
  if (!moduleDir.empty()) {
    fflush(stdout);
    bool accepted = JudgeOnModule(path, moduleDir, &error);
    if (!error.empty()) return FwimageFail(error);
    return accepted ? kFwimageOk : kFwimageFaults;
  }
  if (faults == 0) std::printf("verdict     no faults in its parts (give --module DIR for what an update would do)\n");
  else std::printf("verdict     %d fault%s\n", faults, faults == 1 ? "" : "s");
  return faults == 0 ? kFwimageOk : kFwimageFaults;
}
