// The Qt window plugin's one exported entry point; everything else in it is local.
#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <atomic>
#include <new>
#include <string>

#include "platform/windows/QtWindowSystem.h"
#include "platform/windows/WindowPlugin.h"

namespace {

std::atomic<postwarden::ToolkitMessageHandler> deliver{nullptr};

// Qt's message handler: every message, formatted as Qt would print it, goes to
// the program that loaded the plugin. A fatal one still ends the process, as Qt
// does once this returns.
void ForwardQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const QByteArray text = qFormatLogMessage(type, context, message).toUtf8();
    const int level = type == QtDebugMsg || type == QtInfoMsg ? 0 : 1;
    if (const postwarden::ToolkitMessageHandler to = deliver.load()) {
        to(level, text.constData(), static_cast<size_t>(text.size()));
    }
}

}  // namespace

extern "C" postwarden::PluginWindowSystem* PostwardenCreateQtWindowSystem(
    std::string* failure, postwarden::ToolkitMessageHandler messages) {
    using postwarden::QtWindowSystem;
    // Before anything of Qt runs: the first messages come as its application starts.
    if (messages != nullptr) {
        deliver = messages;
        qInstallMessageHandler(ForwardQtMessage);
    }
    if (!QtWindowSystem::Available()) {
        if (failure != nullptr) *failure = "no display accepts Qt's windows";
        return nullptr;
    }
    auto* windows = new (std::nothrow) QtWindowSystem();
    if (windows == nullptr && failure != nullptr) *failure = "out of memory";
    return windows;
}
