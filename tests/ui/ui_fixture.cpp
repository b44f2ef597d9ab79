#include "tests/ui/ui_fixture.h"

#include <chrono>

#include "platform/files.h"
#include "platform/text.h"
#include "platform/ui/recording.h"
#include "platform/ui/ui_backend.h"
#include "platform/ui/window_model.h"
#include "tests/support/temp_module.h"

namespace {

constexpr int kPollMs = 2;
constexpr size_t kTextCapacity = 512;
constexpr INT_PTR kAbandoned = -3;

}  // namespace

void DialogThread::Start(const DialogTemplate* dialogTemplate, DLGPROC proc, LPARAM param, HWND owner) {
  thread = std::thread([this, dialogTemplate, proc, param, owner] {
    result = DialogBoxIndirectParamW(nullptr, dialogTemplate, owner, proc, param);
    finished = true;
  });
}

bool DialogThread::Join(int ms) {
  if (!WaitUntil([this] { return finished.load(); }, ms)) return false;
  if (thread.joinable()) thread.join();
  return true;
}

DialogThread::~DialogThread() {
  if (!thread.joinable()) return;
  WaitUntil(
      [this] {
        for (HWND h : UiOpenDialogs()) EndDialog(h, kAbandoned);
        return finished.load();
      },
      5000);
  if (finished) thread.join();
  else thread.detach();
}

bool WaitUntil(const std::function<bool()>& condition, int ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
  return true;
}

HWND WaitForDialog(WORD templateId, int ms) {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        found = UiFindDialog(templateId);
        return found != nullptr && IsWindowVisible(found);
      },
      ms);
  return found;
}

std::string ItemText(HWND dialog, int id) {
  WCHAR text[kTextCapacity];
  GetDlgItemTextW(dialog, id, text, kTextCapacity);
  return Utf16ToUtf8(text);
}

OPENFILENAMEW ImageOpenRequest(WCHAR* file, const WCHAR* initialDir) {
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.lpstrFilter = u"IMAGE files\0*.bin\0";
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file;
  ofn.nMaxFile = MAX_PATH;
  ofn.lpstrInitialDir = initialDir;
  ofn.Flags = OFN_PATHMUSTEXIST | OFN_FILEMUSTEXIST;
  return ofn;
}

bool AttachModuleWithImages() {
  if (AttachTempModule().empty()) return false;
  bool made = CreateDirectoryW(u"\\UiTest", nullptr) && CreateDirectoryW(u"\\UiTest\\IMAGES", nullptr);
  HANDLE file = CreateFileW(u"\\UiTest\\IMAGES\\nk.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  EXPECT_TRUE(made && file != INVALID_HANDLE_VALUE);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return made && file != INVALID_HANDLE_VALUE;
}

void UiTest::SetUp() {
  UiResetForTests();
  // Tests script what they need; idle dialogs are closed only when a test says so.
  RecordingSetTimings(60000, 5000);
}

void UiTest::TearDown() {
  // Dialogs a test left open end before the window system is reset.
  WaitUntil([] {
    std::vector<HWND> open = UiOpenDialogs();
    for (HWND h : open) EndDialog(h, kAbandoned);
    return open.empty();
  });
  UiResetForTests();
}
