// Whether the library runs, and its communicator. Start-up and shut-down (init.cpp) set them;
// everything else only reads them.
#include "core/library_state.h"

#include "mosk.h"

int moskComm = -1;

namespace mosk {
namespace {
bool started = false;
bool finalized = false;
}  // namespace

bool library_started() { return started && !finalized; }
bool library_finalized() { return finalized; }

void set_library_started(int comm) {
    moskComm = comm;
    started = true;
}

void set_library_finalized() {
    finalized = true;
    moskComm = -1;
}

}  // namespace mosk
