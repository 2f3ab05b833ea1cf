// What differs between the tool's platforms besides stopping (StopRequest)
// and text (ChangeLine): pieces of the help text, and the output's mode.
#pragma once

#include <string>

namespace tarnwick_watch {

// Help text paragraphs, each ending in a newline.
extern const char* const namesHelp;  // how a name is written in a line of text
extern const char* const stopHelp;   // how the tool is stopped
extern const char* const jsonHelp;   // the --json option

// Joins PATH and a relative path in messages.
extern const char* const pathSeparator;

// Lines end in "\n" on every platform, for whatever reads them.
void useBinaryOutput();

// Writes `text` whole to standard output, at once: 0, or why it could not
// be (an errno value).
int writeOutput(const std::string& text);

}  // namespace tarnwick_watch
