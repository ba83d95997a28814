// Card image files for the tests that compare a format through the dialog
// with the command-line tool's format of the same card.
#pragma once

#include <string>

namespace guitest {

// A card that has seen use, as an image file: written all over, no CIS, two
// factory bad blocks. False (with a test failure) if it cannot be made.
bool MakeUsedCardImage(const std::string& path, const char* size);
// A copy of the file at `to`.
bool CopyCardImage(const std::string& from, const std::string& to);
// Formats the card of the image as `smformat --simulate IMAGE --yes` does;
// the tool's exit status, its messages in `messages`.
int FormatWithTool(const std::string& imagePath, std::string& messages);
std::string FileBytes(const std::string& path);

}  // namespace guitest
