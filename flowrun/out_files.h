// The files of an --out folder: each new file appears whole or not at all, never over another
// one; a failure copy replaces its earlier copy in one step; a delivered file moves in one step.
// A reader of the folder (a later run feeding it) thus never meets half a message, and a file
// is never in two folders at once.
#ifndef FLOWRUN_OUT_FILES_H
#define FLOWRUN_OUT_FILES_H

#include <filesystem>
#include <string>

namespace flowrun {

// Writes `text` to a new file DIR/STEM.xml, or STEM_2.xml, STEM_3.xml ... when the name is
// taken: written under a temporary name first, then renamed to a free name in one step. Returns
// the reason it failed (nothing is left behind then), or empty; `written` gets the name.
std::string writeNewFile(const std::filesystem::path& dir, const std::string& stem, const std::string& text,
                         std::filesystem::path* written = nullptr);

// Replaces the file `file` by `text` in one step (a temporary file renamed over it).
std::string replaceFile(const std::filesystem::path& file, const std::string& text);

// Moves `file` into `dir` under its own name, or with _2, _3 ... when taken, in one rename;
// `moved` gets the new name.
std::string moveFile(const std::filesystem::path& file, const std::filesystem::path& dir,
                     std::filesystem::path* moved = nullptr);

}  // namespace flowrun

#endif
