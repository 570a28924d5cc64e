// Start-up and shut-down of the library, the only places where it is started and stopped.
#pragma once

namespace mosk {

void initialize();
void finalize();

}  // namespace mosk
