#include "graph/Part.h"

#include "platform/Messages.h"

namespace qr {

std::unique_ptr<CPart> CPart::Copy() const {
  ShowNotice("copy");
  return nullptr;
}

bool CPart::Assign(const CPart& other) {
  if (&other != this) *this = other;
  return true;
}

}  // namespace qr
