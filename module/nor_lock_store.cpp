#include "module/nor_lock_store.h"

#include <sys/stat.h>

#include <cerrno>

#include "module/atomic_file.h"

namespace {

constexpr char kLocked = '1';
constexpr char kUnlocked = '0';
constexpr char kBitChars[] = {kLocked, kUnlocked, '\0'};

}  // namespace

std::string NorLockStorePath(const std::string& flashPath) { return flashPath + ".locks"; }

bool NorLockStoreLoad(const std::string& path, NorChip* chips, uint32_t chipCount, std::string* error) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return true;
  std::string text;
  if (!ReadWholeFile(path, &text, error)) return false;
  size_t at = 0;
  for (uint32_t c = 0; c < chipCount; c++) {
    uint32_t blocks = chips[c].geometry->blockCount;
    size_t end = text.find('\n', at);
    if (end == std::string::npos || end - at != blocks ||
        text.find_first_not_of(kBitChars, at) < end) {
      *error = path + ": line " + std::to_string(c + 1) + " is not " + std::to_string(blocks) + " lock bits (0 or 1)";
      return false;
    }
    chips[c].locks.assign(blocks, 0);
    for (uint32_t i = 0; i < blocks; i++) chips[c].locks[i] = text[at + i] == kLocked ? kNorLockBit : 0;
    at = end + 1;
  }
  return true;
}

bool NorLockStoreSave(const std::string& path, const NorChip* chips, uint32_t chipCount, std::string* error) {
  std::string text;
  for (uint32_t c = 0; c < chipCount; c++) {
    for (uint8_t lock : chips[c].locks) text += (lock & kNorLockBit) != 0 ? kLocked : kUnlocked;
    text += '\n';
  }
  return AtomicWriteFile(path, text, error);
}
