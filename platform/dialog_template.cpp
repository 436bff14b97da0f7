#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/dialog.h"
#include "platform/window_messages.h"

namespace platform {
namespace {

class TemplateTable {
  public:
    TemplateTable() {
        // The service's main dialog: a popup without caption, created hidden.
        m_templates.push_back(DialogTemplate{8, WS_POPUP, 0, 0, 23, 30, u""});
    }
    std::optional<DialogTemplate> Find(UINT id) {
        std::lock_guard lock(m_mutex);
        auto it = std::find_if(m_templates.begin(), m_templates.end(),
                               [id](const DialogTemplate& t) { return t.id == id; });
        return it == m_templates.end() ? std::nullopt : std::optional(*it);
    }
    void Register(const DialogTemplate& dialogTemplate) {
        std::lock_guard lock(m_mutex);
        for (auto& existing : m_templates) {
            if (existing.id == dialogTemplate.id) {
                existing = dialogTemplate;
                return;
            }
        }
        m_templates.push_back(dialogTemplate);
    }

  private:
    std::mutex m_mutex;
    std::vector<DialogTemplate> m_templates;
};

TemplateTable& Templates() {
    static TemplateTable* table = new TemplateTable;
    return *table;
}

}  // namespace

void MapDialogRect(RECT* rect) {
    if (rect == nullptr) {
        return;
    }
    rect->left = rect->left * kDialogBaseUnitX / 4;
    rect->right = rect->right * kDialogBaseUnitX / 4;
    rect->top = rect->top * kDialogBaseUnitY / 8;
    rect->bottom = rect->bottom * kDialogBaseUnitY / 8;
}

std::optional<DialogTemplate> FindDialogTemplate(UINT id) {
    return Templates().Find(id);
}

void RegisterDialogTemplate(const DialogTemplate& dialogTemplate) {
    Templates().Register(dialogTemplate);
}

}  // namespace platform
