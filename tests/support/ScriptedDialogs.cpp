#include "support/ScriptedDialogs.h"

#include <algorithm>

#include <QEventLoop>
#include <QTimer>

namespace {
// True when the box was answered, false when its loop was ended from outside.
bool RunBoxLoop(int answerAfterMs) {
    QEventLoop loop;
    // Never at once: an answer taken in the same turn as a quit would overwrite its ending.
    QTimer::singleShot(std::max(answerAfterMs, 1), &loop, [&loop] { loop.exit(1); });
    return loop.exec() == 1;
}
}  // namespace

void CScriptedDialogs::ShowMessage(const std::string& text) {
    Messages.push_back(text);
    if (RunsEventLoop) RunBoxLoop(AnswerAfterMs);
}

bool CScriptedDialogs::Confirm(const std::string& question) {
    Questions.push_back(question);
    if (OnQuestion) OnQuestion(question);
    if (RunsEventLoop && !RunBoxLoop(AnswerAfterMs)) return false;
    if (Answers.empty()) return DefaultAnswer;
    const bool answer = Answers.front();
    Answers.pop_front();
    return answer;
}
