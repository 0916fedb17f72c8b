#include <QApplication>

#include <gtest/gtest.h>

// Widget tests need a full application object and a display (xvfb-run
// provides one in scripts/test.sh). Without any display, as when the build
// lists the tests, they use Qt's offscreen platform instead of failing to start.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
