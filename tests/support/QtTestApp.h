// The one QApplication of a widget test program, created on first use. It runs offscreen
// (ctest sets QT_QPA_PLATFORM, and so does this when nobody did), so widget tests never need a
// display, whoever starts them. Header-only, for the test programs that link Qt Widgets. Main
// thread only.
#pragma once

#include <QApplication>

inline QApplication& QtTestApp()
{
    static int argc = 1;
    static char name[] = "mirelo-tests";
    static char* argv[] = {name, nullptr};
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Never destroyed: Qt's own statics may already be gone when a static object's destructor
    // would run at exit.
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}
