#include "platform/ui/QtMessageFilter.h"

#include <QtGlobal>

#include <cstdio>
#include <unistd.h>

namespace
{
QtMessageHandler g_previous = nullptr;
QString g_missingPlatform; // the name Qt could not find, from its warning before the failure

void Handle(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    static const QString kNotFound = QStringLiteral("Could not find the Qt platform plugin \"");
    if (message.startsWith(kNotFound))
    {
        // Said once, with the list, when the start fails.
        g_missingPlatform = message.mid(kNotFound.size()).section(QLatin1Char('"'), 0, 0);
        return;
    }
    if (type == QtFatalMsg)
    {
        const QString line = CQtMessageFilter::PlatformFailure(message);
        if (!line.isEmpty())
        {
            const QString named = g_missingPlatform.isEmpty()
                                      ? line
                                      : QStringLiteral("no platform \"%1\": %2")
                                            .arg(g_missingPlatform, line.section(": ", 1));
            std::fprintf(stderr, "vistrel: %s\n", qPrintable(named));
            std::fflush(stderr);
            // Inside the application object's constructor: nothing of ours runs yet to clean.
            ::_exit(1);
        }
    }
    if (!CQtMessageFilter::Passes(message))
        return;
    if (g_previous != nullptr)
        g_previous(type, context, message);
}
} // namespace

void CQtMessageFilter::Install()
{
    g_previous = qInstallMessageHandler(Handle);
}

bool CQtMessageFilter::Passes(const QString& message)
{
    return !message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")) &&
           message != QLatin1String("This plugin does not support propagateSizeHints()");
}

QString CQtMessageFilter::PlatformFailure(const QString& message)
{
    static const QString kAvailable = QStringLiteral("Available platform plugins are: ");
    const qsizetype at = message.indexOf(kAvailable);
    if (!message.contains(QLatin1String("no Qt platform plugin could be initialized")) || at < 0)
        return {};
    QString names = message.mid(at + kAvailable.size()).trimmed();
    if (names.endsWith(QLatin1Char('.')))
        names.chop(1);
    return QStringLiteral("the platform plugin cannot be loaded: the platforms there are ") + names;
}
