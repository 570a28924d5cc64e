// GridHandle: the module's wrapper of a library grid, exposed as _pymosk.Grid.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "construction.h"
#include "handle.h"
#include "mosk.h"
#include "text_argument.h"

namespace mosk {

class DofHandle;
class ElementHandle;
struct ElementIterator;

class GridHandle {
public:
    Handle<GRID_> handle;

    static GridHandle create(const FileName& name);

    void importFrom(const FileName& name);
    void exportVTK(const FileName& name, std::vector<DofHandle> dofs,
                   std::optional<double> time = std::nullopt);
    void balance(double imbalance);
    void refineAllElements(int levels);
    int getGlobalNumElements();
    int getNumElements();
    std::shared_ptr<ElementIterator> getElementIterator();

    double geomGetVolume(ElementHandle& e);
    double geomGetDiameter(ElementHandle& e);
    std::vector<double> geomGetJacobian(ElementHandle& e);
    double geomGetFaceArea(ElementHandle& e, int face);
    double geomGetFaceDiameter(ElementHandle& e, int face);
    std::vector<double> geomGetFaceNormal(ElementHandle& e, int face);

    // Labels from the mesh file: of a face, of an element's volume, of the whole boundary.
    std::vector<int> getFaceLabels(ElementHandle& e, int face);
    int getElementLabel(ElementHandle& e);
    std::vector<int> getBoundaryLabels();

    GRID_* get() const { return handle.get(); }

    static void define(pybind11::module_& m);
};

}  // namespace mosk

MOSK_CONSTRUCTED_ONLY(mosk::GridHandle)
