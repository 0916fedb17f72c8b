#include "widgets/NVProgressIndicator.h"

#include <algorithm>
#include <cmath>

NVProgressIndicator::NVProgressIndicator(QWidget *parent) : QProgressBar(parent)
{
    setTextVisible(false);
    refresh();
}

void NVProgressIndicator::setDoubleValue(double value)
{
    m_value = std::clamp(value, 0.0, 1.0);
    refresh();
}

void NVProgressIndicator::setIndeterminate(bool indeterminate)
{
    m_indeterminate = indeterminate;
    refresh();
}

void NVProgressIndicator::startAnimation()
{
    m_animating = true;
    refresh();
}

void NVProgressIndicator::stopAnimation()
{
    m_animating = false;
    refresh();
}

void NVProgressIndicator::refresh()
{
    // Qt animates a bar exactly while its range is empty.
    if (m_indeterminate && m_animating) {
        setRange(0, 0);
        return;
    }
    setRange(0, Steps);
    setValue(m_indeterminate ? 0 : int(std::lround(m_value * Steps)));
}
