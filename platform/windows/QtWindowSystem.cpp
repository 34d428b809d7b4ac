#include "platform/windows/QtWindowSystem.h"

#include <QApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPainter>
#include <QTimer>
#include <cmath>
#include <cstdio>

#include "platform/Environment.h"
#include "platform/TerminalText.h"
#include "platform/windows/DisplayProbe.h"
#include "platform/windows/QtWindow.h"
#include "util/RuntimeError.h"

namespace postwarden {

namespace {

// How long one pass of ProcessPendingEvents() may sleep when nothing happens.
constexpr int kIdleWakeMilliseconds = 50;

bool WaylandPluginInstalled() {
    const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms");
    return !platforms.entryList({"libqwayland*"}, QDir::Files).isEmpty();
}

// The platform plugin Qt is to start with: empty to leave the choice to
// QT_QPA_PLATFORM, "none" when no display can be reached.
std::string PlatformToUse() {
    if (!Environment("QT_QPA_PLATFORM").empty()) return "";
    if (WaylandDisplayReachable() && WaylandPluginInstalled()) return "wayland";
    if (X11DisplayReachable()) return "xcb";
    return "none";
}

// The process's widget application: the one that exists, else one made now.
// One made here is never destroyed: by the time static objects go at exit, Qt's
// own globals may already be gone, and destroying it then crashes. Windows kept
// in per-thread objects go before that, while it still stands.
QApplication& Application() {
    if (QCoreApplication* existing = QCoreApplication::instance()) {
        auto* app = qobject_cast<QApplication*>(existing);
        if (!app) {
            throw RuntimeError(errors::kCannotCreateObject,
                               "Can't create object: the application has no windows");
        }
        return *app;
    }
    // Asked afresh until an application is made: a display may come later.
    const std::string chosen = PlatformToUse();
    if (chosen == "none") {
        throw RuntimeError(errors::kCannotCreateObject,
                           "Can't create object: no display to show a window on");
    }
    // Qt keeps referring to the arguments for as long as the application lives.
    static std::string platform = chosen;
    static char name[] = "postwarden";
    static char option[] = "-platform";
    static char* argv[] = {name, option, platform.data(), nullptr};
    static int argc = platform.empty() ? 1 : 3;
    static QApplication* const app = new QApplication(argc, argv);
    return *app;
}

// The designs name a Windows font; these look alike and are common on Linux.
void SubstituteDesignFonts() {
    static const bool done = [] {
        QFont::insertSubstitutions("Microsoft Sans Serif",
                                   {"Liberation Sans", "Arimo", "Arial", "DejaVu Sans"});
        return true;
    }();
    (void)done;
}

}  // namespace

QtWindowSystem::QtWindowSystem() = default;
QtWindowSystem::~QtWindowSystem() = default;

std::unique_ptr<Window> QtWindowSystem::CreateWindow(const FormDesign& design,
                                                     WindowEvents& events) {
    Application();
    SubstituteDesignFonts();
    return std::make_unique<QtWindow>(design, events);
}

void QtWindowSystem::ProcessPendingEvents() {
    if (!QCoreApplication::instance()) return;
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(kIdleWakeMilliseconds);
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

bool QtWindowSystem::Available() {
    return QCoreApplication::instance() != nullptr || PlatformToUse() != "none";
}

std::string QtWindowSystem::Where() {
    if (QCoreApplication::instance()) return "this program's own application";
    // The names come from the environment, which anyone may have set.
    const auto named = [](const char* variable) {
        return EscapeForTerminal(Environment(variable));
    };
    const std::string platform = PlatformToUse();
    if (platform.empty()) return "platform " + named("QT_QPA_PLATFORM");
    if (platform == "wayland") return "Wayland display " + named("WAYLAND_DISPLAY");
    if (platform == "xcb") return "display " + named("DISPLAY");
    return "";
}

void QtWindowSystem::MessageBox(std::string_view text, std::string_view title) {
    try {
        Application();
    } catch (const RuntimeError&) {
        std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(title.size()), title.data(),
                     static_cast<int>(text.size()), text.data());
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, ToQt(title), ToQt(text), QMessageBox::Ok);
    box.exec();
}

void QtWindowSystem::SavePng(Window& window, const std::string& path) {
    auto* qtWindow = dynamic_cast<QtWindow*>(&window);
    if (!qtWindow) throw errors::InvalidCall();
    QDialog& dialog = qtWindow->dialog();
    dialog.ensurePolished();
    const QPixmap client = dialog.grab();

    // A plain title bar above the client area, so the picture shows the caption
    // the window manager would draw. Drawn in the window's own units: at a scale
    // above 100 % the grab has more pixels than the window has units.
    const int titleHeight = 24;
    const qreal ratio = client.devicePixelRatio();
    QImage image(client.width(),
                 client.height() + static_cast<int>(std::lround(titleHeight * ratio)),
                 QImage::Format_RGB32);
    image.setDevicePixelRatio(ratio);
    image.fill(dialog.palette().color(QPalette::Window));
    const int width = dialog.width();
    {
        QPainter painter(&image);
        painter.fillRect(0, 0, width, titleHeight, dialog.palette().color(QPalette::Highlight));
        painter.setPen(dialog.palette().color(QPalette::HighlightedText));
        QFont titleFont = dialog.font();
        titleFont.setBold(true);
        painter.setFont(titleFont);
        painter.drawText(QRect(8, 0, width - 40, titleHeight), Qt::AlignLeft | Qt::AlignVCenter,
                         dialog.windowTitle());
        painter.drawText(QRect(width - 28, 0, 24, titleHeight), Qt::AlignCenter,
                         QStringLiteral("\u00d7"));
        painter.drawPixmap(0, titleHeight, client);
    }
    if (!image.save(ToQt(path), "PNG")) {
        throw RuntimeError(errors::kPathNotFound, "Cannot write " + path);
    }
}

}  // namespace postwarden
