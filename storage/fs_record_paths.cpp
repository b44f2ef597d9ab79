#include "storage/fs_record_paths.h"

#include <cstdlib>

namespace {

constexpr size_t kFirstCapacity = 64;
constexpr size_t kMaxNameUnits = 255;
constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;
constexpr WCHAR kFirstPrintable = 0x20;

// Lower-case letters of ASCII and Latin-1 fold onto their capitals; the
// volume's own table folds more, which only makes us refuse less.
WCHAR Fold(WCHAR c) {
  if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
  return c;
}

// 64 bits of hash stand for the path: two paths of one stream meeting by
// chance is far less likely than any flash fault.
uint64_t Key(const WCHAR* path, size_t length) {
  uint64_t h = kFnvOffset;
  for (size_t i = 0; i < length; i++) {
    WCHAR c = path[i] == u'/' ? u'\\' : Fold(path[i]);
    h = (h ^ (c & 0xFF)) * kFnvPrime;
    h = (h ^ (c >> 8)) * kFnvPrime;
  }
  return h | 1;
}

size_t SlotOf(const FsPathSet& set, uint64_t key) {
  size_t i = static_cast<size_t>(key) & (set.capacity - 1);
  while (set.keys[i] != 0 && set.keys[i] != key) i = (i + 1) & (set.capacity - 1);
  return i;
}

bool Grow(FsPathSet* set) {
  size_t capacity = set->capacity == 0 ? kFirstCapacity : set->capacity * 2;
  auto* keys = static_cast<uint64_t*>(std::calloc(capacity, sizeof(uint64_t)));
  auto* kinds = static_cast<FsPathKind*>(std::calloc(capacity, sizeof(FsPathKind)));
  if (keys == nullptr || kinds == nullptr) {
    std::free(keys);
    std::free(kinds);
    return false;
  }
  FsPathSet grown;
  grown.keys = keys;
  grown.kinds = kinds;
  grown.capacity = capacity;
  grown.count = set->count;
  for (size_t i = 0; i < set->capacity; i++) {
    if (set->keys[i] == 0) continue;
    size_t at = SlotOf(grown, set->keys[i]);
    grown.keys[at] = set->keys[i];
    grown.kinds[at] = set->kinds[i];
  }
  FsPathSetFree(set);
  *set = grown;
  return true;
}

}  // namespace

FsPathKind FsPathSetFind(const FsPathSet& set, const WCHAR* path, size_t length) {
  if (set.capacity == 0) return FsPathKind::None;
  size_t at = SlotOf(set, Key(path, length));
  return set.keys[at] == 0 ? FsPathKind::None : set.kinds[at];
}

bool FsPathSetAdd(FsPathSet* set, const WCHAR* path, size_t length, FsPathKind kind) {
  // Kept at most half full, so a probe always ends on an empty slot soon.
  if (2 * (set->count + 1) > set->capacity && !Grow(set)) return false;
  uint64_t key = Key(path, length);
  size_t at = SlotOf(*set, key);
  if (set->keys[at] == 0) set->count++;
  set->keys[at] = key;
  set->kinds[at] = kind;
  return true;
}

void FsPathSetFree(FsPathSet* set) {
  std::free(set->keys);
  std::free(set->kinds);
  *set = FsPathSet{};
}

bool FsNameFitsVolume(const WCHAR* name, size_t length) {
  if (length == 0 || length > kMaxNameUnits) return false;
  if (name[length - 1] == u'.' || name[length - 1] == u' ') return false;  // also "." and ".."
  for (size_t i = 0; i < length; i++) {
    WCHAR c = name[i];
    if (c < kFirstPrintable) return false;
    for (WCHAR bad : u"\"*/:<>?\\|") {
      if (bad != 0 && c == bad) return false;
    }
  }
  return true;
}
