#include "host/messages.h"

#include "platform/dialogs.h"
#include "platform/log.h"

namespace skv {

void showMessage(const std::string& title, const std::string& text, void*) {
    try {
        dialogs().showMessage(title, text);
    } catch (...) {
        SKV_LOG(Error, "Failed to show message: " << text);
    }
}

int askQuestion(void*, const std::string& title, const std::string& text) {
    try {
        const int answer = dialogs().askQuestion(title, text);
        return answer == kAnswerYes || answer == kAnswerNo ? answer : kAnswerCancel;
    } catch (...) {
        SKV_LOG(Error, "Failed to ask question: " << text);
        return kAnswerCancel;
    }
}

}  // namespace skv
