#pragma once

namespace kelvo::cli {

// Whether standard input is a console, where someone can answer a question
// (not a file, a pipe or NUL).
bool InputIsConsole();
// Whether standard error is a console that can show the live bars: one that
// takes the terminal's escape sequences, which this turns on. Older consoles
// refuse them and get plain lines.
bool ErrorIsConsole();
// The width of the console behind standard output (`output`) or standard
// error; 0 when that is a file or a pipe.
int ConsoleColumns(bool output);

}  // namespace kelvo::cli
