#include "platform/ui/renderable.h"

#include <mutex>

#include "platform/ui/sample_dialog.h"

namespace {

struct RenderablesState {
  std::mutex lock;
  std::vector<RenderableDialog> dialogs;
};

RenderablesState g_renderables;

}  // namespace

void UiRegisterRenderable(const RenderableDialog& dialog) {
  std::lock_guard<std::mutex> guard(g_renderables.lock);
  for (RenderableDialog& d : g_renderables.dialogs) {
    if (d.name == dialog.name) {
      d = dialog;
      return;
    }
  }
  g_renderables.dialogs.push_back(dialog);
}

const RenderableDialog* UiFindRenderable(const std::string& name) {
  std::lock_guard<std::mutex> guard(g_renderables.lock);
  for (const RenderableDialog& d : g_renderables.dialogs) {
    if (d.name == name) return &d;
  }
  return nullptr;
}

std::vector<RenderableDialog> UiRenderables() {
  std::lock_guard<std::mutex> guard(g_renderables.lock);
  return g_renderables.dialogs;
}

void UiRegisterBuiltinRenderables() {
  UiRegisterRenderable(RenderableDialog{"sample", "every control kind of the window system", &kSampleDialog,
                                        SampleDialogProc, 0});
}
