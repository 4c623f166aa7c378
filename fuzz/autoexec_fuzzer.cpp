// The autoexec.nt editor: the input is the file's content. Adding and removing the CAPI support
// block are compared byte for byte with the editing rule written out here on its own: every copy
// of the block before the first zero byte goes, with the blank lines (CR LF pairs) in front of
// it, the search starting again from the top after each cut; an add then writes CR LF, the block
// and CR LF at the end. So after an add the file ends with the block, and no copy stands in the
// text before it.
#include "fuzz_support.h"
#include "setuplib.h"

namespace {

const std::string kBlock = "REM Install CAPI support\r\nlh %SystemRoot%\\system32\\capidos\r\n";
const std::string kLineBreak = "\r\n";
const std::string kBlankLineEnd = "\r\n\r\n";

std::string WithoutBlocks(std::string text) {
  for (;;) {
    const size_t visibleEnd = text.find('\0');
    size_t at = text.find(kBlock);
    if (at == std::string::npos || (visibleEnd != std::string::npos && at + kBlock.size() > visibleEnd))
      return text;
    size_t length = kBlock.size();
    while (at >= kBlankLineEnd.size() &&
           text.compare(at - kBlankLineEnd.size(), kBlankLineEnd.size(), kBlankLineEnd) == 0) {
      at -= kLineBreak.size();
      length += kLineBreak.size();
    }
    text.erase(at, length);
  }
}

std::string Edit(DWORD mode, const std::string &before) {
  winsim::PutFile(fuzz::kAutoexecPath, before);
  const DWORD status = EditAutoexecNt(mode);
  fuzz::Check(status == SETUP_STATUS_OK, "the edit returned " + std::to_string(status));
  fuzz::CheckNothingOpen("the autoexec.nt edit");
  const std::optional<std::string> after = winsim::GetFile(fuzz::kAutoexecPath);
  fuzz::Check(after.has_value(), "autoexec.nt is gone");
  return *after;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::FreshMachine();
  const std::string original = fuzz::Text(data, size);
  const std::string kept = WithoutBlocks(original);

  const std::string added = Edit(AUTOEXEC_MODE_ADD, original);
  fuzz::Check(added == kept + kLineBreak + kBlock + kLineBreak,
              "an add did not leave the text and one block at the end");
  // A copy before the added one can only be one that the text's last line and the added line
  // break make together.
  const size_t first = added.find(kBlock);
  fuzz::Check(kept.find('\0') != std::string::npos || first + kBlock.size() > kept.size(),
              "a copy of the block stands in the text before the added one");

  const std::string removedAgain = Edit(AUTOEXEC_MODE_REMOVE, added);
  fuzz::Check(removedAgain == WithoutBlocks(added), "a removal after the add is not the rule's");

  const std::string removed = Edit(AUTOEXEC_MODE_REMOVE, original);
  fuzz::Check(removed == kept, "a removal is not the rule's");
  return 0;
}
