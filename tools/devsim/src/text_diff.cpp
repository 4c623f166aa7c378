#include "text_diff.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace devsim {

namespace {

// Above this many line pairs the files are too large to compare line by line here.
constexpr size_t kMaxComparedPairs = 4u * 1024u * 1024u;

// Lines with their line ends; the last one may have none.
std::vector<std::string> SplitLines(const std::string &text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size() - 1;
    lines.push_back(text.substr(start, end - start + 1));
    start = end + 1;
  }
  return lines;
}

std::string ShowLine(char marker, const std::string &line) {
  std::string body = line;
  std::string suffix;
  if (!body.empty() && body.back() == '\n') {
    body.pop_back();
    if (!body.empty() && body.back() == '\r') {
      body.pop_back();
    } else {
      suffix = " [LF]";
    }
  } else {
    suffix = "\n\\ No newline at end of file";
  }
  std::string shown(1, marker);
  for (unsigned char c : body) {
    if (c < 0x20 && c != '\t') {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    } else {
      shown += static_cast<char>(c);
    }
  }
  return shown + suffix + "\n";
}

enum class Op { Keep, Remove, Add };
struct Edit {
  Op op;
  size_t a, b;  // line index in the old and the new text (the one that applies)
};

std::vector<Edit> EditScript(const std::vector<std::string> &a, const std::vector<std::string> &b) {
  const size_t n = a.size(), m = b.size();
  // common[i][j]: length of the longest common subsequence of a[i..] and b[j..].
  std::vector<std::vector<unsigned>> common(n + 1, std::vector<unsigned>(m + 1, 0));
  for (size_t i = n; i-- > 0;) {
    for (size_t j = m; j-- > 0;) {
      common[i][j] = a[i] == b[j] ? common[i + 1][j + 1] + 1 : std::max(common[i + 1][j], common[i][j + 1]);
    }
  }
  std::vector<Edit> edits;
  size_t i = 0, j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && a[i] == b[j]) {
      edits.push_back({Op::Keep, i++, j++});
    } else if (i < n && (j == m || common[i + 1][j] >= common[i][j + 1])) {
      edits.push_back({Op::Remove, i++, j});  // removals first, as diff shows them
    } else {
      edits.push_back({Op::Add, i, j++});
    }
  }
  return edits;
}

std::string RangeText(size_t first, size_t count) {
  // A range of no lines names the line before it, as unified diffs do.
  size_t start = count == 0 ? first : first + 1;
  return count == 1 ? std::to_string(start) : std::to_string(start) + "," + std::to_string(count);
}

}  // namespace

std::string UnifiedDiff(const std::optional<std::string> &before, const std::optional<std::string> &after,
                        const std::string &label, int contextLines) {
  if (before == after) return "";
  std::string out = "--- " + label + (before ? "" : " (no file)") + "\n";
  out += "+++ " + label + (after ? "" : " (no file)") + "\n";
  const std::vector<std::string> a = SplitLines(before.value_or(""));
  const std::vector<std::string> b = SplitLines(after.value_or(""));
  if (a.size() * b.size() > kMaxComparedPairs) {
    return out + "(" + std::to_string(a.size()) + " and " + std::to_string(b.size()) +
           " lines: too long to compare line by line)\n";
  }
  const std::vector<Edit> edits = EditScript(a, b);
  const size_t context = static_cast<size_t>(std::max(contextLines, 0));

  size_t k = 0;
  while (k < edits.size()) {
    // Find the next change; the hunk starts `context` edits before it.
    while (k < edits.size() && edits[k].op == Op::Keep) ++k;
    if (k == edits.size()) break;
    size_t start = k >= context ? k - context : 0;
    // Extend the hunk while the gap of unchanged lines to the next change is at most 2 * context.
    size_t end = k;
    for (;;) {
      while (end < edits.size() && edits[end].op != Op::Keep) ++end;
      size_t gapEnd = end;
      while (gapEnd < edits.size() && edits[gapEnd].op == Op::Keep) ++gapEnd;
      if (gapEnd < edits.size() && gapEnd - end <= 2 * context) {
        end = gapEnd;
        continue;
      }
      end = std::min(end + context, edits.size());
      break;
    }
    size_t aFirst = edits[start].a, bFirst = edits[start].b, aCount = 0, bCount = 0;
    std::string body;
    for (size_t e = start; e < end; ++e) {
      const Edit &edit = edits[e];
      if (edit.op == Op::Keep) {
        body += ShowLine(' ', a[edit.a]);
        ++aCount;
        ++bCount;
      } else if (edit.op == Op::Remove) {
        body += ShowLine('-', a[edit.a]);
        ++aCount;
      } else {
        body += ShowLine('+', b[edit.b]);
        ++bCount;
      }
    }
    out += "@@ -" + RangeText(aFirst, aCount) + " +" + RangeText(bFirst, bCount) + " @@\n" + body;
    k = end;
  }
  return out;
}

}  // namespace devsim
