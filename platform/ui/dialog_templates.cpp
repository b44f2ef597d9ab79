#include "platform/ui/dialog_templates.h"

#include <mutex>
#include <vector>

#include "platform/error.h"

namespace {

struct RegisteredTemplate {
  HINSTANCE instance;
  const DialogTemplate* dialogTemplate;
};

struct DialogTemplatesState {
  std::mutex lock;
  std::vector<RegisteredTemplate> entries;
};

DialogTemplatesState g_templates;

bool ControlValid(const DialogControl& c) {
  return c.kind <= DialogControlKind::ProgressBar && c.width >= 0 && c.height >= 0;
}

}  // namespace

bool DialogTemplateValid(const DialogTemplate* t) {
  if (t == nullptr || t->width < 0 || t->height < 0 || t->controlCount > kMaxDialogControls) return false;
  if (t->controlCount > 0 && t->controls == nullptr) return false;
  for (size_t i = 0; i < t->controlCount; i++) {
    if (!ControlValid(t->controls[i])) return false;
  }
  return true;
}

BOOL RegisterDialogTemplates(HINSTANCE instance, const DialogTemplate* const* templates, size_t count) {
  if (count > 0 && templates == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  for (size_t i = 0; i < count; i++) {
    if (!DialogTemplateValid(templates[i])) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  std::lock_guard<std::mutex> guard(g_templates.lock);
  for (size_t i = 0; i < count; i++) {
    bool replaced = false;
    for (RegisteredTemplate& e : g_templates.entries) {
      if (e.instance == instance && e.dialogTemplate->id == templates[i]->id) {
        e.dialogTemplate = templates[i];
        replaced = true;
      }
    }
    if (!replaced) g_templates.entries.push_back(RegisteredTemplate{instance, templates[i]});
  }
  return TRUE;
}

const DialogTemplate* DialogTemplateFind(HINSTANCE instance, WORD id) {
  std::lock_guard<std::mutex> guard(g_templates.lock);
  for (const RegisteredTemplate& e : g_templates.entries) {
    if (e.instance == instance && e.dialogTemplate->id == id) return e.dialogTemplate;
  }
  return nullptr;
}

void DialogTemplatesResetForTests() {
  std::lock_guard<std::mutex> guard(g_templates.lock);
  g_templates.entries.clear();
}
