#include "support/RecordingAlertPresenter.h"

#include <QMetaObject>

RecordingAlertPresenter::RecordingAlertPresenter() { NVAlertPresenter::setCurrent(this); }

RecordingAlertPresenter::~RecordingAlertPresenter()
{
    if (NVAlertPresenter::current() == this)
        NVAlertPresenter::setCurrent(nullptr);
}

int RecordingAlertPresenter::nextAnswer()
{
    if (answers.empty())
        return NSAlertFirstButtonReturn;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
}

int RecordingAlertPresenter::runModal(const NVAlert &alert)
{
    shown.append({alert, false, nullptr});
    return nextAnswer();
}

void RecordingAlertPresenter::beginSheetModalForWindow(const NVAlert &alert, NVWindowHandle window, CompletionHandler completionHandler)
{
    shown.append({alert, true, window});
    const int answer = nextAnswer();
    QMetaObject::invokeMethod(m_context.get(), [answer, handler = std::move(completionHandler)] {
            if (handler)
                handler(answer);
        },
        Qt::QueuedConnection);
}
