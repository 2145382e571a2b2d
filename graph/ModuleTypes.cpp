#include "graph/ModuleTypes.h"

#include <atomic>

namespace qr {

namespace {
// Installed on the user-interface side before loading; read by loaders on the same side.
std::atomic<ModuleFactory> g_factory{nullptr};
}  // namespace

void SetModuleFactory(ModuleFactory factory) noexcept { g_factory.store(factory, std::memory_order_release); }

ModuleFactory InstalledModuleFactory() noexcept { return g_factory.load(std::memory_order_acquire); }

}  // namespace qr
