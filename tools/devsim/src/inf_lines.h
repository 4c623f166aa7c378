// Where the lines of an INF section stand in the file, so that a message about a malformed line
// can name its line number. Follows the INF rules: sections and keys are case-insensitive, ";"
// starts a comment outside double quotes, a line ending in "\" goes on in the next one, and
// sections of the same name are one section.
#ifndef DEVSIM_INF_LINES_H
#define DEVSIM_INF_LINES_H

#include <string>
#include <vector>

namespace devsim {

// The 1-based file line at which each line of the section starts, in section order; empty when the
// section is not in the text.
std::vector<int> SectionLineNumbers(const std::string &infText, const std::string &section);

// The file line of the section's line with the given 0-based index, or 0 when there is none.
int FileLineOf(const std::string &infText, const std::string &section, size_t index);

}  // namespace devsim

#endif  // DEVSIM_INF_LINES_H
