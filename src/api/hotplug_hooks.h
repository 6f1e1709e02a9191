// The interface layer's side of hot-plug monitoring: what a monitor may do to
// a handle (leave and re-enter the open handles, restart its listener).
#pragma once

namespace qv {

// Hands the hooks to the monitors (once; later calls do nothing).
void InstallHotplugHooks();

}  // namespace qv
