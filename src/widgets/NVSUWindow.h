#pragma once

#include "ui/NVViewGeometry.h"

#include <QDateTime>
#include <QWidget>

#include <functional>
#include <optional>

// Where the window reads the time; tests pass their own.
using NVClock = std::function<QDateTime()>;

// The update window. It can refuse left clicks and key presses (with a
// beep) until a date, so that a window popping up during an automatic check
// does not catch a click or a key press meant for another application; the
// first left click after that date is delivered and lowers the window from
// the floating level to the normal one.
//
// Sizes here are frame sizes, decoration included, in the layout's
// coordinates (NVViewGeometry.h, origin bottom left). A window that is not resizable keeps its
// current size whatever its minimum and maximum say; they take effect when
// it becomes resizable again.
//
// Main thread, every method.
class NVSUWindow : public QWidget {
    Q_OBJECT
public:
    enum class Level { Normal = 0, Floating = 3 };
    // The buttons in the title bar: a resizable window also offers to maximize.
    enum class Style { Fixed, Resizable };

    explicit NVSUWindow(Style style, NVClock clock = {});

    const std::optional<QDateTime> &refuseEventsBeforeDate() const { return m_refuseEventsBeforeDate; }
    void setRefuseEventsBeforeDate(std::optional<QDateTime> date) { m_refuseEventsBeforeDate = std::move(date); }

    Level level() const;
    void setLevel(Level level);

    NVRect frame() const;
    // Moves and resizes the window; its content view follows.
    void setFrame(const NVRect &frame);
    NVSize minFrameSize() const { return m_minFrameSize; }
    void setMinFrameSize(const NVSize &size);
    NVSize maxFrameSize() const { return m_maxFrameSize; }
    void setMaxFrameSize(const NVSize &size);
    bool isResizable() const { return m_resizable; }
    void setResizable(bool resizable);

Q_SIGNALS:
    // After every change of size, whoever made it.
    void didResize();
    // When the window is about to close, whoever closes it.
    void willClose();

protected:
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void watchNativeWindow();
    void applySizeLimits();
    void fitContentViews();

    NVClock m_clock;
    std::optional<QDateTime> m_refuseEventsBeforeDate;
    NVSize m_minFrameSize;
    NVSize m_maxFrameSize{NVUnboundedSize, NVUnboundedSize};
    bool m_resizable = true;
    // The size the window had when it last reported one: Qt delivers a
    // resize made while hidden again when the window is shown, which is
    // no change.
    QSize m_reportedSize;
};
