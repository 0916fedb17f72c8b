#pragma once

#include "ui/NVAlertPresenter.h"

#include <QList>
#include <QObject>

#include <deque>
#include <memory>

// An alert presenter for tests: records every alert it is asked to show and
// answers with the responses queued in answers (1000 when none is queued).
// Modal alerts are answered at once; sheets on the next turn of the event
// loop, as a person would answer after the call returned. Installs itself
// as the current presenter for its lifetime.
class RecordingAlertPresenter : public NVAlertPresenter {
public:
    struct Shown {
        NVAlert alert;
        bool sheet = false;
        NVWindowHandle window = nullptr;
    };

    RecordingAlertPresenter();
    ~RecordingAlertPresenter() override;

    int runModal(const NVAlert &alert) override;
    void beginSheetModalForWindow(const NVAlert &alert, NVWindowHandle window, CompletionHandler completionHandler) override;

    std::deque<int> answers;
    QList<Shown> shown;

private:
    int nextAnswer();
    // Pending sheet answers die with the presenter.
    std::unique_ptr<QObject> m_context = std::make_unique<QObject>();
};
