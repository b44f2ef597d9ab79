// Helpers for the window system's tests: dialogs on threads of their own,
// waiting with a deadline, a clean window system per test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "platform/ui/window.h"

// DialogBoxIndirectParamW on a thread of its own. Ends the dialogs still open
// when it goes, so a failed test cannot hang the suite.
struct DialogThread {
  std::thread thread;
  std::atomic<bool> finished{false};
  std::atomic<INT_PTR> result{0};

  void Start(const DialogTemplate* dialogTemplate, DLGPROC proc, LPARAM param = 0, HWND owner = nullptr);
  // Waits for the end; false when it did not come within `ms`.
  bool Join(int ms = 5000);
  ~DialogThread();
};

// Polls `condition` until it holds or `ms` pass.
bool WaitUntil(const std::function<bool()>& condition, int ms = 5000);

// The newest shown dialog of `templateId`, waiting up to `ms` for it.
HWND WaitForDialog(WORD templateId, int ms = 5000);

// The text of control `id` of `dialog` in UTF-8.
std::string ItemText(HWND dialog, int id);

// Attaches a fresh module holding the folder \UiTest\IMAGES with an empty
// nk.bin in it (the factory's own folders may hold anything). False (and a
// test failure) when that is not possible.
bool AttachModuleWithImages();

// The update flow's open dialog for image files in `initialDir`, choosing
// into `file` (MAX_PATH units).
OPENFILENAMEW ImageOpenRequest(WCHAR* file, const WCHAR* initialDir);

// A fresh window system (recording backend) before and after each test.
class UiTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};
