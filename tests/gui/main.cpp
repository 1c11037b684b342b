// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the GUI test class named by the first argument (all of them without one); the other
// arguments go to Qt Test.
#include <QApplication>
#include <QTest>
#include <cstring>

#include "guitests.h"

int main(int argc, char* argv[]) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const char* only = argc > 1 && argv[1][0] != '-' ? argv[1] : nullptr;
    int rest = only ? argc - 1 : argc;
    char** restArgs = only ? argv + 1 : argv;
    int failures = 0;
    for (const auto& [name, make] : qm::test::guiTestClasses()) {
        if (only && std::strcmp(only, name) != 0) continue;
        auto test = make();
        failures += QTest::qExec(test.get(), rest, restArgs);
    }
    return failures == 0 ? 0 : 1;
}
