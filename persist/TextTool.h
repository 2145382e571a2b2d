#pragma once
// The text-form commands: "dump FILE [-o OUT]" writes a record stream as text,
// "build TEXT -o FILE" builds the bytes back and "build TEXT --check" only
// reports. quillrow-text runs them; the standalone program offers the same
// commands and hands in its own way of writing outputs.
#include <functional>
#include <ostream>
#include <span>
#include <string>

namespace qr {

// Writes a finished output; false with a reason in `error`.
using OutputWriter =
    std::function<bool(const std::string& path, const void* bytes, size_t n, std::string& error)>;

// `args` are the command's own arguments (after "dump" or "build"). Return the
// process exit code: 0 done, 1 failed, 2 bad arguments. Without a writer a
// file is written through a temporary file renamed over it.
int RunDump(std::span<const std::string> args, std::ostream& out, std::ostream& err,
            const OutputWriter& write = {});
int RunBuild(std::span<const std::string> args, std::ostream& out, std::ostream& err,
             const OutputWriter& write = {});
// args[0] names the command.
int RunTextTool(std::span<const std::string> args, std::ostream& out, std::ostream& err,
                const OutputWriter& write = {});

}  // namespace qr
