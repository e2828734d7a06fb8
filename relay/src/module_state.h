// Objects alive in this module, for the unload query.
#pragma once

namespace kivo::module {

void ObjectCreated();
void ObjectDestroyed();
int LiveObjects();

}  // namespace kivo::module
