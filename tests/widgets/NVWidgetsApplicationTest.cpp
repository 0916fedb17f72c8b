#include "widgets/NVWidgetsApplication.h"

#include "support/TestSupport.h"

#include <QApplication>
#include <QDialog>
#include <QWidget>

#include <gtest/gtest.h>

// What the driver asks of the application with real windows: whether a
// modal window is up (then no run starts), whether a sheet's parent is on
// screen, hiding every window before a relaunch, and the termination that
// goes through the shell's own path.
TEST(NVWidgetsApplicationTest, ModalWindowsVisibilityHidingAndTermination)
{
    int terminations = 0;
    NVWidgetsApplication application([&] { ++terminations; });

    QWidget window;
    QWidget child(&window);
    EXPECT_FALSE(application.isWindowVisible(&child));
    window.show();
    ASSERT_TRUE(TestSupport::waitFor([&] { return window.isVisible(); }));
    EXPECT_TRUE(application.isWindowVisible(&child)) << "a view counts as visible with its window";
    EXPECT_FALSE(application.isModalWindowUp());

    QDialog dialog(&window);
    dialog.setModal(true);
    dialog.show();
    ASSERT_TRUE(TestSupport::waitFor([&] { return application.isModalWindowUp(); }));

    application.hide();
    EXPECT_FALSE(window.isVisible());
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(TestSupport::waitFor([&] { return !application.isModalWindowUp(); }));
    EXPECT_FALSE(application.isWindowVisible(&child));

    EXPECT_EQ(terminations, 0);
    application.terminate();
    EXPECT_EQ(terminations, 1);
}
