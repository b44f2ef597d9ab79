#include "module/cpld_array.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "module/atomic_file.h"

namespace {

constexpr uint32_t kAddresses = 1u << kCpldAddressBits;
constexpr uint32_t kByteBits = 8;
// Bits of a row's last byte that belong to the row.
constexpr uint8_t kLastByteMask = static_cast<uint8_t>((1u << (kCpldRowBits % kByteBits)) - 1);
static_assert(kCpldRowBits % kByteBits != 0, "the last byte mask assumes a partly used last byte");
constexpr uint32_t kUsercodeBits = 32;

// cpld.img: magic, row count and bits per row (little-endian), the rows in
// row order, then the FNV-1a hash of everything before it.
constexpr char kMagic[8] = {'F', 'W', 'C', 'P', 'L', 'D', '1', '\n'};
constexpr size_t kHeaderBytes = sizeof kMagic + 2 * sizeof(uint32_t);
constexpr size_t kArrayBytes = size_t{kCpldRows} * kCpldRowBytes;
constexpr size_t kHashBytes = sizeof(uint64_t);
constexpr size_t kFileBytes = kHeaderBytes + kArrayBytes + kHashBytes;

constexpr uint64_t kFnvOffset = 0xCBF29CE484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001B3ull;

// The factory firmware: a fixed pseudo-random pattern with about a quarter
// of the bits programmed in every logic row.
constexpr uint32_t kFactorySeed = 0x6E5D0930;
constexpr uint32_t kFactoryProgrammedOneIn = 4;

uint32_t Reverse7(uint32_t v) {
  uint32_t out = 0;
  for (uint32_t i = 0; i < kCpldAddressBits; i++) out |= ((v >> i) & 1) << (kCpldAddressBits - 1 - i);
  return out;
}

uint32_t Gray(uint32_t v) { return v ^ (v >> 1); }

uint64_t Fnv(uint64_t hash, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; i++) hash = (hash ^ bytes[i]) * kFnvPrime;
  return hash;
}

void PutLe32(uint8_t* p, uint32_t v) {
  for (uint32_t i = 0; i < sizeof v; i++) p[i] = static_cast<uint8_t>(v >> (kByteBits * i));
}

uint64_t GetLe(const uint8_t* p, size_t bytes) {
  uint64_t v = 0;
  for (size_t i = 0; i < bytes; i++) v |= uint64_t{p[i]} << (kByteBits * i);
  return v;
}

uint32_t XorShift(uint32_t* state) {
  uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return x;
}

// What is wrong with the bytes of a cpld.img, or nothing.
std::string Damage(const std::string& data) {
  const auto* p = reinterpret_cast<const uint8_t*>(data.data());
  if (data.size() != kFileBytes) {
    return std::to_string(data.size()) + " bytes where the array takes " + std::to_string(kFileBytes);
  }
  if (std::memcmp(p, kMagic, sizeof kMagic) != 0) return "it does not begin as a CPLD array file";
  uint64_t rows = GetLe(p + sizeof kMagic, sizeof(uint32_t));
  uint64_t bits = GetLe(p + sizeof kMagic + sizeof(uint32_t), sizeof(uint32_t));
  if (rows != kCpldRows || bits != kCpldRowBits) {
    return std::to_string(rows) + " rows of " + std::to_string(bits) + " bits where the CPLD has " +
           std::to_string(kCpldRows) + " of " + std::to_string(kCpldRowBits);
  }
  if (GetLe(p + kHeaderBytes + kArrayBytes, kHashBytes) != Fnv(kFnvOffset, p, kHeaderBytes + kArrayBytes)) {
    return "its contents no longer match their check sum";
  }
  return "";
}

}  // namespace

bool CpldRowOfAddress(uint32_t address, uint32_t* row) {
  if (address >= kAddresses) return false;
  // Undo the bit reversal, then the Gray code.
  uint32_t gray = Reverse7(address);
  uint32_t value = 0;
  for (uint32_t g = gray; g != 0; g >>= 1) value ^= g;
  if (value >= kCpldRows) return false;
  *row = value;
  return true;
}

uint32_t CpldAddressOfRow(uint32_t row) { return Reverse7(Gray(row % kCpldRows)); }

void CpldArrayErase(CpldArray* array) {
  for (auto& row : array->rows) {
    std::memset(row, 0xFF, kCpldRowBytes - 1);
    row[kCpldRowBytes - 1] = kLastByteMask;
  }
}

