#pragma once
// The type-key table: which class a stored type key creates. The table itself is
// in persist/ModuleTypes.cpp, beside the project loader that uses it, so that the
// graph does not depend on the module classes.
#include <memory>
#include <string_view>

namespace qr {

class CComp;
class CContainer;

// A new module of the class named by `type_key`, or nullptr when no class has
// that key ("CGroup" and "CMidiIn" are not created: the loader reuses the root
// and the master input).
std::unique_ptr<CComp> CreateModule(std::string_view type_key, CContainer* parent);

// Creates a module by its type key; nullptr for unknown keys.
using ModuleFactory = std::unique_ptr<CComp> (*)(std::string_view type_key, CContainer* parent);
// Modules that hold other modules (an output strip's inserts) create them
// through the factory the layer that knows every class hands in: the project
// loader and the plug-in's start-up install the type table. Null until then,
// and modules made without one skip what they cannot create.
void SetModuleFactory(ModuleFactory factory) noexcept;
ModuleFactory InstalledModuleFactory() noexcept;

}  // namespace qr
