// The embedded default machine, generated at build time from tools/devsim/machine: "machine.reg"
// (its registry), "default.scn" (the default scenario) and, below "C/", the files of drive C:.
#ifndef DEVSIM_EMBEDDED_H
#define DEVSIM_EMBEDDED_H

#include <vector>

namespace devsim {

struct EmbeddedFile {
  const char *name;     // relative path with "/" separators
  const char *content;  // text with LF line ends
};

const std::vector<EmbeddedFile> &EmbeddedFiles();

}  // namespace devsim

#endif  // DEVSIM_EMBEDDED_H
