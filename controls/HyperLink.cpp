#include "controls/HyperLink.h"

#include "platform/ui/MessageBox.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QPainter>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace
{
QColor ToQColor(unsigned c)
{
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

std::optional<std::string> DesktopEntryExec(const QString& entry)
{
    const QString path = QStandardPaths::locate(QStandardPaths::ApplicationsLocation, entry);
    QFile f(path);
    if (path.isEmpty() || !f.open(QIODevice::ReadOnly))
        return std::nullopt;
    bool bInEntry = false;
    while (!f.atEnd())
    {
        const QString line = QString::fromUtf8(f.readLine()).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            bInEntry = line == QLatin1String("[Desktop Entry]");
        else if (bInEntry && line.startsWith(QLatin1String("Exec=")))
            return line.mid(5).toStdString();
    }
    return std::nullopt;
}
} // namespace

CHyperLink::CShell CHyperLink::SystemShell()
{
    CShell s;
    s.openUrl = [](const QString& target)
    {
        return QDesktopServices::openUrl(QUrl(target));
    };
    s.defaultBrowserExec = []() -> std::optional<std::string>
    {
        // The default handler of text/html, as xdg-mime reports it.
        QProcess p;
        p.start(QStringLiteral("xdg-mime"),
                {QStringLiteral("query"), QStringLiteral("default"), QStringLiteral("text/html")});
        if (!p.waitForFinished(3000) || p.exitCode() != 0)
            return std::nullopt;
        const QString entry = QString::fromUtf8(p.readAllStandardOutput()).trimmed();
        return entry.isEmpty() ? std::nullopt : DesktopEntryExec(entry);
    };
    s.run = [](const std::string& command)
    {
        // Run without a shell: the command's words, the target among them, are passed as they are.
        QStringList words = QProcess::splitCommand(QString::fromStdString(command));
        if (words.isEmpty())
            return false;
        const QString program = words.takeFirst();
        return QProcess::startDetached(program, words);
    };
    return s;
}

CHyperLink::CShell& CHyperLink::Shell()
{
    static CShell s_shell = SystemShell();
    return s_shell;
}

CHyperLink::CHyperLink(QWidget* pParent) : QLabel(pParent) {}

void CHyperLink::PreSubclassWindow()
{
    if (m_target.empty())
        m_target = text().toStdString();
    if (text().isEmpty())
        setText(QString::fromStdString(m_target));
    QFont f = font();
    f.setUnderline((m_linkStyle & LinkUnderline) != 0);
    setFont(f);
    FitToText();
    if (!(m_linkStyle & LinkNoHandCursor))
        setCursor(Qt::PointingHandCursor);
    setToolTip(QString::fromStdString(m_target));
    setFocusPolicy(Qt::StrongFocus);
    setTextFormat(Qt::PlainText);
}

void CHyperLink::SetTarget(const std::string& strTarget)
{
    m_target = strTarget;
    FitToText();
    setToolTip(QString::fromStdString(m_target));
}

void CHyperLink::FitToText()
{
    if (!(m_linkStyle & LinkFitToText))
        return;
    const QFontMetrics metrics(font());
    const int w = metrics.horizontalAdvance(text());
    const int h = metrics.height();
    QRect r = geometry();
    if (alignment() & Qt::AlignVCenter)
        r.adjust(0, (r.height() - h) / 2, 0, -((r.height() - h) / 2));
    else
        r.setHeight(h);
    if (alignment() & Qt::AlignHCenter)
        r.adjust((r.width() - w) / 2, 0, -((r.width() - w) / 2), 0);
    else if (alignment() & Qt::AlignRight)
        r.setLeft(r.right() + 1 - w);
    else
        r.setWidth(w);
    setGeometry(r);
}

unsigned CHyperLink::CurrentColor() const
{
    if (m_isHovering && (m_linkStyle & LinkHoverColor))
        return s_hoverColor;
    if (m_hasFocus && !(m_linkStyle & LinkNoFocusColor))
        return s_focusColor;
    return m_isVisited ? s_visitedColor : s_linkColor;
}

void CHyperLink::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setFont(font());
    painter.setPen(ToQColor(CurrentColor()));
    painter.drawText(rect(), int(alignment()), text());
}

void CHyperLink::enterEvent(QEnterEvent*)
{
    m_isHovering = true;
    update();
}

