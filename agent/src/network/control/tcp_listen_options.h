#pragma once

namespace vn::network {

// Whether the launcher listener sets SO_REUSEADDR before binding.
// Linux: yes, so that a new session can bind its port while connections of
// the previous one are in TIME_WAIT; a listening port still cannot be shared.
// Windows: no; there SO_REUSEADDR lets another socket bind the same port and
// take over the launcher's connection (and its token), and binding over
// TIME_WAIT works without it.
bool listener_reuses_address();

}  // namespace vn::network
