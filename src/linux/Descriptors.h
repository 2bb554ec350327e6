#pragma once
#include <cstddef>

namespace kestrova {

// Raises the soft limit on open descriptors to the hard limit, as servers
// do: a machine with many processes holding sockets costs a descriptor per
// watched process, and the soft limit a session hands out (1024) is far
// below what the system allows. Call once, at start.
void raiseDescriptorLimit();

// The soft limit on open descriptors now.
std::size_t descriptorLimit();

// Whether `error` says that this process or the system ran short of
// descriptors or memory: the thing looked for may well be there, it just
// could not be looked at this time.
bool isShortage(int error);

// Says once per run, on standard error, that lookups of owners were cut
// short by `error` (a shortage), and what happens to them. Later calls do
// nothing.
void reportShortageOnce(int error);

}  // namespace kestrova