void CpldArrayProgramRow(CpldArray* array, uint32_t row, const uint8_t data[kCpldRowBytes]) {
  if (row >= kCpldRows) return;
  for (uint32_t i = 0; i < kCpldRowBytes; i++) array->rows[row][i] &= data[i];
}

bool CpldArrayBit(const CpldArray& array, uint32_t row, uint32_t bit) {
  if (row >= kCpldRows || bit >= kCpldRowBits) return false;
  return ((array.rows[row][bit / kByteBits] >> (bit % kByteBits)) & 1) != 0;
}

void CpldArraySetBit(CpldArray* array, uint32_t row, uint32_t bit, bool value) {
  if (row >= kCpldRows || bit >= kCpldRowBits) return;
  uint8_t& byte = array->rows[row][bit / kByteBits];
  uint8_t mask = static_cast<uint8_t>(1u << (bit % kByteBits));
  byte = value ? byte | mask : byte & ~mask;
}

bool CpldArrayBlank(const CpldArray& array) {
  CpldArray erased;
  CpldArrayErase(&erased);
  return std::memcmp(array.rows, erased.rows, sizeof array.rows) == 0;
}

bool CpldArrayDone(const CpldArray& array) { return !CpldArrayBit(array, kCpldDoneRow, kCpldDoneBit); }

uint32_t CpldArrayUsercode(const CpldArray& array) {
  uint32_t code = 0;
  for (uint32_t i = 0; i < kUsercodeBits; i++) {
    if (CpldArrayBit(array, kCpldUsercodeRow, i)) code |= uint32_t{1} << i;
  }
  return code;
}

void CpldArrayFactory(CpldArray* array, uint32_t usercode) {
  CpldArrayErase(array);
  uint32_t state = kFactorySeed;
  for (uint32_t row = 0; row < kCpldDoneRow; row++) {
    for (uint32_t bit = 0; bit < kCpldRowBits; bit++) {
      if (XorShift(&state) % kFactoryProgrammedOneIn == 0) CpldArraySetBit(array, row, bit, false);
    }
  }
  for (uint32_t i = 0; i < kUsercodeBits; i++) {
    if (((usercode >> i) & 1) == 0) CpldArraySetBit(array, kCpldUsercodeRow, i, false);
  }
  CpldArraySetBit(array, kCpldDoneRow, kCpldDoneBit, false);
}

std::string CpldArrayDigest(const CpldArray& array) {
  uint64_t hash = Fnv(kFnvOffset, &array.rows[0][0], kArrayBytes);
  char text[24];
  std::snprintf(text, sizeof text, "%016" PRIx64, hash);
  return text;
}

bool CpldArrayLoad(const std::string& path, CpldArray* array, bool* found, std::string* error) {
  *found = false;
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    *error = "cannot read " + path;
    return false;
  }
  std::string data;
  if (!ReadWholeFile(path, &data, error)) return false;
  std::string damage = Damage(data);
  if (!damage.empty()) {
    *error = path + " is damaged (" + damage +
             "): the CPLD's array cannot be read, so the CPLD stays off its JTAG wires (TDO reads high). "
             "To recover, put back a saved copy of the file, or delete it: the CPLD then holds the factory "
             "firmware again, and an update or a JTAG tool programs the design anew";
    return false;
  }
  const auto* p = reinterpret_cast<const uint8_t*>(data.data());
  std::memcpy(array->rows, p + kHeaderBytes, kArrayBytes);
  for (auto& row : array->rows) row[kCpldRowBytes - 1] &= kLastByteMask;
  *found = true;
  return true;
}

bool CpldArraySave(const std::string& path, const CpldArray& array, std::string* error,
                   AtomicDurability durability) {
  uint8_t file[kFileBytes];
  std::memcpy(file, kMagic, sizeof kMagic);
  PutLe32(file + sizeof kMagic, kCpldRows);
  PutLe32(file + sizeof kMagic + sizeof(uint32_t), kCpldRowBits);
  std::memcpy(file + kHeaderBytes, array.rows, kArrayBytes);
  uint64_t hash = Fnv(kFnvOffset, file, kHeaderBytes + kArrayBytes);
  for (size_t i = 0; i < kHashBytes; i++) {
    file[kHeaderBytes + kArrayBytes + i] = static_cast<uint8_t>(hash >> (kByteBits * i));
  }
  return AtomicWriteFile(path, std::string_view(reinterpret_cast<const char*>(file), kFileBytes), error, durability);
}
