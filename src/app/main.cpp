// qmere: the desktop program. Brings up the profile, the settings, the decoder and the main
// window, in that order; the program ends when the main window has closed (after its
// shutdown has stopped the workers and saved everything).
#include <QApplication>
#include <memory>

#include "app/mainwindow.h"
#include "app/qtfrontend.h"
#include "catalog/indexpages.h"
#include "config/appsettings.h"
#include "decode/decoder.h"
#include "platform/paths.h"
#include "platform/profile.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qmere"));
    QApplication::setOrganizationName(QStringLiteral("Corvane,LLC"));

    qm::Profile profile(qm::profilePath());
    qm::QtFrontend frontend;
    qm::AppSettings settings(frontend, profile);
    qm::Decoder decoder(settings);
    qm::CatalogHook hook(settings);
    decoder.setSink(&hook);

    auto window = std::make_unique<qm::MainWindow>(settings, decoder, frontend);
    window->show();
    return QApplication::exec();
}
