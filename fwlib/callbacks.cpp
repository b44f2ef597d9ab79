#include "fwlib/callbacks.h"

namespace {

struct CallbackState {
  ValidateProgressFn validate = nullptr;
  SummaryFn summary = nullptr;
  SectionStartFn sectionStart = nullptr;
  BytesProgressFn bytes = nullptr;
  EraseProgressFn erase = nullptr;
  uint32_t sectionBytes = 0;
  uint32_t totalBytes = 0;
};

CallbackState g_callbacks;

}  // namespace

void CallbackSetValidate(ValidateProgressFn fn) { g_callbacks.validate = fn; }
void CallbackSetSummary(SummaryFn fn) { g_callbacks.summary = fn; }
void CallbackSetSectionStart(SectionStartFn fn) { g_callbacks.sectionStart = fn; }
void CallbackSetBytesProgress(BytesProgressFn fn) { g_callbacks.bytes = fn; }
void CallbackSetErase(EraseProgressFn fn) { g_callbacks.erase = fn; }

void CallbacksClear() {
  g_callbacks.validate = nullptr;
  g_callbacks.summary = nullptr;
  g_callbacks.sectionStart = nullptr;
  g_callbacks.bytes = nullptr;
  g_callbacks.erase = nullptr;
}

bool ReportValidate(uint32_t position, uint32_t fileSize) {
  return g_callbacks.validate == nullptr || g_callbacks.validate(position, fileSize) != 0;
}

bool ReportSummary(RegionSummary* summary) {
  g_callbacks.totalBytes = 0;
  return g_callbacks.summary == nullptr || g_callbacks.summary(summary) != 0;
}

bool ReportSectionStart(uint32_t address, uint32_t length, uint32_t checksum) {
  g_callbacks.sectionBytes = 0;
  return g_callbacks.sectionStart == nullptr || g_callbacks.sectionStart(address, length, checksum) != 0;
}

bool ReportBytes(uint32_t chunk) {
  g_callbacks.sectionBytes += chunk;
  g_callbacks.totalBytes += chunk;
  return g_callbacks.bytes == nullptr || g_callbacks.bytes(g_callbacks.sectionBytes, g_callbacks.totalBytes) != 0;
}

bool ReportErase(uint32_t first, uint32_t second) {
  return g_callbacks.erase == nullptr || g_callbacks.erase(first, second) != 0;
}

EraseProgressFn CallbackEraseHook() { return g_callbacks.erase; }

uint32_t CallbackSectionBytes() { return g_callbacks.sectionBytes; }
uint32_t CallbackTotalBytes() { return g_callbacks.totalBytes; }

void CallbacksReset() { g_callbacks = CallbackState{}; }
