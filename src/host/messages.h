#pragma once

#include <string>

namespace skv {

// A modal message box with an OK button. Never fails its caller.
void showMessage(const std::string& title, const std::string& text, void* owner = nullptr);

// A modal box with Yes, No and Cancel: 4 for Yes, 8 for No, 2 for anything else.
int askQuestion(void* owner, const std::string& title, const std::string& text);

}  // namespace skv
