// The application on Qt: QApplication and its event loop.
#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "frontend.h"
#include "qtfront.h"
#include "winsys.h"

namespace kelv::ui {

struct Application::Impl {
  Impl(int& argc, char** argv) : app(argc, argv), args(argv + 1, argv + argc) {}
  QApplication app;  // takes its own options out of argv
  std::vector<std::string> args;
};

Application::Application(int& argc, char** argv) : impl_(std::make_unique<Impl>(argc, argv)) {
  QCoreApplication::setApplicationVersion(QStringLiteral(KELV_VERSION));
  qtui::UseJapanese();
  winsys::InstallHandOver();
  qtui::WatchSessionEnd();
}

Application::~Application() = default;

std::vector<std::string> Application::Arguments() const {
  return impl_->args;
}

int Application::Run() {
  return QApplication::exec();
}

void Application::Terminate() {
  if (!qtui::DisplayLost()) QCoreApplication::quit();
}

}  // namespace kelv::ui

namespace kelv::qtui {

void UseJapanese() {
  // The toolkit's own texts (the save box, the standard buttons) as the
  // dialog's, whatever the desktop's language; dates and numbers the same.
  QLocale::setDefault(QLocale(QLocale::Japanese, QLocale::Japan));
  static QTranslator* qt = nullptr;
  if (qt) return;
  qt = new QTranslator(QCoreApplication::instance());
  if (qt->load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(qt);
  }
}

}  // namespace kelv::qtui
