// fwimage build and fwimage stream: image files from raw files.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "module/bin_image_builder.h"
#include "tools/fwimage/commands.h"

namespace {

// Options that take values, consumed from the front of `args`.
struct Cursor {
  const std::vector<std::string>& args;
  size_t at = 0;
  bool More() const { return at < args.size(); }
  const std::string& Next() { return args[at++]; }
  bool Take(std::string* value) {
    if (!More()) return false;
    *value = Next();
    return true;
  }
  bool TakeNumber(uint32_t* value) {
    std::string text;
    return Take(&text) && FwimageNumber(text, value);
  }
};

bool ReadInput(const std::string& path, std::vector<uint8_t>* bytes, std::string* error) {
  return BinImageReadFile(path, bytes, error);
}

struct BuildOptions {
  bool haveStart = false;
  uint32_t split = 0;
  uint32_t badChecksum = 0;  // record number from 1; 0: none
};

int WriteOut(const std::string& out, const std::vector<uint8_t>& bytes) {
  std::string error;
  if (!BinImageWriteFile(out, bytes, &error)) return FwimageFail(error);
  std::printf("%s: %zu bytes\n", out.c_str(), bytes.size());
  return kFwimageOk;
}

// One "--name NUMBER" option of a table; true when `option` is one of them
// and its value parsed.
struct NumberOption {
  const char* name;
  uint32_t* value;
  bool* given;
};

bool TakeNumberOption(std::span<const NumberOption> table, const std::string& option, Cursor* c, bool* known) {
  for (const NumberOption& o : table) {
    if (option != o.name) continue;
    *known = true;
    if (!c->TakeNumber(o.value)) return false;
    if (o.given != nullptr) *o.given = true;
    return true;
  }
  *known = false;
  return false;
}

}  // namespace

int FwimageFail(const std::string& message) {
  std::fprintf(stderr, "fwimage: %s\n", message.c_str());
  return kFwimageError;
}

bool FwimageNumber(const std::string& text, uint32_t* value) {
  char* end = nullptr;
  errno = 0;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

int FwimageBuild(const std::vector<std::string>& args) {
  if (args.empty()) return FwimageFail("build: name the output file");
  std::string out = args[0];
  std::vector<std::string> rest(args.begin() + 1, args.end());
  Cursor c{rest};
  BinImageSpec spec;
  BuildOptions options;
  bool haveLength = false;
  const NumberOption numbers[] = {
      {"--start", &spec.bin.imageStart, &options.haveStart}, {"--length", &spec.bin.imageLength, &haveLength},
      {"--entry", &spec.bin.entryPoint, nullptr},            {"--split", &options.split, nullptr},
      {"--bad-checksum", &options.badChecksum, nullptr},     {"--truncate", &spec.truncateBytes, nullptr},
      {"--cpld-mode", &spec.cpld.mode, nullptr},
  };
  std::string error;
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> blobs;
  while (c.More()) {
    std::string option = c.Next();
    std::string file;
    uint32_t address = 0;
    bool known = false;
    if (TakeNumberOption(numbers, option, &c, &known)) continue;
    if (known) return FwimageFail("build: " + option + " wants a number");
    if (option == "--allow-outside") {
      spec.bin.allowRecordsOutside = true;
    } else if (option == "--record" && c.TakeNumber(&address) && c.Take(&file)) {
      std::vector<uint8_t> bytes;
      if (!ReadInput(file, &bytes, &error)) return FwimageFail(error);
      blobs.emplace_back(address, std::move(bytes));
    } else if (option == "--stream" && c.Take(&file)) {
      spec.streams.emplace_back();
      if (!ReadInput(file, &spec.streams.back(), &error)) return FwimageFail(error);
    } else if (option == "--cpld" && c.Take(&file)) {
      spec.hasCpld = true;
      if (!ReadInput(file, &spec.cpld.data, &error)) return FwimageFail(error);
      // Its length is recorded, so a stream cut short can no longer pass for one padded.
      uint32_t length = static_cast<uint32_t>(spec.cpld.data.size());
      std::string fault = FwimageCpldStreamFault(spec.cpld.data.data(), length, length);
      if (!fault.empty()) return FwimageFail("build: " + file + ": " + fault);
    } else {
      return FwimageFail("build: '" + option + "' is not an option or lacks its value (see fwimage --help)");
    }
  }
  spec.hasBinPart = !blobs.empty();
  // An empty file would pass for an image that holds nothing to write.
  if (!spec.hasBinPart && spec.streams.empty() && !spec.hasCpld) {
    return FwimageFail("build: nothing to put in " + out + " (give --record, --stream or --cpld)");
  }
  if (!spec.hasBinPart && (options.haveStart || haveLength)) {
    return FwimageFail("build: a BIN part needs at least one --record");
  }
  if (spec.hasBinPart && !options.haveStart) {
    spec.bin.imageStart = std::min_element(blobs.begin(), blobs.end())->first;
  }
  for (const auto& [address, bytes] : blobs) {
    std::vector<BinRecord> records = BinRecordsFromBlob(address, bytes, options.split);
    spec.bin.records.insert(spec.bin.records.end(), records.begin(), records.end());
  }
  if (options.badChecksum != 0) {
    if (options.badChecksum > spec.bin.records.size()) return FwimageFail("build: --bad-checksum names no record");
    spec.bin.records[options.badChecksum - 1].checksumDelta = 1;
  }
  std::vector<uint8_t> bytes;
  if (!BinImageBuild(spec, &bytes, &error)) return FwimageFail("build: " + error);
  return WriteOut(out, bytes);
}

int FwimageStream(const std::vector<std::string>& args) {
  if (args.empty()) return FwimageFail("stream: name the output file");
  std::string out = args[0];
  std::vector<std::string> rest(args.begin() + 1, args.end());
  Cursor c{rest};
  FsStreamSpec spec;
  std::string error;
  uint32_t storeSectors = 0;
  const NumberOption numbers[] = {
      {"--mem-base", &spec.memBase, nullptr},
      {"--mem-len", &spec.memLen, nullptr},
      {"--sector-size", &spec.sectorSize, nullptr},
      {"--store-sectors", &storeSectors, nullptr},
  };
  while (c.More()) {
    std::string option = c.Next();
    std::string file;
    uint32_t tag = 0;
    bool known = false;
    if (TakeNumberOption(numbers, option, &c, &known)) continue;
    if (known) return FwimageFail("stream: " + option + " wants a number");
    if (option == "--chunk" && c.TakeNumber(&tag) && c.Take(&file)) {
      FsStreamChunk chunk{tag, {}};
      if (!ReadInput(file, &chunk.data, &error)) return FwimageFail(error);
      spec.chunks.push_back(std::move(chunk));
    } else {
      return FwimageFail("stream: '" + option + "' is not an option or lacks its value (see fwimage --help)");
    }
  }
  spec.storeSectors = storeSectors;
  std::vector<uint8_t> bytes;
  if (!FsStreamBuild(spec, &bytes, &error)) return FwimageFail("stream: " + error);
  return WriteOut(out, bytes);
}
