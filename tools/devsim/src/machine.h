// The simulated machine: its registry from .reg files (REGEDIT4, or version 5.00 in UTF-16LE as
// regedit writes it), its drive C: from a host folder, the embedded default of both, and saving
// the end state without leaving half-written files behind.
#ifndef DEVSIM_MACHINE_H
#define DEVSIM_MACHINE_H

#include <string>

namespace devsim {

// Names under which the embedded inputs appear in messages and in the report.
constexpr const char *kEmbeddedMachineName = "(embedded) machine.reg";
constexpr const char *kEmbeddedScenarioName = "(embedded) default.scn";

// Applies a .reg file's bytes to the simulated registry: REGEDIT4 text, or the version 5.00 form
// in UTF-16LE with a byte-order mark as regedit writes it (the platform's loader reads both).
// Throws InputError with the loader's line; a malformed file changes nothing.
void ApplyRegText(const std::string &bytes, const std::string &fileName);

// Reads a host file whole; throws InputError (line 0) when it cannot be read.
std::string ReadHostFile(const std::string &hostPath);

// The embedded machine's registry text, its scenario, and its files written onto drive C: (text
// files get CR LF line ends, as on Windows).
const std::string &EmbeddedRegistry();
const std::string &EmbeddedScenario();
void WriteEmbeddedFiles();

// Copies a host folder tree (files and folders) into another, which must exist.
void CopyTree(const std::string &fromHostDir, const std::string &toHostDir);

// Writes text to hostPath through a temporary file in the same folder and a rename, so the file is
// either complete or untouched. Throws InputError (line 0) on failure.
void WriteFileAtomically(const std::string &hostPath, const std::string &content);
// Copies a folder tree to hostDir the same way: into a temporary folder beside it, then renamed.
// hostDir must not exist or be an empty folder.
void SaveTreeAtomically(const std::string &fromHostDir, const std::string &hostDir);

}  // namespace devsim

#endif  // DEVSIM_MACHINE_H
