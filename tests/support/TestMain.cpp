#include <QCoreApplication>

#include <gtest/gtest.h>

// Every test binary runs inside a Qt application object so that timers,
// queued calls and child processes work as they do in the program.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
