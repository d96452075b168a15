// The window's compiled-in resources (icon, logo, end sound), registered on first use: they
// live in a static library, which does not register them by itself.
#pragma once

namespace quorin {

void EnsureResources();

} // namespace quorin
