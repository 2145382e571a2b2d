#include "persist/TextTool.h"

#include <vector>

#include "persist/TextForm.h"
#include "platform/Files.h"

namespace qr {

namespace {

constexpr uint64_t kMaxInput = uint64_t{1} << 30;

// FILE, the value of "-o" and "--check", in any order.
bool ParseArgs(std::span<const std::string> args, std::string& in, std::string& out_path,
               bool* check = nullptr) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o") {
      if (i + 1 >= args.size() || !out_path.empty()) return false;
      out_path = args[++i];
    } else if (check && args[i] == "--check") {
      *check = true;
    } else if (in.empty() && !args[i].empty() && (args[i] == "-" || args[i][0] != '-')) {
      in = args[i];
    } else {
      return false;
    }
  }
  return !in.empty();
}

bool Write(const OutputWriter& write, const std::string& path, const void* bytes, size_t n,
           std::ostream& err) {
  std::string error;
  if (write ? write(path, bytes, n, error) : WriteFileAtomically(path, bytes, n)) return true;
  err << (error.empty() ? "cannot write " + path : error) << "\n";
  return false;
}

}  // namespace

int RunDump(std::span<const std::string> args, std::ostream& out, std::ostream& err,
            const OutputWriter& write) {
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
  return Write(write, out_path, text.data(), text.size(), err) ? 0 : 1;
}

int RunBuild(std::span<const std::string> args, std::ostream&, std::ostream& err, const OutputWriter& write) {
  std::string in, out_path;
  bool check = false;
  if (!ParseArgs(args, in, out_path, &check) || (out_path.empty() && !check)) {
    err << "usage: build TEXT -o FILE\n       build TEXT --check\n";
    return 2;
  }
  std::vector<uint8_t> text;
  if (!ReadWholeFile(in, text, kMaxInput)) {
    err << "cannot read " << in << "\n";
    return 1;
  }
  std::vector<uint8_t> bytes;
  std::string error;
  std::vector<std::string> warnings;
  const bool ok = BuildRecords(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()),
                               bytes, error, &warnings);
  for (const std::string& w : warnings) err << in << ": warning: " << w << "\n";
  if (!ok) {
    err << in << ": " << error << "\n";
    return 1;
  }
  if (check || out_path.empty()) return 0;
  return Write(write, out_path, bytes.data(), bytes.size(), err) ? 0 : 1;
}

int RunTextTool(std::span<const std::string> args, std::ostream& out, std::ostream& err,
                const OutputWriter& write) {
  if (!args.empty() && args[0] == "dump") return RunDump(args.subspan(1), out, err, write);
  if (!args.empty() && args[0] == "build") return RunBuild(args.subspan(1), out, err, write);
  err << "usage: dump FILE [-o OUT]\n       build TEXT -o FILE\n       build TEXT --check\n";
  return 2;
}

}  // namespace qr
