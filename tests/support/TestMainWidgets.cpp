#include <QApplication>

#include <gtest/gtest.h>

// Widget tests need a full application object and a display (xvfb-run
// provides one in scripts/test.sh).
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
