// Owners of PETSc objects: each destroys its object when it goes or is reset, except after the
// library was shut down, when PETSc is gone and the object is left alone (a leak at exit rather
// than a call into a finalised PETSc).
#pragma once

#include <petscksp.h>

#include <utility>

#include "core/library_state.h"
#include "core/petsc_call.h"

namespace mosk {

template <class T, PetscErrorCode (*Destroy)(T*)>
class PetscOwner {
public:
    PetscOwner() = default;
    ~PetscOwner() { reset(); }
    PetscOwner(PetscOwner&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PetscOwner& operator=(PetscOwner&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PetscOwner(const PetscOwner&) = delete;
    PetscOwner& operator=(const PetscOwner&) = delete;

    operator T() const { return object_; }
    T get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // For PETSc's creating calls: releases what is held and hands out the slot.
    T* replace() {
        reset();
        return &object_;
    }
    void reset() noexcept {
        if (object_ && library_started()) {
            PetscScope s("release");  // PETSc must not print or abort here
            Destroy(&object_);
        }
        object_ = nullptr;
    }

private:
    T object_ = nullptr;
};

using OwnedMat = PetscOwner<Mat, MatDestroy>;
using OwnedVec = PetscOwner<Vec, VecDestroy>;
using OwnedKsp = PetscOwner<KSP, KSPDestroy>;
using OwnedScatter = PetscOwner<VecScatter, VecScatterDestroy>;
using OwnedOptions = PetscOwner<PetscOptions, PetscOptionsDestroy>;
using OwnedIs = PetscOwner<IS, ISDestroy>;

}  // namespace mosk
