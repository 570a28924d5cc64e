// DofPointers: the library pointers of a list of fields, in the form the library's N-field entry
// points take them (a count, and an array that is null for an empty list).
#pragma once

#include <vector>

#include "dof/dof.h"

namespace mosk {

class DofPointers {
public:
    explicit DofPointers(const std::vector<DofHandle>& dofs) {
        pointers_.reserve(dofs.size());
        for (const DofHandle& d : dofs) pointers_.push_back(d.get());
    }

    int count() const { return int(pointers_.size()); }
    DOF_** data() { return pointers_.empty() ? nullptr : pointers_.data(); }

private:
    std::vector<DOF_*> pointers_;
};

}  // namespace mosk
