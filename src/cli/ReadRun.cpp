#include "cli/ReadRun.h"

#include "cli/AtomicFile.h"

namespace kelvo::cli {

void ReadBoards(std::vector<std::unique_ptr<Board>>& boards, const FlashOptions& options,
                const std::function<void(bool hold)>& holdSignals) {
  if (options.verify) {
    OnEveryBoard(boards, [](Board& board) { board.Verify(); });
    return;
  }
  OnEveryBoard(boards, [&](Board& board) {
    board.Read([&](const std::vector<std::uint8_t>& flash) {
      if (holdSignals) holdSignals(true);
      std::string problem = WriteFileAtomically(options.readPath, flash);
      if (holdSignals) holdSignals(false);
      return problem;
    });
  });
}

}  // namespace kelvo::cli
