#include "persist/TextTool.h"

#include <vector>

#include "persist/TextForm.h"
#include "platform/Files.h"

namespace qr {

namespace {

constexpr uint64_t kMaxInput = uint64_t{1} << 30;

// FILE and the value of "-o", in either order.
bool ParseArgs(std::span<const std::string> args, std::string& in, std::string& out_path) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o") {
      if (i + 1 >= args.size() || !out_path.empty()) return false;
      out_path = args[++i];
    } else if (in.empty() && !args[i].empty()) {
      in = args[i];
    } else {
      return false;
    }
  }
  return !in.empty();
}

}  // namespace

int RunDump(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  std::string in, out_path;
  if (!ParseArgs(args, in, out_path)) {
    err << "usage: dump FILE [-o OUT]\n";
    return 2;
  }
  std::vector<uint8_t> bytes;
  if (!ReadWholeFile(in, bytes, kMaxInput)) {
    err << "cannot read " << in << "\n";
    return 1;
  }
  const std::string text = "# record stream of " + FileNameOf(in) + "\n" + DumpRecords(bytes);
  if (out_path.empty()) {
    out << text;
    return out ? 0 : 1;
  }
  if (!WriteFileAtomically(out_path, text.data(), text.size())) {
    err << "cannot write " << out_path << "\n";
    return 1;
  }
  return 0;
}

int RunBuild(std::span<const std::string> args, std::ostream&, std::ostream& err) {
  std::string in, out_path;
  if (!ParseArgs(args, in, out_path) || out_path.empty()) {
    err << "usage: build TEXT -o FILE\n";
    return 2;
  }
  std::vector<uint8_t> text;
  if (!ReadWholeFile(in, text, kMaxInput)) {
    err << "cannot read " << in << "\n";
    return 1;
  }
  std::vector<uint8_t> bytes;
  std::string error;
  if (!BuildRecords(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), bytes,
                    error)) {
    err << in << ": " << error << "\n";
    return 1;
  }
  if (!WriteFileAtomically(out_path, bytes)) {
    err << "cannot write " << out_path << "\n";
    return 1;
  }
  return 0;
}

int RunTextTool(std::span<const std::string> args, std::ostream& out, std::ostream& err) {
  if (!args.empty() && args[0] == "dump") return RunDump(args.subspan(1), out, err);
  if (!args.empty() && args[0] == "build") return RunBuild(args.subspan(1), out, err);
  err << "usage: dump FILE [-o OUT]\n       build TEXT -o FILE\n";
  return 2;
}

}  // namespace qr