void CHyperLink::leaveEvent(QEvent*)
{
    m_isHovering = false;
    update();
}

void CHyperLink::mousePressEvent(QMouseEvent* pEvent)
{
    if (pEvent->button() != Qt::LeftButton)
        return;
    if (m_linkStyle & LinkFocusOnClick)
        setFocus(Qt::MouseFocusReason);
    if (m_linkStyle & LinkOpenOnPress)
        Activate();
    m_hasFocus = true;
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* pEvent)
{
    if (pEvent->button() == Qt::LeftButton && m_hasFocus && !(m_linkStyle & LinkOpenOnPress))
        Activate();
}

void CHyperLink::focusInEvent(QFocusEvent* pEvent)
{
    m_hasFocus = true;
    update();
    QLabel::focusInEvent(pEvent);
}

void CHyperLink::focusOutEvent(QFocusEvent* pEvent)
{
    m_isHovering = false;
    m_hasFocus = false;
    update();
    QLabel::focusOutEvent(pEvent);
}

void CHyperLink::keyPressEvent(QKeyEvent* pEvent)
{
    if (pEvent->key() == Qt::Key_Space)
    {
        Activate();
        return;
    }
    QLabel::keyPressEvent(pEvent);
}

void CHyperLink::Activate()
{
    const int nCode = OpenTarget(m_target);
    if (nCode <= 32 || nCode == kErrorTooLong)
    {
        QApplication::beep();
        ShowOpenError(nCode);
        return;
    }
    m_isVisited = true;
    update();
}

bool CHyperLink::BuildFallbackCommand(const std::string& strExec, const std::string& strTarget,
                                      std::string& strCommand)
{
    // Desktop entries mark the argument with %u, %U, %f or %F; the first one, quoted or bare,
    // ends the command.
    std::size_t nCut = std::string::npos;
    for (const char* q : {"\"%u\"", "\"%U\"", "\"%f\"", "\"%F\""})
        nCut = std::min(nCut, strExec.find(q));
    if (nCut == std::string::npos)
        for (const char* b : {"%u", "%U", "%f", "%F"})
            nCut = std::min(nCut, strExec.find(b));
    strCommand = strExec.substr(0, nCut) + " " + strTarget;
    if (strCommand.size() >= kMaxCommand)
    {
        strCommand.clear();
        return false; // refused rather than cut short
    }
    return true;
}

int CHyperLink::OpenTarget(const std::string& strTarget)
{
    CShell& shell = Shell();
    if (shell.openUrl && shell.openUrl(QString::fromStdString(strTarget)))
        return 33;
    const int nShellResult = 31; // no application associated
    const auto exec = shell.defaultBrowserExec ? shell.defaultBrowserExec() : std::nullopt;
    if (!exec)
        return nShellResult;
    std::string command;
    if (!BuildFallbackCommand(*exec, strTarget, command))
        return kErrorTooLong;
    return shell.run && shell.run(command) ? 33 : 2;
}

std::string CHyperLink::OpenErrorText(int nCode)
{
    switch (nCode)
    {
    case 0:
        return "The operating system is out\nof memory or resources.";
    case 2:
        return "The specified file was not found.";
    case 3:
        return "The specified path was not found.";
    case 5:
        return "The operating system denied\naccess to the specified file.";
    case 8:
        return "There was not enough memory to complete the operation.";
    case 11:
        return "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image).";
    case 26:
        return "A sharing violation occurred. ";
    case 27:
        return "The filename association is\nincomplete or invalid.";
    case 28:
        return "The DDE transaction could not\nbe completed because the request timed out.";
    case 29:
        return "The DDE transaction failed.";
    case 30:
        return "The DDE transaction could not\nbe completed because other DDE transactions\nwere "
               "being processed.";
    case 31:
        return "There is no application associated\nwith the given filename extension.";
    case 32:
        return "The specified dynamic-link library was not found.";
    case kErrorTooLong:
        return "The link is too long for the web browser's command.";
    default:
    {
        char buf[64];
        std::snprintf(buf, sizeof buf, "Unknown Error (%d) occurred.", nCode);
        return buf;
    }
    }
}

void CHyperLink::ShowOpenError(int nCode)
{
    AfxMessageBox("Can't open link:\n\n" + OpenErrorText(nCode), MB_ICONEXCLAMATION);
}
