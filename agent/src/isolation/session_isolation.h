#pragma once

#include <memory>
#include <string>

#include "core/base/crash_restore.h"

namespace vn {

struct IsolationOptions {
  bool hide_desktop = false;
  bool launch_steam = false;
  std::string steam_app_id;
  std::string steam_path;
};

// Keeps the user's desktop out of the stream while a session runs and puts it
// back afterwards (restore_once(), also from the crash handlers).
class SessionIsolation : public CrashRestorable {
 public:
  // The platform's isolation, or null when this build has none.
  static std::unique_ptr<SessionIsolation> Create();

  // Applies what `options` asks for; the session goes on whatever happens.
  virtual void begin(const IsolationOptions& options) = 0;
};

}  // namespace vn
