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

}  // namespace qr
