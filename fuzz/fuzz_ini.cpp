// Settings files are hand-edited text: any bytes must parse, and what we write
// back must read back as the same settings.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/IniFile.h"

namespace {

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  qr::IniDocument doc;
  doc.Parse(text);

  // Writing is stable: the text we produce parses to the same text.
  const std::string once = doc.Text();
  qr::IniDocument again;
  again.Parse(once);
  Check(again.Text() == once);

  for (const std::string& section : doc.SectionNames()) {
    for (const std::string& key : doc.KeyNames(section)) {
      const std::string* a = doc.Find(section, key);
      const std::string* b = again.Find(section, key);
      Check(a && b && *a == *b);
      qr::ParseIniInteger(*a, 0);
    }
  }

  // A write of names and a value cut from the input reads back, before and
  // after a trip through the text.
  if (size >= 3) {
    const size_t n = size / 3;
    const std::string section(text.substr(0, n)), key(text.substr(n, n)), value(text.substr(2 * n));
    doc.Set(section, key, value);
    if (const std::string* v = doc.Find(section, key)) {
      const std::string expect = *v;
      qr::IniDocument back;
      back.Parse(doc.Text());
      const std::string* w = back.Find(section, key);
      Check(w && *w == expect);
    }
    doc.EraseSection(section);
    Check(!doc.HasSection(section));
  }
  return 0;
}
