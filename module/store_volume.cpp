#include "module/store_volume.h"

namespace {

bool ReadSectors(void* ctx, uint32_t first, uint32_t count, uint8_t* out) {
  auto* p = static_cast<StorePartitionDevice*>(ctx);
  if (uint64_t{first} + count > p->count) return false;
  return FlashDiskRead(p->disk, p->start + first, count, out, &p->error);
}

bool WriteSectors(void* ctx, uint32_t first, uint32_t count, const uint8_t* data) {
  auto* p = static_cast<StorePartitionDevice*>(ctx);
  if (uint64_t{first} + count > p->count) return false;
  return FlashDiskWrite(p->disk, p->start + first, count, data, &p->error);
}

}  // namespace

bool StorePartitionDeviceOpen(StoreSession* session, uint32_t slot, StorePartitionDevice* partition) {
  if (slot >= kStoreMaxPartitions || !session->table.slots[slot].used) return false;
  const StorePartition& p = session->table.slots[slot];
  partition->disk = &session->disk;
  partition->start = p.start;
  partition->count = p.count;
  partition->error.clear();
  return true;
}

FatDevice StorePartitionFat(StorePartitionDevice* partition) {
  FatDevice device;
  device.ctx = partition;
  device.sectorBytes = partition->disk->geometry.sectorBytes;
  device.sectorCount = partition->count;
  device.read = ReadSectors;
  device.write = WriteSectors;
  return device;
}

FatResult StorePartitionFormatFat(StorePartitionDevice* partition, uint64_t now) {
  FatFormatOptions options;
  options.now = now;
  options.serial = static_cast<uint32_t>(now / 10000000);  // seconds: two formats rarely share one
  return FatFormat(StorePartitionFat(partition), options);
}
