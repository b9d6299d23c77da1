#include "app/CommandLine.h"

#include "settings/NetworkList.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>

#include <cstdlib>
#include <cstring>

namespace
{
// "on"/"off" (also yes/no, true/false, 1/0); -1 for anything else.
int Switch(const QString& s)
{
    const QString v = s.trimmed().toLower();
    if (v == "on" || v == "yes" || v == "true" || v == "1")
        return 1;
    if (v == "off" || v == "no" || v == "false" || v == "0")
        return 0;
    return -1;
}

QString DriverName(const CDriverList& drivers, int nIndex)
{
    std::string name;
    drivers.GetDriverDescription(nIndex, name);
    return QString::fromStdString(name);
}
} // namespace

CCommandLine::CResult CCommandLine::Parse(const QStringList& args, const CDriverList& drivers)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A camera image server: every connection to its port gets one fresh picture.\n"
        "Options that set a value hold for this run only; File > Save Settings keeps them.\n"
        "Qt's own options work as well, such as -platform offscreen (no window)."));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption list(QStringLiteral("list-devices"),
                                  QStringLiteral("List the capture devices with their indices."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Serve on this TCP port (1-65535)."),
                                  QStringLiteral("port"));
    const QCommandLineOption server(QStringLiteral("server"),
                                    QStringLiteral("Switch the web server on or off."),
                                    QStringLiteral("on|off"));
    const QCommandLineOption device(
        QStringLiteral("device"),
        QStringLiteral("Capture from this device: its name as the Video menu shows it (such as "
                       "\"Test Pattern\"), its index from --list-devices, or \"none\"."),
        QStringLiteral("name|index"));
    const QCommandLineOption format(QStringLiteral("format"),
                                    QStringLiteral("Serve JPEG or BMP images."),
                                    QStringLiteral("jpeg|bmp"));
    const QCommandLineOption headers(
        QStringLiteral("headers"),
        QStringLiteral("Send the HTTP header before the image, or only the image."),
        QStringLiteral("on|off"));
    const QCommandLineOption storeWait(
        QStringLiteral("store-wait"),
        QStringLiteral("Wait this many seconds (0-3600, default 60) for a settings store that "
                       "another program holds locked before giving up with exit status 1."),
        QStringLiteral("seconds"));
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("Listen on this address only: localhost (this machine), or one of its "
                       "addresses as numbers (127.0.0.1, ::1, 192.168.1.20); \"\" for every "
                       "interface. Stored as ServerAddress."),
        QStringLiteral("address"));
    const QCommandLineOption allow(
        QStringLiteral("allow"),
        QStringLiteral("Let only these clients connect: addresses and networks, separated by "
                       "commas (127.0.0.1,192.168.1.0/24,fd00::/8); \"\" for everyone. Others "
                       "get 403 Forbidden. Stored as ServerAllow."),
        QStringLiteral("networks"));
    const QCommandLineOption logRequests(
        QStringLiteral("log-requests"),
        QStringLiteral("Write one line per connection on standard error: time, client, status, "
                       "bytes, milliseconds."));
    const QCommandLineOption settings(
        QStringLiteral("settings"),
        QStringLiteral("Keep the settings in this store file instead of "
                       "~/.config/vistrel/registry.db (made when missing)."),
        QStringLiteral("file"));
    const QCommandLineOption workingFolder(
        QStringLiteral("working-folder"),
        QStringLiteral("Write capframe.bmp and frame.jpg, and read capoff.bmp and overlay.bmp, "
                       "in this folder instead of the current one."),
        QStringLiteral("folder"));
    for (const auto* o : {&list, &port, &server, &device, &format, &headers, &storeWait, &listen,
                          &allow, &logRequests, &settings, &workingFolder})
        parser.addOption(*o);

    CResult r;
    const auto fail = [&r](const QString& text)
    {
        r.action = Action::Fail;
        r.strText = text.toStdString() + "\nTry 'vistrel --help'.";
        return r;
    };
    if (!parser.parse(args))
        return fail(parser.errorText());
    // A file name is what a desktop passes to a document program; there is no document to
    // open, so it is let go with a word rather than ending the start.
    for (const QString& file : parser.positionalArguments())
        r.notes.push_back("ignoring " + file.toStdString() +
                          ": Vistrel opens no files (its settings are in its store)");
    if (parser.isSet(help))
    {
        r.action = Action::PrintAndExit;
        r.strText = parser.helpText().toStdString();
        return r;
    }
    if (parser.isSet(version))
    {
        r.action = Action::PrintAndExit;
        r.strText = (QCoreApplication::applicationName() + QLatin1Char(' ') +
                     QCoreApplication::applicationVersion() + QLatin1Char('\n'))
                        .toStdString();
        return r;
    }
    if (parser.isSet(list))
    {
        r.action = Action::PrintAndExit;
        for (int i = 0; i < drivers.Count(); ++i)
            r.strText += std::to_string(i) + "\t" + DriverName(drivers, i).toStdString() + "\n";
        return r;
    }
    if (parser.isSet(port))
    {
        bool bOk = false;
        const int n = parser.value(port).toInt(&bOk);
        if (!bOk || n < 1 || n > 65535)
            return fail(QStringLiteral("--port takes a number from 1 to 65535, not ") +
                        parser.value(port));
        r.options.nServerPort = n;
    }
    if (parser.isSet(storeWait))
    {
        bool bOk = false;
        const int n = parser.value(storeWait).toInt(&bOk);
        if (!bOk || n < 0 || n > 3600)
            return fail(QStringLiteral("--store-wait takes a number of seconds from 0 to 3600, "
                                       "not ") +
                        parser.value(storeWait));
        r.options.nStoreWaitSeconds = n;
    }
    for (const auto& [pOption, pTarget] : {std::pair{&server, &r.options.nServerEnabled},
                                           std::pair{&headers, &r.options.nHttpHeaders}})
        if (parser.isSet(*pOption))
        {
            const int n = Switch(parser.value(*pOption));
            if (n < 0)
                return fail(QStringLiteral("--%1 takes on or off, not %2")
                                .arg(pOption->names().first(), parser.value(*pOption)));
            *pTarget = n;
        }
    if (parser.isSet(format))
    {
        const QString v = parser.value(format).trimmed().toLower();
        if (v != "jpeg" && v != "jpg" && v != "bmp")
            return fail(QStringLiteral("--format takes jpeg or bmp, not ") + parser.value(format));
        r.options.nImageType = v == "bmp" ? 1 : 0;
    }
    if (parser.isSet(listen))
    {
        const std::string v = parser.value(listen).trimmed().toStdString();
        if (!v.empty() && v != "localhost" && !CNetworkList::Parse(v, nullptr))
            return fail(QStringLiteral("--listen takes localhost or an address as numbers, not ") +
                        parser.value(listen));
        if (v.find_first_of("/, ") != std::string::npos)
            return fail(QStringLiteral("--listen takes one address, not ") + parser.value(listen));
        r.options.strServerAddress = v;
    }
    if (parser.isSet(allow))
    {
        std::string strWhy;
        const std::string v = parser.value(allow).trimmed().toStdString();
        if (!CNetworkList::Parse(v, &strWhy))
            return fail(QStringLiteral("--allow: ") + QString::fromStdString(strWhy));
        r.options.strServerAllow = v;
    }
    r.options.bLogRequests = parser.isSet(logRequests);
    if (parser.isSet(settings))
    {
        const QString v = parser.value(settings);
        const QFileInfo info(v);
        if (v.isEmpty() || info.isDir())
            return fail(QStringLiteral("--settings takes a store file, not ") +
                        (v.isEmpty() ? QStringLiteral("\"\"") : v));
        r.strSettingsFile = info.absoluteFilePath().toStdString();
    }
    if (parser.isSet(workingFolder))
    {
        const QString v = parser.value(workingFolder);
        const QFileInfo info(v);
        if (v.isEmpty() || !info.isDir())
            return fail(QStringLiteral("--working-folder: ") +
                        (v.isEmpty() ? QStringLiteral("\"\"") : v) +
                        QStringLiteral(" is not a folder"));
        r.strWorkingFolder = info.absoluteFilePath().toStdString();
    }
    if (parser.isSet(device))
    {
        const QString v = parser.value(device).trimmed();
        bool bNumber = false;
        const int n = v.toInt(&bNumber);
        int nFound = -2;
        if (v.compare(QStringLiteral("none"), Qt::CaseInsensitive) == 0)
            nFound = -1;
        else if (bNumber && n >= 0 && n < drivers.Count())
            nFound = n;
        for (int i = 0; i < drivers.Count() && nFound == -2; ++i)
            if (DriverName(drivers, i).compare(v, Qt::CaseInsensitive) == 0)
                nFound = i;
        if (nFound == -2)
        {
            QString known;
            for (int i = 0; i < drivers.Count(); ++i)
                known += QStringLiteral("\n  %1  %2").arg(i).arg(DriverName(drivers, i));
            return fail(QStringLiteral("no capture device \"%1\"; there are:").arg(v) + known);
        }
        r.options.nCaptureDevice = nFound;
    }
    return r;
}

