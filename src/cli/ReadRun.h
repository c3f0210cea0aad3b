#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "cli/Board.h"
#include "cli/FlashOptions.h"

namespace kelvo::cli {

// --verify or --read on every board that is ready, each on a thread of its
// own as a flash would be; nothing is written to any board. --read's file is
// written once the board's whole flash has been read, with `holdSignals`
// (true, then false) around it, so that no signal ends the program while a
// part of it is on the disk.
void ReadBoards(std::vector<std::unique_ptr<Board>>& boards, const FlashOptions& options,
                const std::function<void(bool hold)>& holdSignals);

}  // namespace kelvo::cli
