#include "ui/NVViewGeometry.h"

#include <gtest/gtest.h>

#include <ostream>

static std::ostream &operator<<(std::ostream &out, const NVRect &r)
{
    return out << '(' << r.x << ", " << r.y << ", " << r.width << ", " << r.height << ')';
}

namespace {

using namespace NVViewGeometry;

TEST(NVViewGeometry, ViewsFollowTheirSuperviewByTheirMask)
{
    // The superview grows from 400 x 300 to 500 x 360; the view sits at
    // (20, 30), 100 x 50, with origin bottom left.
    const NVRect frame{20, 30, 100, 50};
    const struct {
        unsigned mask;
        NVRect expected;
    } cases[] = {
        {NVViewNotSizable, {20, 30, 100, 50}},
        {NVViewWidthSizable, {20, 30, 200, 50}},
        {NVViewMinXMargin, {120, 30, 100, 50}},                        // keeps its right margin
        {NVViewMinXMargin | NVViewMaxXMargin, {70, 30, 100, 50}},      // keeps its centre
        {NVViewWidthSizable | NVViewMaxXMargin, {20, 30, 150, 50}},    // the growth is shared evenly
        {NVViewMinYMargin, {20, 90, 100, 50}},                         // keeps its top margin
        {NVViewMinYMargin | NVViewHeightSizable, {20, 60, 100, 80}},
        {NVViewMaxYMargin | NVViewWidthSizable, {20, 30, 200, 50}},    // keeps its bottom margin
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mask);
        const NVRect grown = autoresizedFrame(frame, c.mask, {400, 300}, {500, 360});
        EXPECT_EQ(grown, c.expected);
        EXPECT_EQ(autoresizedFrame(grown, c.mask, {500, 360}, {400, 300}), frame) << "shrinking back restores it";
    }
}

TEST(NVViewGeometry, AMainViewResizesItsWindowAroundItKeepingTheTopEdgeAndTheCentre)
{
    // A 500 x 300 view in a window whose frame is (100, 100, 400, 250) with a
    // 28-point title bar: the top edge stays at 350, the centre at x = 300.
    const NVMainViewPlacement placement = placeMainView({100, 100, 400, 250}, {500, 300}, {450, 280}, {0, 28, 0, 0});
    EXPECT_EQ(placement.windowFrame, (NVRect{50, 22, 500, 328}));
    EXPECT_EQ(placement.minFrameSize, (NVSize{450, 308}));
    EXPECT_EQ(placement.maxFrameSize, (NVSize{NVUnboundedSize, NVUnboundedSize}));
    EXPECT_EQ(contentRectForFrameRect(placement.windowFrame, {0, 28, 0, 0}), (NVRect{50, 22, 500, 300}));

    // A minimum smaller than the view changes nothing; a wider one widens it.
    EXPECT_EQ(sizeForMinSize({500, 300}, {400, 200}), (NVSize{500, 300}));
    EXPECT_EQ(sizeForMinSize({500, 300}, {540, 200}), (NVSize{540, 300}));
    EXPECT_EQ(sizeForMinSize({500, 300}, {540, 320}), (NVSize{540, 320}));
}

TEST(NVViewGeometry, ASubAreaGrowsAndShrinksTheWindowDownward)
{
    // Expanding a 60-point alert area, then collapsing it again.
    const NVRect window{100, 100, 400, 250};
    const NVRect expanded = windowFrameForHeightChange(window, 60);
    EXPECT_EQ(expanded, (NVRect{100, 40, 400, 310}));
    EXPECT_EQ(windowFrameForHeightChange(expanded, -60), window);
    EXPECT_EQ(limitForHeightChange(250, 60), 310);
    EXPECT_EQ(limitForHeightChange(310, -60), 250);
    EXPECT_EQ(limitForHeightChange(NVUnboundedSize, 60), NVUnboundedSize);
    // Outside a window the view itself changes, put at the bottom.
    EXPECT_EQ(viewFrameForHeightChange({640, 12, 520, 258}, -92), (NVRect{640, 0, 520, 166}));
}

TEST(NVViewGeometry, AButtonFitsItsTitleKeepingTheDesignersMarginAndItsAnchor)
{
    // Designed 120 wide for a title that fits in 100; the new title needs 140.
    const NVRect initial{20, 10, 120, 32};
    const NVRect optimal{20, 10, 100, 32};
    const NVRect fitted{20, 10, 140, 32};
    EXPECT_EQ(autoresizedButtonFrame(initial, optimal, fitted, NVViewMaxXMargin), (NVRect{20, 10, 160, 32}));
    EXPECT_EQ(autoresizedButtonFrame(initial, optimal, fitted, NVViewMinXMargin), (NVRect{-20, 10, 160, 32}));
    EXPECT_EQ(autoresizedButtonFrame(initial, optimal, fitted, NVViewMinXMargin | NVViewMaxXMargin), (NVRect{0, 10, 160, 32}));
    // Drawn narrower than its title: by itself it gets exactly the fitted width.
    EXPECT_EQ(autoresizedButtonFrame({20, 10, 80, 32}, optimal, fitted, NVViewMaxXMargin), (NVRect{20, 10, 140, 32}));
}

TEST(NVViewGeometry, ARowOfButtonsMakesRoomForLongerTitles)
{
    // A stretchable field, then two right-anchored buttons; the rightmost
    // one's title grows by 40.
    const QList<NVBoxItem> right = {
        {NVViewWidthSizable, {0, 0, 190, 24}, {}, {}},
        {NVViewMinXMargin, {310, 0, 100, 32}, 80, 120},
        {NVViewMinXMargin, {200, 0, 100, 32}, 80, 80},
    };
    EXPECT_EQ(layoutBox(right), (QList<NVRect>{{0, 0, 150, 24}, {270, 0, 140, 32}, {160, 0, 100, 32}}));

    // Left-anchored buttons push to the right; a view that does not fit its
    // content stays; a button drawn 10 narrower than its title stays so.
    const QList<NVBoxItem> left = {
        {NVViewMaxXMargin, {0, 0, 100, 32}, 80, 100},
        {NVViewMaxXMargin, {110, 0, 100, 32}, 80, 80},
        {NVViewNotSizable, {220, 0, 30, 30}, {}, {}},
        {NVViewMaxXMargin, {260, 0, 70, 32}, 80, 100},
        {NVViewWidthSizable, {340, 0, 100, 24}, {}, {}},
    };
    EXPECT_EQ(layoutBox(left), (QList<NVRect>{{0, 0, 120, 32}, {130, 0, 100, 32}, {220, 0, 30, 30},
                                              {280, 0, 90, 32}, {380, 0, 60, 24}}));
}

TEST(NVViewGeometry, TheWindowSizeIsStoredAsTextAndReadBackLeniently)
{
    EXPECT_EQ(stringFromSize({620, 474}), "{620, 474}");
    EXPECT_EQ(stringFromSize({620.5, 474}), "{620.5, 474}");
    const struct {
        const char *text;
        NVSize size;
    } cases[] = {
        {"{700, 520}", {700, 520}}, {" { 700 ,520.5 } ", {700, 520.5}}, {"{1e3, 2}", {1000, 2}},
        {"{700}", {}},             {"700, 520", {}},                   {"{a, b}", {}},
        {"", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(sizeFromString(QString::fromUtf8(c.text)), c.size) << c.text;
}

} // namespace
