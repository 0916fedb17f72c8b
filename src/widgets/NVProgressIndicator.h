#pragma once

#include <QProgressBar>

// A progress bar with a value from 0.0 to 1.0 that is either determinate
// (it shows the value) or indeterminate (it shows that something is going
// on), and whose animation is started and stopped separately: a stopped
// indeterminate bar stands still and empty, as after a failure.
//
// Main thread, every method.
class NVProgressIndicator : public QProgressBar {
    Q_OBJECT
public:
    explicit NVProgressIndicator(QWidget *parent = nullptr);

    double doubleValue() const { return m_value; }
    void setDoubleValue(double value);
    bool isIndeterminate() const { return m_indeterminate; }
    void setIndeterminate(bool indeterminate);
    bool isAnimating() const { return m_animating; }
    void startAnimation();
    void stopAnimation();

private:
    void refresh();

    // The bar's own range is an integer one; this many steps make 1.0.
    static constexpr int Steps = 1000;
    double m_value = 0.0;
    bool m_indeterminate = false;
    bool m_animating = false;
};
