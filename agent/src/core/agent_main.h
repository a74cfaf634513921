#pragma once

namespace vn {

// The program's main body: start-up in order, then the session loop. Returns
// 1 when the crypto or FEC libraries fail to initialise, 0 after a clean stop.
// Exceptions (malformed numeric options among them) propagate to main.
int main_inner(int argc, char** argv);

}  // namespace vn
