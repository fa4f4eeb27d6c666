// The one QApplication of a widget test program, created on first use (offscreen: the test
// runner sets QT_QPA_PLATFORM). Main thread only.
#pragma once

#include <QApplication>

inline QApplication& QtTestApp()
{
    static int argc = 1;
    static char name[] = "test_download";
    static char* argv[] = {name, nullptr};
    // Never destroyed: Qt's own statics may already be gone when a static object's destructor
    // would run at exit.
    // Widget tests never need a display, whoever starts them.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}
