#include "gui/control_ids.h"

#include <QVariant>

namespace quorin {

void SetControlId(QObject* control, int id) {
    control->setProperty(ids::kProperty, id);
}

int ControlId(const QObject* control) {
    QVariant id = control->property(ids::kProperty);
    return id.isValid() ? id.toInt() : 0;
}

QWidget* FindControl(QWidget* root, int id) {
    if (ControlId(root) == id) return root;
    const auto children = root->findChildren<QWidget*>();
    for (QWidget* child : children)
        if (ControlId(child) == id) return child;
    return nullptr;
}

} // namespace quorin
