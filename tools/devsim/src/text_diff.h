// Unified diff of two texts, line by line and byte-exact: a line that ends in LF alone differs from
// the same line ending in CR LF. Made for small files such as autoexec.nt.
#ifndef DEVSIM_TEXT_DIFF_H
#define DEVSIM_TEXT_DIFF_H

#include <optional>
#include <string>

namespace devsim {

// "" when the two are equal (a missing file and an empty one are not equal). Otherwise "---" and
// "+++" header lines with the labels, then the hunks. Lines are shown without their CR LF; a line
// that ends in LF alone is marked " [LF]", control bytes show as \xNN, and a last line without a
// line end is followed by "\ No newline at end of file".
std::string UnifiedDiff(const std::optional<std::string> &before, const std::optional<std::string> &after,
                        const std::string &label, int contextLines = 3);

}  // namespace devsim

#endif  // DEVSIM_TEXT_DIFF_H
