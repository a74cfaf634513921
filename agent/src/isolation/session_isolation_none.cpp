#include "isolation/session_isolation.h"

namespace vn {

// No desktop isolation in this build: sessions stream the desktop as it is.
std::unique_ptr<SessionIsolation> SessionIsolation::Create() { return nullptr; }

}  // namespace vn
