#pragma once

#include <cstdint>

// Adds a /32 route for the address (network byte order) through PhysicalRoute, once per
// address; a refused creation is tried again at the next connection and logged once per
// address until the routes are next removed. A route that is there already is someone else's:
// it is left alone and never deleted.
void AddBypassRoute(uint32_t address);
// Deletes every route in BypassRouteSet, in ascending order, and empties the set.
void RemoveAllBypassRoutes();
