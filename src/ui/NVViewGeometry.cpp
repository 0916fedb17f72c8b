#include "ui/NVViewGeometry.h"

#include <QRegularExpression>

#include <algorithm>

namespace NVViewGeometry {

namespace {

// One axis of autoresizing: the view's offset from the low edge and its
// length, in a superview whose length changes by delta.
void autoresizeAxis(double &offset, double &length, bool lowFlexible, bool lengthFlexible, bool highFlexible,
                    double delta)
{
    const int flexibleParts = int(lowFlexible) + int(lengthFlexible) + int(highFlexible);
    if (flexibleParts == 0)
        return;
    const double share = delta / flexibleParts;
    if (lowFlexible)
        offset += share;
    if (lengthFlexible)
        length += share;
}

} // namespace

NVRect autoresizedFrame(const NVRect &frame, unsigned mask, const NVSize &oldSuperviewSize,
                        const NVSize &newSuperviewSize)
{
    NVRect result = frame;
    autoresizeAxis(result.x, result.width, mask & NVViewMinXMargin, mask & NVViewWidthSizable,
                   mask & NVViewMaxXMargin, newSuperviewSize.width - oldSuperviewSize.width);
    autoresizeAxis(result.y, result.height, mask & NVViewMinYMargin, mask & NVViewHeightSizable,
                   mask & NVViewMaxYMargin, newSuperviewSize.height - oldSuperviewSize.height);
    return result;
}

NVRect frameRectForContentRect(const NVRect &content, const NVEdgeInsets &decoration)
{
    return {content.x - decoration.left, content.y - decoration.bottom,
            content.width + decoration.left + decoration.right, content.height + decoration.top + decoration.bottom};
}

NVRect contentRectForFrameRect(const NVRect &frame, const NVEdgeInsets &decoration)
{
    return {frame.x + decoration.left, frame.y + decoration.bottom,
            frame.width - decoration.left - decoration.right, frame.height - decoration.top - decoration.bottom};
}

NVSize sizeForMinSize(const NVSize &size, const NVSize &minSize)
{
    return {std::max(size.width, minSize.width), std::max(size.height, minSize.height)};
}

NVMainViewPlacement placeMainView(const NVRect &windowFrame, const NVSize &viewSize, const NVSize &viewMinSize,
                                  const NVEdgeInsets &decoration)
{
    const NVSize newSize = frameRectForContentRect({0, 0, viewSize.width, viewSize.height}, decoration).size();
    NVMainViewPlacement placement;
    placement.minFrameSize = frameRectForContentRect({0, 0, viewMinSize.width, viewMinSize.height}, decoration).size();
    placement.maxFrameSize = {NVUnboundedSize, NVUnboundedSize};
    placement.windowFrame = {windowFrame.x + (windowFrame.width - newSize.width) * 0.5,
                             windowFrame.y + (windowFrame.height - newSize.height), newSize.width, newSize.height};
    return placement;
}

NVRect windowFrameForHeightChange(const NVRect &windowFrame, double delta)
{
    return {windowFrame.x, windowFrame.y - delta, windowFrame.width, windowFrame.height + delta};
}

NVRect viewFrameForHeightChange(const NVRect &viewFrame, double delta)
{
    return {viewFrame.x, 0, viewFrame.width, viewFrame.height + delta};
}

double limitForHeightChange(double limit, double delta)
{
    return limit >= NVUnboundedSize ? NVUnboundedSize : limit + delta;
}

NVRect autoresizedButtonFrame(const NVRect &initial, const NVRect &optimal, const NVRect &fitted, unsigned mask)
{
    const double extra = std::max(initial.width - optimal.width, 0.0);
    const double width = fitted.width + extra;
    double x = fitted.x;
    if ((mask & NVViewMinXMargin) && (mask & NVViewMaxXMargin))
        x = fitted.x + (initial.width - width) * 0.5;
    else if (mask & NVViewMinXMargin)
        x = initial.x + initial.width - width;
    return {x, fitted.y, width, initial.height};
}

QList<NVRect> layoutBox(const QList<NVBoxItem> &items)
{
    QList<NVRect> frames;
    QList<qsizetype> left, right, stretch;
    for (qsizetype i = 0; i < items.size(); ++i) {
        frames << items[i].frame;
        if (items[i].mask & NVViewMinXMargin)
            right << i;
        else if (items[i].mask & NVViewWidthSizable)
            stretch << i;
        else
            left << i;
    }
    const auto byX = [&](qsizetype a, qsizetype b) { return items[a].frame.x < items[b].frame.x; };
    std::sort(left.begin(), left.end(), byX);
    std::sort(right.begin(), right.end(), byX);

    // Places one view at offset and answers how much wider it became.
    const auto transform = [&](qsizetype i, double offset) {
        const NVBoxItem &item = items[i];
        if (!item.fittedWidthBefore || !item.fittedWidthAfter)
            return 0.0;
        const NVRect &old = item.frame;
        const double width = old.width - *item.fittedWidthBefore + *item.fittedWidthAfter;
        const double x = (item.mask & NVViewMinXMargin) ? old.x + old.width - width : old.x;
        frames[i] = {x + offset, old.y, width, old.height};
        return width - old.width;
    };

    double shift = 0;
    for (qsizetype i : left)
        shift += transform(i, shift);
    double rightShift = 0;
    for (auto it = right.crbegin(); it != right.crend(); ++it)
        rightShift -= transform(*it, rightShift);
    for (qsizetype i : stretch) {
        const NVRect &old = items[i].frame;
        frames[i] = {old.x + shift, old.y, old.width - (shift - rightShift), old.height};
    }
    return frames;
}

QString stringFromSize(const NVSize &size)
{
    return QStringLiteral("{%1, %2}").arg(QString::number(size.width, 'g', 17), QString::number(size.height, 'g', 17));
}

NVSize sizeFromString(QStringView text)
{
    static const QRegularExpression pattern(
        QStringLiteral(R"(^\s*\{\s*([-+]?[0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*,\s*([-+]?[0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?)\s*\}\s*$)"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return {};
    return {match.capturedView(1).toDouble(), match.capturedView(2).toDouble()};
}

} // namespace NVViewGeometry