bool CCommandLine::AsksForNoWindow(int argc, const char* const* argv)
{
    const char* pszPlatform = std::getenv("QT_QPA_PLATFORM");
    for (int i = 1; i < argc; ++i)
    {
        if ((std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) &&
            i + 1 < argc)
            pszPlatform = argv[i + 1];
        else if (std::strncmp(argv[i], "-platform=", 10) == 0)
            pszPlatform = argv[i] + 10;
        else if (std::strncmp(argv[i], "--platform=", 11) == 0)
            pszPlatform = argv[i] + 11;
    }
    // "offscreen" or "offscreen:options".
    return pszPlatform != nullptr && std::strncmp(pszPlatform, "offscreen", 9) == 0 &&
           (pszPlatform[9] == '\0' || pszPlatform[9] == ':');
}

bool CCommandLine::ShouldRunHeadless(int argc, const char* const* argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0 ||
            std::strncmp(argv[i], "-platform=", 10) == 0 ||
            std::strncmp(argv[i], "--platform=", 11) == 0)
            return false;
    const auto set = [](const char* pszName)
    {
        const char* p = std::getenv(pszName);
        return p != nullptr && *p != '\0';
    };
    return !set("QT_QPA_PLATFORM") && !set("DISPLAY") && !set("WAYLAND_DISPLAY");
}
