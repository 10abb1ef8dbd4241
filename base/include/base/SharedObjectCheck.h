#pragma once

#include <string>

namespace kestrune::platform {

// Why the file at path cannot be handed to the dynamic loader safely: running as root for
// another user, a file that others than root could change (UntrustedPathReason); not a
// regular file, not an ELF shared object of this process's kind (class, byte order,
// machine), or tables that reach past the end of the file (a truncated file, which the
// loader would map and fault on). Empty when it looks loadable. Kept free of the toolkit:
// components use it too.
std::string SharedObjectProblem(const std::string& path);

} // namespace kestrune::platform
