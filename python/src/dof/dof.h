// DofHandle: the module's wrapper of a library DOF field, exposed as _pymosk.Dof.
#pragma once

#include <pybind11/pybind11.h>

#include "grid.h"
#include "handle.h"
#include "mosk.h"

namespace mosk {

class DofHandle {
public:
    Handle<DOF_> handle;  // the library DOF, owning or borrowed
    GridHandle grid;      // the grid the DOF was created on; empty for a borrowed DOF

    DofHandle() = default;
    DofHandle(const DofHandle&) = default;
    DofHandle(DofHandle&&) = default;
    DofHandle& operator=(const DofHandle&) = default;
    DofHandle& operator=(DofHandle&&) = default;
    // The DOF goes before its grid: the reverse of implicit member destruction.
    ~DofHandle() {
        handle.reset();
        grid.handle.reset();
    }

    DOF_* get() const { return handle.get(); }
};

}  // namespace mosk
