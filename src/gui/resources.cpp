#include "gui/resources.h"

#include <QtCore/qglobal.h>

// Q_INIT_RESOURCE must be used outside any namespace.
static void RegisterQuorinResources() {
    Q_INIT_RESOURCE(quorin);
}

namespace quorin {

void EnsureResources() {
    static const bool registered = (RegisterQuorinResources(), true);
    (void)registered;
}

} // namespace quorin
