// The start-up of a bare Qt program: the application object, one turn of
// the event loop, exit. bench_background_check adds it to curl's time as
// the reference for the updater's own start-up.
#include <QCoreApplication>
#include <QTimer>

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    QTimer::singleShot(0, &application, &QCoreApplication::quit);
    return application.exec();
}
