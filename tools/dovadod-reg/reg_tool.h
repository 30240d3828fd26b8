// dovadod-reg: reads and writes the settings store (platform/registry) from
// the shell. Tests use it as the other process that changes the store under
// the service.
//
//   dovadod-reg [-32] get KEY NAME
//   dovadod-reg [-32] set KEY NAME TYPE DATA...
//   dovadod-reg [-32] delete KEY [NAME]
//   dovadod-reg [-32] list KEY
//   dovadod-reg [-32] watch KEY
//
// `run` is the whole tool without the process around it: it takes the
// arguments after the program name, writes to `out` and `err`, and returns
// the exit status (0 done, 1 failed, 2 bad usage). `watch` returns only when
// waiting fails; it is meant to be killed. Not thread-safe: it installs the
// store's bad-line hook for its duration.
#ifndef TOOLS_DOVADOD_REG_REG_TOOL_H_
#define TOOLS_DOVADOD_REG_REG_TOOL_H_

#include <iosfwd>
#include <string>
#include <vector>

namespace dovadod_reg {

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace dovadod_reg

#endif  // TOOLS_DOVADOD_REG_REG_TOOL_H_
